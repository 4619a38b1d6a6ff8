"""Plays audio through the terminal display as `marlune live` does, without a device: a rendered
piece (renders.py) or a sine tone, fed block by block at a chosen speed through a bank, a
FrameStream and a NoteTracker, one Snapshot every 40 ms.

    python terminal_driver.py --piece melody --speed 4 --dropped 7 --then hold
    python terminal_driver.py --wav take.wav          # or a file; without either, a tone

--then: `exit` closes the display when the audio ends, `hold` keeps showing until Ctrl-C,
`fail` raises an error at the end (the display must still be given back). After closing it
prints "closed" and the cost of `show` per call.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import renders  # noqa: E402
from marlune_tools.live.snapshot import Setup, Snapshot, Status  # noqa: E402
from marlune_tools.live.terminal import TerminalView  # noqa: E402
from marlune_tools.notes import Scale  # noqa: E402
from marlune_tools.stream import FrameStream  # noqa: E402
from marlune_tools.transcribe import FULL_SCALE, NoteTracker, bank_for  # noqa: E402

BLOCK = 512
TICK = 0.04  # s between snapshots: 25 a second
PIECES = {
    "melody": lambda: renders.melody("piano", renders.PIANO, 60, 76, seed=1, count=12, beat=0.35),
    "two-voices": lambda: renders.two_voices("two-voices", seed=6),
    "chords": lambda: renders.chords_and_melody("chords", seed=2),
}
TONE = 440.0  # Hz: A4


def samples_of(args: argparse.Namespace) -> tuple[np.ndarray, float, str]:
    if args.wav:
        import soundfile

        samples, rate = soundfile.read(args.wav, dtype="float32")
        return samples, float(rate), Path(args.wav).name
    if args.piece:
        return renders.render(PIECES[args.piece](), args.cache), float(renders.SAMPLE_RATE), args.piece
    rate = 44_100.0
    t = np.arange(int(args.tone * rate)) / rate
    return (0.3 * np.sin(2 * np.pi * TONE * t)).astype(np.float32), rate, "a 440 Hz tone"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--piece", choices=sorted(PIECES))
    parser.add_argument("--wav", help="a mono audio file to play")
    parser.add_argument("--tone", type=float, default=2.0, help="seconds of A4 when no piece is given")
    parser.add_argument("--cache", help="folder for rendered pieces")
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--dropped", type=int, default=0, help="dropped blocks to report")
    parser.add_argument("--then", choices=("exit", "hold", "fail"), default="exit")
    args = parser.parse_args()

    samples, rate, source = samples_of(args)
    scale = Scale(21, 108)
    hop = round(rate / 100)
    stream = FrameStream(bank_for(scale.numbers, rate), hop)
    tracker = NoteTracker(scale.numbers, rate, hop)
    setup = Setup(source, rate, BLOCK, hop, scale.numbers, scale.frequencies, 0.0116, tracker.delay_frames)
    delays: list[float] = []
    costs: list[float] = []
    view = TerminalView()
    start, cpu_start = time.monotonic(), time.process_time()

    def snapshot(chunk: np.ndarray, heard: int) -> Snapshot:
        frames, ended = [], []
        for i in range(0, len(chunk), BLOCK):
            began = time.perf_counter()
            block = stream.push(chunk[i : i + BLOCK])
            ended += tracker.push(block)
            delays.append(time.perf_counter() - began)
            frames.append(block)
        magnitude = np.abs(np.concatenate(frames)) if frames else np.zeros((0, len(scale.numbers)), np.float32)
        levels = 20 * np.log10(np.maximum(magnitude, 1e-9) / FULL_SCALE)
        peak = 20 * np.log10(float(np.abs(chunk).max())) if len(chunk) and np.abs(chunk).any() else -np.inf
        wall = time.monotonic() - start
        status = Status(heard / rate, float(np.median(delays)) if delays else 0.0,
                        float(np.percentile(delays, 99.9)) if delays else 0.0, max(delays, default=0.0),
                        args.dropped, (time.process_time() - cpu_start) / wall if wall else 0.0)
        return Snapshot(heard / rate, levels.astype(np.float32), peak, tuple(tracker.sounding), tuple(ended), status)

    def show(chunk: np.ndarray, heard: int) -> None:
        shot = snapshot(chunk, heard)
        began = time.perf_counter()
        view.show(shot)
        costs.append(time.perf_counter() - began)

    try:
        view.open(setup)
        heard = 0
        while heard < len(samples):
            due = min(len(samples), int((time.monotonic() - start) * args.speed * rate) // BLOCK * BLOCK)
            show(samples[heard:due], due)
            heard = max(heard, due)
            time.sleep(TICK)
        if args.then == "fail":
            raise RuntimeError("the audio source failed")
        while args.then == "hold":
            show(np.zeros(0, np.float32), heard)
            time.sleep(TICK)
    except KeyboardInterrupt:
        pass
    finally:
        view.close()
        print("closed")
        if costs:
            ms = np.array(costs) * 1e3
            print(f"show: {len(ms)} calls, median {np.median(ms):.2f} ms, p99 {np.percentile(ms, 99):.2f} ms, "
                  f"max {ms.max():.2f} ms; analysis per block: median {np.median(delays) * 1e3:.2f} ms", flush=True)


if __name__ == "__main__":
    main()
