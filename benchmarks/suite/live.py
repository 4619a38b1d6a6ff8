"""`marlune live` replaying rendered music at real speed: the delay from a block's arrival to its
frames and note decisions (median, 99.9th percentile, longest), dropped blocks and the CPU share
of the whole command (every thread, the plain display included), at 88 keys with 1 and 3 bins
per semitone.

The music is the development pieces of tests/python/renders.py one after another, about 60 s
(5 s with --quick); a replay takes as long as the music, so the full part takes about two minutes.
The goals: the delay's 99.9th percentile at most 5 ms above the block's length, no dropped
block, and at most 10% of one core at one bin per semitone. They are figures to read beside the
machine's load, not checks: a busy machine misses them without anything being wrong.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import machine
from transcription import ROOT, renders

BINS = (1, 3)
SECONDS = 60.0
QUICK_SECONDS = 5.0
GOAL_ABOVE_BLOCK = 0.005  # s
GOAL_CPU = 0.10  # of one core, at one bin per semitone
_FIGURES = {
    "block": r"block (\d+) samples \(([\d.]+) ms\)",
    "median": r"median ([\d.]+) ms",
    "p999": r"p99\.9 ([\d.]+) ms",
    "longest": r"longest ([\d.]+) ms",
    "dropped": r"dropped (\d+) blocks",
    "cpu": r"CPU ([\d.]+)% of one core",
    "work": r"per block median [\d.]+ ms, p99\.9 ([\d.]+) ms",
}


def music(seconds: float) -> np.ndarray:
    """Rendered pieces one after another, cut at `seconds`."""
    parts, total = [], 0
    for piece in renders.development():
        samples = renders.render(piece, ROOT / "build" / "bench" / "renders")
        parts.append(samples)
        total += len(samples)
        if total >= seconds * renders.SAMPLE_RATE:
            break
    return np.concatenate(parts)[: int(seconds * renders.SAMPLE_RATE)]


def replay(path: Path, bins: int) -> dict:
    """One `marlune live --input --bench` run; its figures in seconds and shares."""
    done = subprocess.run([sys.executable, "-m", "marlune_tools.cli", "live", "--input", str(path), "--bench",
                           "--bins-per-semitone", str(bins)], capture_output=True, text=True, check=True)
    report = "\n".join(line for line in done.stdout.splitlines() if line.startswith("bench:"))
    found = {name: re.search(pattern, report) for name, pattern in _FIGURES.items()}
    missing = [name for name, match in found.items() if match is None]
    if missing:
        raise RuntimeError(f"marlune live --bench printed no {', '.join(missing)}:\n{done.stdout}{done.stderr}")
    block = found["block"]
    return {
        "bins_per_semitone": bins, "channels": 88 * bins - (bins - 1),
        "block_samples": int(block.group(1)), "block_seconds": float(block.group(2)) / 1000.0,
        "delay_median": float(found["median"].group(1)) / 1000.0,
        "delay_p999": float(found["p999"].group(1)) / 1000.0,
        "longest": float(found["longest"].group(1)) / 1000.0,
        "dropped": int(found["dropped"].group(1)), "cpu": float(found["cpu"].group(1)) / 100.0,
        "work_p999": float(found["work"].group(1)) / 1000.0,
    }


def measure(run) -> dict:
    missing = renders.available()
    if missing:
        return {"missing": missing}
    seconds = QUICK_SECONDS if run.quick else SECONDS
    run.progress(f"live: rendering {seconds:g} s of music")
    samples = music(seconds)
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "music.wav"
        import soundfile

        soundfile.write(path, samples, renders.SAMPLE_RATE, subtype="FLOAT")
        for bins in BINS:
            run.progress(f"live: replaying {seconds:g} s at 88 keys x {bins}")
            load = machine.load_average()
            row = replay(path, bins)
            row["load_average_before"], row["load_average_after"] = load, machine.load_average()
            rows.append(row)
    return {"audio_seconds": len(samples) / renders.SAMPLE_RATE, "rows": rows}


def table(result: dict) -> str:
    if "missing" in result:
        return f"live: skipped ({result['missing']})"
    lines = [f"marlune live, {result['audio_seconds']:.0f} s replayed at real speed "
             f"(goals: p99.9 <= block + {GOAL_ABOVE_BLOCK * 1000:.0f} ms, no drop, CPU <= {GOAL_CPU:.0%} at 88 x 1)",
             "(work p99.9: the analysis thread's own processor time per block; the rest of the delay is waiting "
             "for a core)",
             f"{'setting':<10} {'block':>8} {'median':>8} {'p99.9':>8} {'longest':>8} {'work p99.9':>10} {'dropped':>8} "
             f"{'CPU':>6}  load"]
    for row in result["rows"]:
        load = row["load_average_after"]
        lines.append(
            f"88 x {row['bins_per_semitone']:<5} {row['block_seconds'] * 1000:6.1f}ms {row['delay_median'] * 1000:6.2f}ms "
            f"{row['delay_p999'] * 1000:6.2f}ms {row['longest'] * 1000:6.2f}ms {row['work_p999'] * 1000:8.2f}ms "
            f"{row['dropped']:8d} {row['cpu']:6.1%}  "
            f"{load[0] if load else '?'}")
    return "\n".join(lines)
