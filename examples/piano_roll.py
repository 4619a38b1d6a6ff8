"""Which piano keys sound? A recording (or the built-in demo) through one channel per key.

Run:  python examples/piano_roll.py [recording.wav] [--png piano_roll.png]
Needs the tools extra: pip install ".[tools]"
"""

import argparse

from marlune_tools import demo
from marlune_tools.analysis import analyse, analyse_file
from marlune_tools.picture import save_png
from marlune_tools.settings import Settings

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("recording", nargs="?", help="any audio file soundfile reads (default: the demo)")
parser.add_argument("--png", default="piano_roll.png", help="where to write the picture")
args = parser.parse_args()

settings = Settings()  # the 88 keys, a frame every 10 ms, each key's time constant ten of its periods
if args.recording:
    spectrogram = analyse_file(args.recording, settings)  # read block by block, mixed to mono
else:
    spectrogram = analyse([demo.signal()], demo.SAMPLE_RATE, settings)
for segment in spectrogram.sounding(window=0.25):
    print(f"{segment.start:5.2f} s  {' '.join(segment.notes)}")
save_png(spectrogram, args.png, "piano roll")
print(f"wrote {args.png}")
