"""The live view in a browser, photographed: a rendered piano piece replayed at its own pace into a
`WebView`, opened in headless Chromium, and the page saved as a PNG.

Run:  python examples/live_web_screenshot.py [--png live-web.png] [--at 6.75]
Needs the tools extra (pip install ".[tools]"), fluidsynth with its General MIDI soundfont and
chromium (Debian packages fluidsynth, fluid-soundfont-gm, chromium).
The README's picture is `python examples/live_web_screenshot.py --png docs/live-web.png`.

The replay does what the analysis thread of `marlune live` does, in one loop: every 40 ms of
audio it feeds the bank and the note tracker and hands the view a snapshot; the delays on the
status line are this loop's own.
"""

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import renders  # noqa: E402
from browser import Browser  # noqa: E402

from marlune_tools.live.snapshot import Setup, Snapshot, Status  # noqa: E402
from marlune_tools.live.web import WebView  # noqa: E402
from marlune_tools.notes import piano_keys  # noqa: E402
from marlune_tools.stream import FrameStream  # noqa: E402
from marlune_tools.transcribe import FULL_SCALE, NoteTracker, bank_for  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--png", default="live-web.png", help="where to write the picture")
parser.add_argument("--at", type=float, default=6.75, help="the second of the piece at which it is taken")
args = parser.parse_args()

rate, hop, per = renders.SAMPLE_RATE, 441, 4  # a frame every 10 ms, a snapshot every 4 frames
samples = renders.render(renders.chords_and_melody("triads-melody", seed=7))
scale = piano_keys()
bank = bank_for(scale.numbers, rate)
stream = FrameStream(bank, hop)
tracker = NoteTracker(scale.numbers, rate, hop)
setup = Setup("triads and a melody, rendered with fluidsynth (replayed)", float(rate), per * hop, hop,
              scale.numbers, scale.frequencies, 0.0, tracker.delay_frames)

view = WebView(0)
view.open(setup)
browser = Browser()
try:
    tab = browser.tab(view.url)
    tab.resize(1280, 640)
    tab.wait_for("document.body.dataset.state === 'connected'")
    delays: list[float] = []
    start, cpu = time.monotonic(), time.process_time()
    block = per * hop
    for index in range(min(len(samples), int(args.at * rate)) // block):
        due = start + (index + 1) * block / rate  # when the block would have arrived from a device
        time.sleep(max(0.0, due - time.monotonic()))
        arrived = time.monotonic()
        chunk = samples[index * block:(index + 1) * block]
        frames = stream.push(chunk)
        ended = tracker.push(frames)
        delays.append(time.monotonic() - arrived)
        with np.errstate(divide="ignore"):
            levels = (20 * np.log10(np.abs(frames) / FULL_SCALE)).astype(np.float32)
        peak = float(np.abs(chunk).max())
        heard = (index + 1) * block / rate
        status = Status(heard, float(np.median(delays)), float(np.quantile(delays, 0.999)), max(delays), 0,
                        (time.process_time() - cpu) / (time.monotonic() - start))
        view.show(Snapshot(heard, levels, 20 * math.log10(peak) if peak > 0 else -math.inf,
                           tuple(tracker.sounding), tuple(ended), status))
    time.sleep(0.5)  # the last paint
    tab.screenshot(args.png)
    names = tab.evaluate("document.getElementById('now').dataset.notes")
    print(f"wrote {args.png}: {names or 'no notes'} sounding, {view.lost} frames lost on the way")
finally:
    browser.close()
    view.close()
