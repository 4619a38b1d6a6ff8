"""marlune against the ways a user would otherwise do the job, measured in one run.

Prints a table and writes every figure as JSON:
  - resonate's throughput, single-threaded, for 1 to 1024 channels and hops 1 to 256, each as a
    share of the in-register ceiling that this run measures with its own native kernel;
  - an expertly written numba loop of the same update (same bits) in every cell of that grid;
  - a NumPy loop, scipy.signal.lfilter per channel, librosa.cqt and librosa.stft on the job of
    88 piano keys at hop 256;
  - real sound (a tone then digital silence, a -96 dBFS floor) against noise, 88 to 1024
    channels, and whole-file calls (a fresh 2^20-sample result) beside the capped grid;
  - the companion package's thread-pool bank against numba's parallel loop, on all cores;
  - process_sample per call against the cheapest C function of the same calling convention;
  - the `marlune spectrogram` job on files: one long file's time split and peak memory, and a
    folder's speedup from one worker process to two;
  - `marlune live` replaying rendered music at real speed: analysis delay, dropped blocks and CPU
    share at 88 keys x 1 and x 3 bins per semitone.
Every peer's output is checked against marlune's first; a failed check makes the exit status 1.

Run it with scripts/bench (which builds the native pieces), or directly:
    python benchmarks/suite --native-dir build/bench/native --json build/bench/results.json
    python benchmarks/suite --quick ...      # a smoke run of well under a minute
"""

from __future__ import annotations

import os

# Every contender runs on one thread unless stated: NumPy's, SciPy's and librosa's BLAS and
# OpenMP pools too. numba's own pool is left at all cores for the multi-core row.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import ceiling as ceiling_mod  # noqa: E402
import files  # noqa: E402
import live  # noqa: E402
import machine  # noqa: E402
import numba_loop  # noqa: E402
import real_sound  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402
import transcription  # noqa: E402
import workload  # noqa: E402

CHANNELS = (1, 8, 88, 256, 1024)
HOPS = (1, 4, 16, 64, 256)
PEER_CHANNELS = 88  # the piano keys: the job librosa's transforms are compared on
PEER_HOP = 256
PARALLEL_CHANNELS = (88, 256, 1024)
PARALLEL_HOP = 256
CLOSE = 1e-4  # largest difference, relative to the channel's largest magnitude, for "close"


class Run:
    """Settings, progress, collected figures and failed checks of one run."""

    def __init__(self, args):
        self.args = args
        self.quick = args.quick
        self.seconds = args.seconds or (0.5 if self.quick else 3.0)
        self.repeats = args.repeats or (3 if self.quick else 21)
        self.target = 0.005 if self.quick else 0.03
        self.max_result_bytes = workload.MAX_RESULT_BYTES
        self.show_progress = args.progress or sys.stderr.isatty()
        self.failures: list[str] = []
        self.results: dict = {}
        self.started = time.perf_counter()

    def progress(self, text: str):
        if self.show_progress:
            elapsed = time.perf_counter() - self.started
            print(f"[{elapsed:6.1f} s] {text}", file=sys.stderr, flush=True)

    def best(self, contenders) -> dict[str, float]:
        return timing.best_interleaved(contenders, self.repeats, self.target)

    def check(self, ok: bool, what: str) -> bool:
        if not ok:
            self.failures.append(what)
            print(f"CHECK FAILED: {what}", file=sys.stderr, flush=True)
        return ok


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        a.view(np.uint32), b.view(np.uint32))


def closeness(got: np.ndarray, ref: np.ndarray) -> float:
    """The worst channel's largest difference relative to its largest magnitude."""
    if got.shape != ref.shape:
        return float("inf")
    scale = np.maximum(np.abs(ref).max(axis=0), np.finfo(np.float32).tiny)
    return float((np.abs(got.astype(np.complex128) - ref).max(axis=0) / scale).max())


def throughput(channels: int, samples: int, seconds: float) -> dict:
    per_second = channels * samples / seconds
    return {"channel_samples_per_second": per_second,
            "audio_seconds_per_second": samples / workload.RATE / seconds}


# --- the in-register ceiling --------------------------------------------------------------------

def measure_ceiling(run: Run, ceiling, x) -> dict:
    """Checks the ceiling's bits and times every group count that fits the registers. The group
    counts are timed again within every round of the resonate grid (see ceiling_seen); the
    ceiling is the best of all those figures."""
    if not ceiling.available:
        return {"unit": ceiling.unit, "available": False}
    for failure in ceiling.check(x[:1000]) + ceiling.check(x):
        run.check(False, failure)
    passes = 4
    jobs = {g: ceiling.job(g, x, passes) for g in range(1, ceiling.max_groups + 1)}
    info = {"available": True, "unit": ceiling.unit, "lanes": ceiling.lanes, "passes": passes,
            "renormalisation": "included (every 256 samples, as the bank)",
            "groups_tried": {g: 0.0 for g in jobs}, "jobs": jobs}
    ceiling_seen(info, run.best({f"ceiling, {g} groups": job for g, (job, _) in jobs.items()}))
    return info


def ceiling_seen(info: dict, best: dict[str, float]) -> float:
    """Folds the ceiling timings among `best` into the figures per group count; returns the
    best rate among them (0 when there were none)."""
    rates = [0.0]
    for g, (_, work) in info["jobs"].items():
        name = f"ceiling, {g} groups"
        if name in best:
            rate = work / best[name]
            info["groups_tried"][g] = max(info["groups_tried"][g], rate)
            rates.append(rate)
    return max(rates)


def finish_ceiling(info: dict, cells: list[dict]) -> None:
    """The best group count and its rate; every cell's share of it."""
    if not info.get("available"):
        return
    info.pop("jobs")
    tried = info.pop("groups_tried")
    groups = max(tried, key=tried.get)
    info.update(groups=groups, channels=groups * info["lanes"],
                channel_samples_per_second=tried[groups],
                groups_tried={str(g): rate for g, rate in tried.items()})
    for cell in cells:
        cell["marlune"]["share_of_ceiling"] = (
            cell["marlune"]["channel_samples_per_second"] / tried[groups])


# --- resonate against the numba loop, every cell ------------------------------------------------

def measure_grid(run: Run, loop, ceiling_info, x) -> list[dict]:
    """Every cell checked first, then timed in shared rounds: each round visits every cell once,
    so that a cell's repeats are spread over the whole grid's time."""
    rounds = timing.Rounds(run.target)
    cells = {}
    for channels in CHANNELS:
        ch = workload.channels(channels)
        for hop in HOPS:
            samples = workload.samples_for(channels, hop, len(x), run.max_result_bytes)
            xs = x[:samples]
            run.progress(f"resonate: checking {channels} channels, hop {hop}, {samples} samples")
            bank, peer = ch.bank(), loop.bank(ch)
            # Two calls in a row: the second continues from the state the first left.
            ok = all(same_bits(peer.resonate(xs, hop), bank.resonate(xs, hop)) for _ in range(2))
            run.check(ok, f"numba loop, {channels} channels, hop {hop}: "
                          "frames differ from marlune's")
            contenders = {"marlune": lambda bank=bank, xs=xs, hop=hop: bank.resonate(xs, hop),
                          "numba": lambda peer=peer, xs=xs, hop=hop: peer.resonate(xs, hop)}
            if ceiling_info.get("available"):
                for g, (job, _) in ceiling_info["jobs"].items():
                    contenders[f"ceiling, {g} groups"] = job
            rounds.add((channels, hop), contenders)
            cells[channels, hop] = {"channels": channels, "hop": hop, "samples": samples,
                                    "same_bits": ok}
    rounds.run(run.repeats, lambda text: run.progress(f"resonate: {text}"))
    for key, cell in cells.items():
        best, median = rounds.best[key], rounds.median(key)
        n, samples = cell["channels"], cell["samples"]
        cell["marlune"] = throughput(n, samples, best["marlune"])
        cell["numba"] = throughput(n, samples, best["numba"])
        for name in ("marlune", "numba"):
            cell[name]["median_channel_samples_per_second"] = n * samples / median[name]
        cell["numba"]["same_bits"] = cell.pop("same_bits")
        cell["marlune_over_numba"] = best["numba"] / best["marlune"]
        if ceiling_info.get("available"):
            cell["ceiling_in_this_cell"] = ceiling_seen(ceiling_info, best)
    return list(cells.values())


# --- peers on the 88-key job --------------------------------------------------------------------

def measure_peers(run: Run) -> list[dict]:
    import librosa_peer
    import lfilter_peer
    import numpy_loop

    ch = workload.channels(PEER_CHANNELS)
    hop = PEER_HOP
    peers = []

    def compare(name, fn, seconds, check_closeness):
        xs = workload.signal(seconds)
        run.progress(f"{name}: {PEER_CHANNELS} channels, hop {hop}, {seconds} s of audio")
        bank = ch.bank()
        entry = {"name": name, "channels": PEER_CHANNELS, "hop": hop, "audio_seconds": seconds}
        if check_closeness:
            worst = closeness(fn(xs), ch.bank().resonate(xs, hop))
            entry["check"] = f"close: worst relative difference {worst:.1e} (limit {CLOSE:.0e})"
            run.check(worst <= CLOSE, f"{name}: frames not close to marlune's ({worst:.2e})")
        contenders = {"marlune": lambda: bank.resonate(xs, hop), "peer": lambda: fn(xs)}
        best = timing.best_interleaved(contenders, max(3, run.repeats // 3), run.target)
        samples = len(xs) // hop * hop
        entry["peer"] = throughput(PEER_CHANNELS, samples, best["peer"])
        entry["marlune"] = throughput(PEER_CHANNELS, samples, best["marlune"])
        entry["marlune_over_peer"] = best["peer"] / best["marlune"]
        peers.append(entry)
        return entry

    short = 0.05 if run.quick else 0.25
    compare("NumPy loop over samples", lambda xs: numpy_loop.resonate(ch, xs, hop), short, True)
    compare("scipy.signal.lfilter per channel", lambda xs: lfilter_peer.resonate(ch, xs, hop),
            2 * short, True)
    failures = librosa_peer.check(hop)
    for failure in failures:
        run.check(False, failure)
    loose = "loose: strongest bin of a tone is the bank's strongest note"
    for name, fn in (("librosa.cqt, 88 bins from A0", librosa_peer.cqt),
                     (f"librosa.stft, n_fft {librosa_peer.N_FFT}", librosa_peer.stft)):
        # At least a second: shorter input leaves the lowest octaves of the CQT too few samples.
        entry = compare(name, lambda xs, fn=fn: fn(xs, hop), max(1.0, run.seconds), False)
        failed = any(f.startswith(name.split(",")[0]) for f in failures)
        entry["check"] = loose + (" (FAILED)" if failed else "")
    return peers


# --- all cores ----------------------------------------------------------------------------------

def measure_parallel(run: Run, loop, x) -> dict:
    import numba

    import parallel_bank

    cls = parallel_bank.parallel_bank_class()
    hop = PARALLEL_HOP
    samples = len(x) // hop * hop
    result = {"threads": numba.get_num_threads(), "hop": hop, "samples": samples,
              "parallel_bank": "available" if cls else "not available", "rows": []}
    rounds = timing.Rounds(run.target)
    for channels in PARALLEL_CHANNELS:
        ch = workload.channels(channels)
        run.progress(f"all cores: checking {channels} channels, hop {hop}")
        reference = ch.bank().resonate(x, hop)
        peer = loop.bank(ch)
        ok = same_bits(peer.resonate(x, hop, parallel=True), reference)
        run.check(ok, f"numba parallel loop, {channels} channels: frames differ from marlune's")
        single = ch.bank()
        contenders = {
            "marlune, one thread": lambda single=single: single.resonate(x, hop),
            "numba parallel": lambda peer=peer: peer.resonate(x, hop, parallel=True)}
        if cls is not None:
            pool = parallel_bank.make(cls, ch)
            pool_ok = same_bits(pool.resonate(x, hop), reference)
            run.check(pool_ok, f"ParallelBank, {channels} channels: frames differ from one bank's")
            contenders["ParallelBank"] = lambda pool=pool: pool.resonate(x, hop)
        rounds.add(channels, contenders)
    rounds.run(run.repeats, lambda text: run.progress(f"all cores: {text}"))
    for channels in PARALLEL_CHANNELS:
        best = rounds.best[channels]
        row = {"channels": channels,
               **{name: throughput(channels, samples, t) for name, t in best.items()}}
        if cls is not None:
            row["parallel_bank_over_numba_parallel"] = best["numba parallel"] / best["ParallelBank"]
        result["rows"].append(row)
    result["threading_layer"] = numba.threading_layer()
    return result


# --- process_sample per call ---------------------------------------------------------------------

def measure_per_call(run: Run) -> dict:
    import per_call

    run.progress("process_sample per call")
    floor = per_call.load_floor(run.args.native_dir)
    # Short measurements, many of them: a call takes tens of nanoseconds, and on a busy machine
    # a short window is likelier to run undisturbed.
    best = timing.best_interleaved(per_call.contenders(floor), 3 * run.repeats, run.target / 3)
    ns = {name: t / per_call.CALLS_PER_JOB * 1e9 for name, t in best.items()}
    return {"nanoseconds_per_call": ns,
            "ratio_positional": ns["marlune positional"] / ns["floor positional"],
            "ratio_keyword": ns["marlune keyword"] / ns["floor keyword"]}


# --- the run ------------------------------------------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="benchmarks/suite",
        description=__doc__.split("\n\n")[0],
        epilog="example: python benchmarks/suite --native-dir build/bench/native "
               "--json build/bench/results.json",
    )
    parser.add_argument("--native-dir", type=Path, required=True,
                        help="folder with libceiling.so and the call_floor extension")
    parser.add_argument("--json", type=Path, help="write every figure here")
    parser.add_argument("--quick", action="store_true", help="short signals, few repeats")
    parser.add_argument("--seconds", type=float, help="seconds of audio per resonate job (3)")
    parser.add_argument("--repeats", type=int, help="interleaved repeats per comparison (21)")
    parser.add_argument("--progress", action="store_true", help="progress on standard error")
    parser.add_argument("--files-dir", type=Path, default=Path(__file__).resolve().parents[2] / "build" / "bench" / "files",
                        help="where the audio files of the file rows are written and kept (build/bench/files)")
    parser.add_argument("--basic-pitch-python", metavar="PYTHON",
                        help="an interpreter with basic-pitch, for the transcription table")
    parser.add_argument("--only", choices=sorted(ALONE),
                        help="measure one table alone: the notes (transcription) or the live command")
    return parser.parse_args(argv)


def missing_peers() -> list[str]:
    import importlib.util

    return [name for name in ("numba", "llvmlite", "scipy", "librosa", "soundfile", "matplotlib")
            if importlib.util.find_spec(name) is None]


# The tables that can be measured alone (--only): each needs neither the kernels' ceiling nor numba.
ALONE = {
    "transcription": (transcription.measure, transcription.table),
    "live": (live.measure, live.table),
}


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.only:
        return alone(args)
    missing = missing_peers()
    if missing:
        print(f"benchmarks/suite: {', '.join(missing)} missing; install the bench group "
              "(pip install --group bench) or run scripts/bench", file=sys.stderr)
        return 2
    run = Run(args)
    ceiling = ceiling_mod.Ceiling(args.native_dir)
    numba_note = numba_loop.configure(ceiling.lanes or 8)
    info = machine.describe()
    info["vector_unit"] = ceiling.unit
    info["marlune_kernel"] = {16: "avx512", 8: "avx2"}.get(ceiling.lanes, "scalar")
    run.results["machine"] = info
    run.results["settings"] = {
        "audio_seconds": run.seconds, "repeats": run.repeats,
        "target_seconds_per_measurement": run.target, "quick": run.quick,
        "max_result_bytes": run.max_result_bytes, "sample_rate": workload.RATE}
    x = workload.signal(run.seconds)

    run.progress("ceiling")
    ceiling_info = measure_ceiling(run, ceiling, x)

    run.progress("compiling the numba loop")
    loop = numba_loop.NumbaLoop(ceiling.lanes or 8)
    # Without AVX2 and FMA neither marlune nor numba has a vector kernel with fused multiply-add.
    asm_ok = numba_loop.vectorised_with_fma(loop.asm(), loop.lanes) if ceiling.available else None
    run.check(asm_ok is not False,
              f"numba loop: no packed fused multiply-add on {loop.lanes}-float registers")
    run.results["numba"] = {"target": numba_note, "lanes": loop.lanes,
                            "packed_fma_in_assembly": asm_ok}

    run.results["resonate"] = measure_grid(run, loop, ceiling_info, x)
    finish_ceiling(ceiling_info, run.results["resonate"])
    run.results["ceiling"] = ceiling_info
    run.results["whole_file"] = real_sound.measure_whole_file(
        run, run.results["resonate"], ceiling_info)
    run.results["real_sound"] = real_sound.measure_real_sound(run)

    run.results["peers"] = measure_peers(run)
    run.results["all_cores"] = measure_parallel(run, loop, x)
    run.results["process_sample"] = measure_per_call(run)
    run.results["files"] = files.measure(run, args.files_dir)
    run.results["silence"] = transcription.measure_silence(run)
    run.results["transcription"] = transcription.measure(run)
    run.results["live"] = live.measure(run)

    run.results["versions"] = machine.versions(
        ["marlune", "numpy", "numba", "llvmlite", "scipy", "librosa"])
    run.results["versions"]["marlune_tools"] = machine.companion_package()
    run.results["machine"]["load_average_at_end"] = machine.load_average()
    run.results["checks_failed"] = run.failures
    run.results["elapsed_seconds"] = time.perf_counter() - run.started

    print(report.table(run.results))
    print("\n" + transcription.silence_table(run.results["silence"]))
    print("\n" + transcription.table(run.results["transcription"]))
    print("\n" + live.table(run.results["live"]))
    if args.json:
        report.write_json(run.results, args.json)
        print(f"\nJSON: {args.json}")
    if run.failures:
        print(f"\n{len(run.failures)} check(s) FAILED:", *run.failures, sep="\n  ", file=sys.stderr)
        return 1
    return 0


def alone(args) -> int:
    run = Run(args)
    measure, table = ALONE[args.only]
    run.results["machine"] = machine.describe()
    run.results[args.only] = measure(run)
    run.results["machine"]["load_average_at_end"] = machine.load_average()
    run.results["checks_failed"] = run.failures
    run.results["elapsed_seconds"] = time.perf_counter() - run.started
    print(table(run.results[args.only]))
    if args.json:
        report.write_json(run.results, args.json)
        print(f"\nJSON: {args.json}")
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
