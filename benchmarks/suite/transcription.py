"""Which notes are played: `marlune notes` against basic-pitch and librosa's pyin, on renders.

The pieces are MIDI files written in tests/python/renders.py and rendered with fluidsynth and the
FluidR3 General MIDI soundfont. Each contender's notes are scored against the MIDI notes with
mir_eval.transcription: F1 of onsets within 50 ms, F1 with offsets too (mir_eval's default of 20%
of the note's length, at least 50 ms), and octave errors: reference notes missed whose onset is
matched by a note a whole number of octaves away, as a share of the reference notes. Time is the
whole job from the file on disk: for marlune, the command's own function (read, bank, tracker,
MIDI and CSV written), in processor seconds on one core; for the peers, wall-clock seconds (the
machine's load is in the JSON).

basic-pitch runs in an interpreter of its own (its TensorFlow does not install on every CPython):
`--basic-pitch-python` names it; without it the column is left out. pyin is scored on the
monophonic pieces only, segmented by librosa's onset_detect.

Also `measure_silence`: resonate's throughput on a rendered instrument with digital silence at
both ends, as a share of its throughput on noise, at 88 channels.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import renders  # noqa: E402

ONSET_TOLERANCE = 0.05
QUICK_PIECES = ("piano", "two-voices", "90ms-notes")
MARKS = {"development": "", "held_out": "*", "wider": "+", "shapes": "^", "room": "~", "off_grid": ">"}
# The shapes, the room and the pieces off the grid are scored apart: the headline figures stay
# those of the same pieces over time.
SCORED_APART = ("shapes", "room", "off_grid")
# The pieces' notes begin on whole milliseconds, so on the 10 ms frames' edges at 44.1 kHz; a
# recording's begin anywhere. Half a frame of silence before the 42 pieces puts every onset
# between two frames (the notes found are moved back by as much before scoring).
OFF_GRID_SAMPLES = 220


def lead(group: str) -> int:
    """The samples of silence put before a piece of `group`."""
    return OFF_GRID_SAMPLES if group == "off_grid" else 0
PEER_SCRIPT = Path(__file__).with_name("basic_pitch_peer.py")


def score(piece: renders.Piece, intervals: np.ndarray, pitches: np.ndarray) -> dict:
    """mir_eval's onset F1, F1 with offsets and the octave errors of notes (s, s) and MIDI pitches."""
    import mir_eval

    ref_intervals, ref_hz = piece.reference
    est_hz = 440.0 * 2.0 ** ((np.asarray(pitches, dtype=float) - 69) / 12)
    est_intervals = np.asarray(intervals, dtype=float).reshape(-1, 2)
    if len(est_intervals):
        # mir_eval refuses notes of no length; a zero-length note is a note of one millisecond.
        est_intervals[:, 1] = np.maximum(est_intervals[:, 1], est_intervals[:, 0] + 0.001)
    transcription = mir_eval.transcription
    onset = transcription.precision_recall_f1_overlap(
        ref_intervals, ref_hz, est_intervals, est_hz, onset_tolerance=ONSET_TOLERANCE, offset_ratio=None)
    offset = transcription.precision_recall_f1_overlap(
        ref_intervals, ref_hz, est_intervals, est_hz, onset_tolerance=ONSET_TOLERANCE)
    return {"onset_f1": onset[2], "onset_precision": onset[0], "onset_recall": onset[1],
            "offset_f1": offset[2], "octave_errors": octave_errors(ref_intervals, ref_hz, est_intervals, est_hz),
            "notes": len(ref_hz), "found": len(est_hz)}


def octave_errors(ref_intervals, ref_hz, est_intervals, est_hz) -> int:
    ref = np.rint(69 + 12 * np.log2(ref_hz / 440.0)).astype(int)
    est = np.rint(69 + 12 * np.log2(np.asarray(est_hz) / 440.0)).astype(int) if len(est_hz) else np.zeros(0, int)
    errors = 0
    for (onset, _), pitch in zip(ref_intervals, ref):
        near = est[np.abs(est_intervals[:, 0] - onset) <= ONSET_TOLERANCE] if len(est) else est
        if pitch not in near and any(q != pitch and (q - pitch) % 12 == 0 for q in near):
            errors += 1
    return errors


def marlune_notes(path: Path, scratch: Path, repeats: int) -> tuple[np.ndarray, np.ndarray, float]:
    from marlune_tools.notes_command import Options, run_file

    best = float("inf")
    for _ in range(repeats):
        # Processor time of this process: the command runs on one core, and on a busy machine
        # the wall clock would count the other processes' turns too.
        start = time.process_time()
        result = run_file(str(path), str(scratch / "out.mid"), str(scratch / "out.csv"), Options())
        best = min(best, time.process_time() - start)
    events = result.events
    return np.array([[e.onset, e.offset] for e in events]), np.array([e.pitch for e in events]), best


def pyin_notes(samples: np.ndarray, rate: int) -> tuple[np.ndarray, np.ndarray, float]:
    """librosa's pyin for the pitch, its onset_detect for the notes: between two onsets, the
    median pitch of the voiced frames, ending at the last voiced one."""
    import librosa

    hop = 256
    if not getattr(pyin_notes, "warm", False):
        # The first call compiles librosa's numba kernels; that is not the work per file.
        librosa.pyin(samples[:rate], fmin=55.0, fmax=4186.0, sr=rate, hop_length=hop)
        pyin_notes.warm = True  # type: ignore[attr-defined]
    start = time.perf_counter()
    f0, voiced, _ = librosa.pyin(samples, fmin=librosa.note_to_hz("A1"), fmax=librosa.note_to_hz("C8"),
                                 sr=rate, hop_length=hop)
    onsets = librosa.onset.onset_detect(y=samples, sr=rate, hop_length=hop, units="frames", backtrack=True)
    bounds = list(onsets) + [len(f0)]
    intervals, pitches = [], []
    for first, end in zip(bounds[:-1], bounds[1:]):
        frames = np.flatnonzero(voiced[first:end] & np.isfinite(f0[first:end]))
        if not len(frames):
            continue
        pitches.append(int(np.rint(librosa.hz_to_midi(np.median(f0[first:end][frames])))))
        intervals.append([first * hop / rate, (first + frames[-1] + 1) * hop / rate])
    return np.array(intervals).reshape(-1, 2), np.array(pitches), time.perf_counter() - start


def basic_pitch_notes(python: str, paths: list[Path]) -> dict[str, dict]:
    """basic-pitch's notes and time per file, from its own interpreter."""
    done = subprocess.run([python, str(PEER_SCRIPT), *map(str, paths)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure(run) -> dict:
    """Every piece through every contender; the table's rows and the means."""
    quick = run.quick
    sets = {"development": renders.development(), "held_out": renders.held_out(), "wider": renders.wider(),
            "shapes": renders.shapes()}
    # (piece, set): the 42 pieces again as heard in a room and off the frames' grid, after the rest.
    pieces = [(piece, name) for name, group in sets.items() for piece in group]
    pieces += [(piece, again) for again in ("room", "off_grid")
               for name in ("development", "held_out", "wider") for piece in sets[name]]
    if quick:
        pieces = [(p, group) for p, group in pieces if p.name in QUICK_PIECES and group not in ("room", "off_grid")]
    missing = renders.available()
    if missing:
        run.check(False, f"transcription: cannot render the pieces: {missing}")
        return {"rows": [], "missing": missing}
    cache = ROOT / "build" / "bench" / "renders"
    rows = []
    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        files = []
        for piece, group in pieces:
            room = group == "room"
            label = piece.name + MARKS[group]
            run.progress(f"transcription: rendering {label}")
            samples = renders.render(piece, cache, room=room)
            samples = np.concatenate([np.zeros(lead(group), dtype=np.float32), samples])
            late = lead(group) / renders.SAMPLE_RATE
            path = scratch / f"{piece.name}{'-' + group if group in ('room', 'off_grid') else ''}.wav"
            import soundfile

            soundfile.write(path, samples, renders.SAMPLE_RATE, subtype="FLOAT")
            files.append(path)
            seconds = len(samples) / renders.SAMPLE_RATE
            run.progress(f"transcription: marlune on {label}")
            intervals, pitches, elapsed = marlune_notes(path, scratch, 1 if quick else 3)
            row = {"piece": piece.name, "seconds": seconds, "set": group,
                   "monophonic": piece.monophonic,
                   "marlune": {**score(piece, intervals - late, pitches), "time": elapsed,
                               "real_time": seconds / elapsed}}
            if piece.monophonic and not quick:
                run.progress(f"transcription: pyin on {label}")
                intervals, pitches, elapsed = pyin_notes(samples, renders.SAMPLE_RATE)
                row["pyin"] = {**score(piece, intervals - late, pitches), "time": elapsed,
                               "real_time": seconds / elapsed}
            rows.append(row)
        python = getattr(run.args, "basic_pitch_python", None)
        if python and not quick:
            run.progress("transcription: basic-pitch on every piece")
            found = basic_pitch_notes(python, files)
            for row, (piece, group), path in zip(rows, pieces, files):
                notes = found[path.stem]
                late = lead(group) / renders.SAMPLE_RATE
                intervals = np.array(notes["intervals"]).reshape(-1, 2) - late
                row["basic_pitch"] = {**score(piece, intervals, np.array(notes["pitches"])), "time": notes["time"],
                                      "real_time": row["seconds"] / notes["time"]}
    return {"rows": rows, "summary": summary(rows), "blocks": measure_blocks(run, pieces[0][0])}


BLOCKS = (512, 594, 1000, 1024)  # frames per push: the command's 594 at 44.1 kHz, and powers of two


def measure_blocks(run, piece: renders.Piece) -> dict:
    """The note tracker alone on a piece's frames pushed in blocks of each of `BLOCKS` frames, in
    frames per second: a caller's block may be any size, a power of two not least."""
    import timing
    from marlune_tools import FrameStream
    from marlune_tools.transcribe import NoteTracker, bank_for

    run.progress("transcription: blocks of frames")
    numbers = np.arange(21, 109)
    hop = renders.SAMPLE_RATE // 100
    frames = FrameStream(bank_for(numbers, renders.SAMPLE_RATE), hop).push(
        renders.render(piece, ROOT / "build" / "bench" / "renders"))

    def track(block: int) -> None:
        tracker = NoteTracker(numbers, renders.SAMPLE_RATE, hop)
        for start in range(0, len(frames), block):
            tracker.push(frames[start : start + block])
        tracker.finish()

    best = timing.best_interleaved({str(b): (lambda b=b: track(b)) for b in BLOCKS},
                                   max(3, run.repeats // 3), run.target)
    return {"piece": piece.name, "frames": len(frames),
            "frames_per_second": {b: len(frames) / best[str(b)] for b in BLOCKS}}


def summary(rows: list[dict]) -> dict:
    out = {}
    apart = {name: [row for row in rows if row["set"] == name] for name in SCORED_APART}
    rows = [row for row in rows if row["set"] not in SCORED_APART]
    for name in ("marlune", "basic_pitch", "pyin"):
        scored = [row[name] for row in rows if name in row]
        if not scored:
            continue
        notes = sum(s["notes"] for s in scored)
        out[name] = {"pieces": len(scored), "mean_onset_f1": float(np.mean([s["onset_f1"] for s in scored])),
                     "lowest_onset_f1": float(min(s["onset_f1"] for s in scored)),
                     "mean_offset_f1": float(np.mean([s["offset_f1"] for s in scored])),
                     "octave_error_share": sum(s["octave_errors"] for s in scored) / notes,
                     "real_time": sum(row["seconds"] for row in rows if name in row) / sum(s["time"] for s in scored)}
    for part in ("development", "held_out", "wider"):
        scored = [row["marlune"]["onset_f1"] for row in rows if row["set"] == part]
        if scored:
            out[f"marlune_{part}_mean_onset_f1"] = float(np.mean(scored))
    for part, group in apart.items():
        for name in ("marlune", "basic_pitch", "pyin"):
            scored = [row[name]["onset_f1"] for row in group if name in row]
            if scored:
                out[f"{name}_{part}_mean_onset_f1"] = float(np.mean(scored))
    return out


def table(result: dict) -> str:
    if not result.get("rows"):
        return f"Which notes are played: skipped ({result.get('missing', 'no pieces')})"
    names = [n for n in ("marlune", "basic_pitch", "pyin") if any(n in row for row in result["rows"])]
    width = 32
    lines = ["Which notes are played (mir_eval: F1 of onsets within 50 ms, F1 with offsets, octave errors,",
             "times real time; * held out, + the wider set; scored apart: ^ shapes the others avoid,",
             "~ the 42 pieces again as heard in a room, > again with their onsets between frames)",
             f"{'':<22}" + "".join(f"{n.replace('_', '-'):>{width}}" for n in names),
             f"{'piece':<22}" + "".join(f"{'onset offset  octave   speed':>{width}}" for _ in names)]
    for row in result["rows"]:
        cells = []
        for n in names:
            s = row.get(n)
            cells.append(f"{'-':>{width}}" if s is None else
                         f"{s['onset_f1']:>{width - 24}.2f} {s['offset_f1']:6.2f} {s['octave_errors']:3d}/{s['notes']:<3d}"
                         f" {s['real_time']:7.1f}x")
        lines.append(f"{row['piece'] + MARKS[row['set']]:<22}" + "".join(cells))
    for n, s in result["summary"].items():
        if isinstance(s, dict):
            lines.append(f"{n}: mean onset F1 {s['mean_onset_f1']:.3f} (lowest {s['lowest_onset_f1']:.2f}), "
                         f"mean F1 with offsets {s['mean_offset_f1']:.3f}, octave errors "
                         f"{100 * s['octave_error_share']:.1f}% of notes, {s['real_time']:.0f}x real time "
                         f"over {s['pieces']} pieces")
    for part in ("development", "held_out", "wider"):
        key = f"marlune_{part}_mean_onset_f1"
        if key in result["summary"]:
            lines.append(f"marlune on the {part.replace('_', '-')} pieces: mean onset F1 {result['summary'][key]:.3f}")
    for part, what in (("shapes", "on the shapes the other pieces avoid (repeated keys, octave leaps, loud and "
                                  "soft, octaves together, a choir's or an organ's line; pyin on the monophonic ones)"),
                       ("room", "on the 42 pieces in a room (fluidsynth's reverb; pyin on the monophonic ones)"),
                       ("off_grid", "on the 42 pieces with every onset half a frame off the 10 ms grid")):
        apart = [f"{n.replace('_', '-')} {result['summary'][f'{n}_{part}_mean_onset_f1']:.3f}"
                 for n in ("marlune", "basic_pitch", "pyin") if f"{n}_{part}_mean_onset_f1" in result["summary"]]
        if apart:
            lines.append(f"{what}: mean onset F1 " + ", ".join(apart))
    if "blocks" in result:
        rates = result["blocks"]["frames_per_second"]
        slowest = min(rates.values())
        lines.append(f"the note tracker alone on {result['blocks']['piece']}, by frames per push: " + ", ".join(
            f"{block}: {rate / 1e3:.0f}k frames/s ({rate / slowest:.2f}x the slowest)" for block, rate in rates.items()))
    return "\n".join(lines)


def measure_silence(run) -> dict:
    """resonate at 88 channels on a rendered piano piece padded with digital silence at both ends,
    against the same length of noise: subnormal numbers in a decaying channel would show here."""
    import timing
    import workload

    missing = renders.available()
    if missing:
        return {"missing": missing}
    run.progress("silence: rendering")
    piece = renders.development()[0]
    music = renders.render(piece, ROOT / "build" / "bench" / "renders")
    pad = np.zeros(len(music), dtype=np.float32)
    signal = np.concatenate([pad, music, pad])
    noise = np.random.default_rng(7).standard_normal(len(signal)).astype(np.float32) * np.float32(0.1)
    ch = workload.channels(88)
    hop = 256
    banks = {"music in silence": ch.bank(), "noise": ch.bank()}
    inputs = {"music in silence": signal, "noise": noise}
    best = timing.best_interleaved(
        {name: (lambda name=name: banks[name].resonate(inputs[name], hop)) for name in banks},
        max(3, run.repeats // 3), run.target)
    samples = len(signal)
    return {"channels": 88, "hop": hop, "samples": samples, "silence_seconds_each_end": len(pad) / renders.SAMPLE_RATE,
            "channel_samples_per_second": {name: 88 * samples / t for name, t in best.items()},
            "silence_over_noise": best["noise"] / best["music in silence"]}


def silence_table(result: dict) -> str:
    if "missing" in result:
        return f"resonate on silence: skipped ({result['missing']})"
    rate = result["channel_samples_per_second"]["music in silence"]
    return (f"resonate, 88 channels, rendered piano with {result['silence_seconds_each_end']:.1f} s of digital "
            f"silence at each end: {rate / 1e6:.0f} M channel-samples/s, {result['silence_over_noise']:.2f}x "
            "the rate on noise")
