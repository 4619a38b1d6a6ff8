"""Which piano keys are played? A recording (or the built-in demo) as notes, outlined on its spectrogram.

Run:  python examples/piano_roll.py [recording.wav] [--png piano_roll.png] [--notes A2:A6]
Needs the tools extra: pip install ".[tools]"
The README's picture of the notes is `python examples/piano_roll.py --png docs/overlay.png`.
"""

import argparse

from marlune_tools import demo
from marlune_tools.analysis import analyse, analyse_file
from marlune_tools.notes import Scale, note_range
from marlune_tools.picture import save_png
from marlune_tools.settings import Settings
from marlune_tools.transcribe import boxes

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("recording", nargs="?", help="any audio file soundfile reads (default: the demo)")
parser.add_argument("--png", default="piano_roll.png", help="where to write the picture")
parser.add_argument("--notes", default="A2:A6", help="the picture's range of notes, and of the notes listed")
args = parser.parse_args()

# One channel per key of the range, a frame every 10 ms, each key's time constant ten of its
# periods; the notes are tracked on a second bank fed the same blocks.
settings = Settings(Scale(*note_range(args.notes)))
if args.recording:
    spectrogram = analyse_file(args.recording, settings)  # read block by block, mixed to mono
else:
    spectrogram = analyse([demo.signal()], demo.SAMPLE_RATE, settings)
events = spectrogram.events or ()
for event in events:
    print(f"{event.onset:5.2f} - {event.offset:5.2f} s  {event.name:<4} velocity {event.velocity}")
save_png(spectrogram, args.png, f"{args.recording or 'the synthesised demo'}: the notes found, outlined", boxes(events))
print(f"wrote {args.png}")
