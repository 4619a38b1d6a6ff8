"""The main job on files: `marlune spectrogram` on one long file and on a folder, as users run it.

Every figure comes from a fresh interpreter (this file run as a script), so that what one
measurement loaded or allocated never counts in another:
  - one long file: where its time goes (reading, the bank, the copy into the frames, the note
    summary, the picture, the .npz) and its peak resident memory against the size of its frames;
  - a folder of takes: the speedup from one worker process to two (corpus.run_all runs one worker
    in its own process; for two, it is one of them and starts the other), and what starting a
    worker costs.
Other people's work on the same cores stretches wall times, so every figure comes with the load
average and the processor time beside the wall time. For the folder, the processor time of each
process gives the speedup that two cores of its own would give this run's split of the work: the
one-worker run's processor time over that of the busier process of the two-worker run (its
critical path: the started worker's start-up and the balance of the last files count, the
others' load does not, except as it slows the caches).
The takes are written here once and kept: 48 kHz, 16-bit, a few notes with digital silence
(exact zeros) at both ends, as files rendered or exported from software are.
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

RATE = 48_000
SILENCE = 0.1  # share of a take that is digital silence, at each end
NOTES = (57, 60, 64, 69, 72, 76)  # A3 C4 E4 A4 C5 E5: two notes at a time, a new pair every 2 s


def write_take(path: Path, seconds: float) -> Path:
    """A take of `seconds`, written block by block (an hour needs no hour of memory); kept."""
    import soundfile

    if path.exists():
        return path
    total = int(seconds * RATE)
    quiet = int(SILENCE * total)
    partial = path.with_name(path.name + ".part")
    with soundfile.SoundFile(partial, "w", RATE, 1, "PCM_16", format="WAV") as f:
        for start in range(0, total, 1 << 20):
            n = np.arange(start, min(total, start + (1 << 20)))
            pair = (n // (2 * RATE)) % (len(NOTES) - 1)
            block = np.zeros(len(n))
            for k in (0, 1):
                hz = 440.0 * 2.0 ** ((np.take(NOTES, pair + k) - 69) / 12)
                block += 0.2 * np.sin(2 * np.pi * hz * n / RATE)
            block[(n < quiet) | (n >= total - quiet)] = 0.0
            f.write(block.astype(np.float32))
    partial.rename(path)
    return path


def _child(kind: str, **arguments) -> dict:
    """Runs one measurement in a fresh interpreter; returns what it measured."""
    done = subprocess.run([sys.executable, __file__, kind, json.dumps(arguments)], capture_output=True,
                          text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{kind} measurement failed:\n{done.stderr}")
    return json.loads(done.stdout)


def _peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kilobytes on Linux


def one_file(path: str, out: str) -> dict:
    """The command's work on one file (corpus.run), phase by phase, and its peak memory."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401 (loaded before the baseline)

    from marlune_tools import analysis, audio, demo, npz
    from marlune_tools.output import replacing
    from marlune_tools.picture import figure
    from marlune_tools.settings import Settings

    settings = Settings()
    # Everything a file needs once, on the demo: the constant that every file pays.
    warm = analysis.analyse([demo.signal()], demo.SAMPLE_RATE, settings)
    figure(warm).savefig(os.devnull, format="png")
    baseline = _peak_bytes()

    # Each phase in wall time and in processor time: on a machine that others use, the wall
    # time says as much about them as about the work.
    reading = np.zeros(2)
    blocks = audio.blocks

    def timed_blocks(*args, **kwargs):
        source = blocks(*args, **kwargs)
        while True:
            start = _clocks()
            block = next(source, None)
            reading[:] += _clocks() - start
            if block is None:
                return
            yield block

    # The notes are tracked in the same pass, on a second bank fed the same blocks: timed where
    # the analysis hands them each block and asks for the last notes.
    notes = np.zeros(2)

    def timed(method):
        def call(*args, **kwargs):
            start = _clocks()
            try:
                return method(*args, **kwargs)
            finally:
                notes[:] += _clocks() - start
        return call

    audio.blocks = timed_blocks
    analysis._Notes.push = timed(analysis._Notes.push)
    analysis._Notes.finish = timed(analysis._Notes.finish)
    phases = {}
    start = _clocks()
    spectrogram = analysis.analyse_file(path, settings)
    analysed = _clocks() - start
    phases["reading"] = reading
    phases["bank and frames"] = analysed - reading - notes
    phases["notes (second bank and tracker)"] = notes
    start = _clocks()
    with replacing(out + ".png") as f:
        figure(spectrogram, os.path.basename(path)).savefig(f, format="png")
    phases["picture"] = _clocks() - start
    start = _clocks()
    with replacing(out + ".npz") as f:
        npz.write(spectrogram, f)
    phases["npz"] = _clocks() - start
    peak = _peak_bytes()
    samples = np.concatenate(list(blocks(path)))
    # The bank alone, on the samples already in memory: what the analysis costs without the file.
    bank = settings.bank(spectrogram.sample_rate)
    start = _clocks()
    bank.resonate(samples, spectrogram.hop)
    resonate = _clocks() - start
    return {"load": os.getloadavg()[0], "audio_seconds": spectrogram.seconds, "frames_bytes": spectrogram.frames.nbytes,
            "peak_bytes": peak, "baseline_bytes": baseline,
            "phases": {name: t[0] for name, t in phases.items()},
            "phases_cpu": {name: t[1] for name, t in phases.items()},
            "resonate_alone": resonate[0], "resonate_alone_cpu": resonate[1]}


def _clocks() -> np.ndarray:
    """Wall time and this process's processor time, in seconds."""
    return np.array([time.perf_counter(), time.process_time()])


class _Timed:
    """A job of the folder that tells which process ran it and that process's processor time at its
    start and end (the job itself is the command's own)."""

    def __init__(self, job) -> None:
        self.job = job

    @property
    def path(self) -> str:
        return self.job.path

    def outputs(self) -> list[str]:
        return self.job.outputs()

    def absolute(self) -> _Timed:
        return _Timed(self.job.absolute())

    def run(self, stop=None) -> dict:
        start = _cpu(resource.RUSAGE_SELF)
        self.job.run(stop)
        return {"pid": os.getpid(), "cpu_start": start, "cpu_end": _cpu(resource.RUSAGE_SELF)}


def folder(paths: list[str], out: str, workers: int) -> dict:
    """corpus.run_all on the takes with `workers` processes, as the command runs a folder."""
    from marlune_tools import corpus
    from marlune_tools.settings import Settings

    jobs = [_Timed(corpus.Job(p, os.path.join(out, f"{i}.npz"), os.path.join(out, f"{i}.png"), Settings()))
            for i, p in enumerate(paths)]
    load = os.getloadavg()[0]
    start, own, workers_before = time.perf_counter(), _cpu(resource.RUSAGE_SELF), _cpu(resource.RUSAGE_CHILDREN)
    done = list(corpus.run_all(jobs, workers=workers))
    # Processor time as well as wall time: on a machine that others use, the wall time of two
    # workers says more about the others than about the work; the processor time does not.
    here, there = _cpu(resource.RUSAGE_SELF) - own, _cpu(resource.RUSAGE_CHILDREN) - workers_before
    started = [d for d in done if d["pid"] != os.getpid()]
    first = min(started, key=lambda d: d["cpu_start"], default=None)
    return {"seconds": time.perf_counter() - start, "cpu_seconds_here": here, "cpu_seconds_of_workers": there,
            "load_before": load, "load_after": os.getloadavg()[0],
            "files_here": len(done) - len(started), "files_of_workers": len(started),
            # What the started worker had spent when it began its first file.
            "worker_cpu_before_first_file": None if first is None else first["cpu_start"],
            "cpu_per_file": [d["cpu_end"] - d["cpu_start"] for d in done]}


def _cpu(who: int) -> float:
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def _started() -> float:
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401

    from marlune_tools import analysis, corpus, picture  # noqa: F401

    return time.perf_counter()


def start_up() -> dict:
    """Seconds from asking for a spawned worker to its having imported what a file needs, and the
    processor time that costs it (the price of a second worker in a run of two)."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    start, before = time.perf_counter(), _cpu(resource.RUSAGE_CHILDREN)
    with ProcessPoolExecutor(1, multiprocessing.get_context("spawn")) as pool:
        end = pool.submit(_started).result()
    return {"seconds": end - start, "cpu_seconds": _cpu(resource.RUSAGE_CHILDREN) - before}


def measure(run, folder_root: Path) -> dict:
    """The file rows of the suite: a long file alone, then the folder at one and two workers."""
    quick = run.quick
    long_seconds = 120.0 if quick else 3600.0
    take_seconds, takes = (10.0, 4) if quick else (300.0, 6)
    folder_root.mkdir(parents=True, exist_ok=True)
    out = folder_root / "out"
    out.mkdir(exist_ok=True)

    run.progress(f"files: writing a take of {long_seconds:.0f} s (kept for the next run)")
    long_take = write_take(folder_root / f"take-{long_seconds:.0f}s.wav", long_seconds)
    run.progress("files: one long file, phase by phase")
    single = _child("one_file", path=str(long_take), out=str(out / "long"))
    for clock in ("", "_cpu"):
        phases = single["phases" + clock]
        # The notes are a phase of their own, neither the analysis nor what surrounds it.
        outside = sum(t for name, t in phases.items() if name in ("reading", "picture", "npz"))
        single["outside_bank_seconds" + clock] = outside
        single["outside_over_bank" + clock] = outside / phases["bank and frames"]
    single["peak_over_frames"] = single["peak_bytes"] / single["frames_bytes"]
    single["peak_above_baseline_over_frames"] = (single["peak_bytes"] - single["baseline_bytes"]) / single["frames_bytes"]

    run.progress(f"files: writing {takes} takes of {take_seconds:.0f} s (kept for the next run)")
    paths = [str(write_take(folder_root / f"take{i}-{take_seconds:.0f}s.wav", take_seconds)) for i in range(takes)]
    rounds: dict[str, list[dict]] = {"1": [], "2": []}
    for repeat in range(1 if quick else 5):
        # In pairs, the order turned each round, so that a pair sees one moment of the others' load.
        for workers in (1, 2) if repeat % 2 == 0 else (2, 1):
            run.progress(f"files: {takes} takes on {workers} worker(s), round {repeat + 1}")
            rounds[str(workers)].append(_child("folder", paths=paths, out=str(out), workers=workers))
    starts = [_child("start_up") for _ in range(1 if quick else 3)]
    return {"long_file": single, "folder": _folder_figures(rounds, takes, take_seconds, starts)}


def _folder_figures(rounds: dict[str, list[dict]], takes: int, take_seconds: float, starts: list[dict]) -> dict:
    """Speedups from one worker to two: by wall time (best runs, and medians), by processor time
    (totals: the cost of the second process), and by the critical path (the one-worker run's
    processor time over the busier process's of a two-worker run)."""
    def median(values):
        return float(np.median(values))

    wall = {w: [r["seconds"] for r in runs] for w, runs in rounds.items()}
    cpu = {w: [r["cpu_seconds_here"] + r["cpu_seconds_of_workers"] for r in runs] for w, runs in rounds.items()}
    busier = [max(r["cpu_seconds_here"], r["cpu_seconds_of_workers"]) for r in rounds["2"]]
    before = [r["worker_cpu_before_first_file"] for r in rounds["2"] if r["worker_cpu_before_first_file"] is not None]
    per_file = [t for r in rounds["1"] for t in r["cpu_per_file"]]
    return {"takes": takes, "take_seconds": take_seconds, "rounds": rounds,
            "best": {w: min(v) for w, v in wall.items()}, "median": {w: median(v) for w, v in wall.items()},
            "speedup": min(wall["1"]) / min(wall["2"]), "speedup_median": median(wall["1"]) / median(wall["2"]),
            "cpu": {w: min(v) for w, v in cpu.items()}, "cpu_median": {w: median(v) for w, v in cpu.items()},
            # Two cores share the processor time of two workers, which start together.
            "speedup_by_cpu": min(cpu["1"]) / (min(cpu["2"]) / 2),
            "speedup_by_cpu_median": median(cpu["1"]) / (median(cpu["2"]) / 2),
            # The speed of a processor's second varies with the others' load (from 2.5 to 4.8 s for
            # one take), so each two-worker run is set against the one-worker run of its pair.
            "critical_path": {"best": min(busier), "median": median(busier)},
            "speedup_by_critical_path_pairs": [one / two for one, two in zip(cpu["1"], busier)],
            "speedup_by_critical_path_median": median([one / two for one, two in zip(cpu["1"], busier)]),
            "speedup_by_wall_pairs": [one / two for one, two in zip(wall["1"], wall["2"])],
            "cpu_per_file_median": median(per_file),
            "worker_cpu_before_first_file": median(before) if before else None,
            "loads": {w: [(r["load_before"], r["load_after"]) for r in runs] for w, runs in rounds.items()},
            "worker_start_up_seconds": min(s["seconds"] for s in starts),
            "worker_start_up_cpu_seconds": min(s["cpu_seconds"] for s in starts)}


def table(result: dict) -> list[str]:
    """The rows of the report: the long file's split and memory, then the folder's speedup."""
    one, many = result["long_file"], result["folder"]
    mib = 1 << 20
    phases, cpu = one["phases"], one["phases_cpu"]
    lines = [f"one file, {one['audio_seconds'] / 60:.0f} min at 48 kHz, 88 keys, hop 10 ms "
             f"(marlune spectrogram's work, in a fresh process; load average {one.get('load', float('nan')):.1f}): "
             "seconds per phase, processor (wall)",
             *(f"  {name:<34}{cpu[name]:7.2f} ({t:.2f})" for name, t in phases.items()),
             f"  outside the analysis (reading, picture, npz) {one['outside_bank_seconds_cpu']:.2f} s "
             f"({one['outside_bank_seconds']:.2f}) = {one['outside_over_bank_cpu']:.2f}x "
             f"({one['outside_over_bank']:.2f}x) the bank and frames; the notes beside them; "
             f"resonate alone on samples in memory {one['resonate_alone_cpu']:.2f} s ({one['resonate_alone']:.2f})",
             f"  peak memory {one['peak_bytes'] / mib:.0f} MiB for {one['frames_bytes'] / mib:.0f} MiB of frames "
             f"= {one['peak_over_frames']:.2f}x; above the {one['baseline_bytes'] / mib:.0f} MiB of a process "
             f"that has drawn one picture: {one['peak_above_baseline_over_frames']:.2f}x the frames"]
    if "critical_path" not in many:  # a result written before the critical path was measured
        return lines
    loads = [x for pair in many["loads"]["1"] + many["loads"]["2"] for x in pair]
    runs = len(many["rounds"]["1"])
    pairs = many["speedup_by_critical_path_pairs"]
    lines += [
        f"folder of {many['takes']} takes of {many['take_seconds'] / 60:.3g} min (digital silence at both ends): "
        f"corpus.run_all on 1 worker (this process) and on 2, {runs} runs each, load average "
        f"{min(loads):.1f} to {max(loads):.1f}",
        f"  wall time: 1 worker {many['best']['1']:.2f} s best, {many['median']['1']:.2f} median; "
        f"2 workers {many['best']['2']:.2f} best, {many['median']['2']:.2f} median: speedup "
        f"{many['speedup']:.2f}x best, {many['speedup_median']:.2f}x median",
        f"  processor time: 1 worker {many['cpu']['1']:.2f} s best, {many['cpu_median']['1']:.2f} median; "
        f"2 workers {many['cpu']['2']:.2f} best, {many['cpu_median']['2']:.2f} median: two free cores "
        f"evenly shared would give {many['speedup_by_cpu']:.2f}x best, {many['speedup_by_cpu_median']:.2f}x median",
        f"  critical path (the busier process of 2) {many['critical_path']['best']:.2f} s best, "
        f"{many['critical_path']['median']:.2f} median: speedup on two cores of its own, run against "
        f"run in pairs, {many['speedup_by_critical_path_median']:.2f}x median "
        f"({min(pairs):.2f} to {max(pairs):.2f}x)",
        f"  per file {many['cpu_per_file_median']:.2f} s of processor time (median, 1 worker); the started "
        f"worker had spent {_or_dash(many['worker_cpu_before_first_file'])} s when it began its first file; "
        f"a spawned interpreter takes {many['worker_start_up_seconds']:.2f} s "
        f"({many['worker_start_up_cpu_seconds']:.2f} s of processor time) to import all a file needs, "
        "matplotlib included"]
    return lines


def _or_dash(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


if __name__ == "__main__":
    kind, arguments = sys.argv[1], json.loads(sys.argv[2]) if len(sys.argv) > 2 else {}
    print(json.dumps({"one_file": one_file, "folder": folder, "start_up": start_up}[kind](**arguments)))
