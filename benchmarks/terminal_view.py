"""The live terminal display's cost per `show`, on the snapshots of a rendered piece.

The analysis runs first, untimed, and gives one snapshot per 40 ms of audio (25 a second, as
`marlune live` shows them); then each snapshot is shown on a terminal of each size, writing to
memory. Prints the wall time per call (median, p99), the processor time per call (which a busy machine
does not inflate), the characters written per call and the share of one core that 25 calls a
second take.

    python benchmarks/terminal_view.py                 # two-voices, 80x24 and 200x60
    python benchmarks/terminal_view.py --piece chords --size 120x40
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import renders  # noqa: E402
import terminal_driver  # noqa: E402
from marlune_tools.live.snapshot import Setup, Snapshot, Status  # noqa: E402
from marlune_tools.live.terminal import TerminalView  # noqa: E402
from marlune_tools.notes import Scale  # noqa: E402
from marlune_tools.stream import FrameStream  # noqa: E402
from marlune_tools.transcribe import FULL_SCALE, NoteTracker, bank_for  # noqa: E402

RATE = renders.SAMPLE_RATE
SHOWS_PER_SECOND = 25


def snapshots(samples: np.ndarray, scale: Scale, hop: int) -> tuple[Setup, list[Snapshot]]:
    stream = FrameStream(bank_for(scale.numbers, RATE), hop)
    tracker = NoteTracker(scale.numbers, RATE, hop)
    setup = Setup("bench", float(RATE), 512, hop, scale.numbers, scale.frequencies, 0.01, tracker.delay_frames)
    step = RATE // SHOWS_PER_SECOND
    shots = []
    for at in range(0, len(samples), step):
        chunk = samples[at : at + step]
        frames = stream.push(chunk)
        ended = tracker.push(frames)
        levels = 20 * np.log10(np.maximum(np.abs(frames), 1e-9) / FULL_SCALE).astype(np.float32)
        peak = 20 * np.log10(max(float(np.abs(chunk).max()), 1e-9))
        time_s = (at + len(chunk)) / RATE
        status = Status(time_s, 0.002, 0.006, 0.01, 0, 0.07)
        shots.append(Snapshot(time_s, levels, peak, tuple(tracker.sounding), tuple(ended), status))
    return setup, shots


class Memory(io.StringIO):
    def fileno(self) -> int:
        raise OSError("in memory")  # so the view takes its size from COLUMNS and LINES


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--piece", default="two-voices", choices=sorted(terminal_driver.PIECES))
    parser.add_argument("--size", action="append", help="COLUMNSxROWS (default 80x24 and 200x60)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as cache:
        samples = renders.render(terminal_driver.PIECES[args.piece](), cache)
    scale = Scale(21, 108)
    setup, shots = snapshots(samples, scale, RATE // 100)
    print(f"{args.piece}: {len(shots)} snapshots, 88 keys; load {os.getloadavg()[0]:.2f}")
    for size in args.size or ["80x24", "200x60"]:
        columns, lines = size.split("x")
        os.environ["COLUMNS"], os.environ["LINES"] = columns, lines
        for colour in (True, False):
            os.environ["NO_COLOR"] = "" if colour else "1"
            out = Memory()
            view = TerminalView(out)
            view.open(setup)
            costs = []
            cpu = time.process_time()
            for shot in shots:
                began = time.perf_counter()
                view.show(shot)
                costs.append(time.perf_counter() - began)
            cpu = time.process_time() - cpu
            view.close()
            ms = np.array(costs) * 1e3
            share = cpu / len(shots) * SHOWS_PER_SECOND
            print(f"  {size:>7} {'colour' if colour else 'NO_COLOR':>8}: median {np.median(ms):.2f} ms, "
                  f"p99 {np.percentile(ms, 99):.2f} ms (wall), {cpu / len(shots) * 1e3:.2f} ms of processor "
                  f"time, {len(out.getvalue()) / len(shots):,.0f} chars per show: {share:.1%} of one core "
                  f"at {SHOWS_PER_SECOND} a second")


if __name__ == "__main__":
    main()
