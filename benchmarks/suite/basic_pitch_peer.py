"""basic-pitch's notes for audio files, run in an interpreter where basic-pitch installs.

    python basic_pitch_peer.py a.wav b.wav ...

Prints one line of JSON: for each file's stem, the notes' intervals (s), MIDI pitches and the
seconds that `predict` took. The model is loaded and run once on the first file before timing,
so that the figures are the work per file, not TensorFlow's start-up.
"""

import contextlib
import io
import json
import sys
import time
from pathlib import Path


def main(paths):
    with contextlib.redirect_stdout(io.StringIO()):
        from basic_pitch import ICASSP_2022_MODEL_PATH
        from basic_pitch.inference import Model, predict

        model = Model(ICASSP_2022_MODEL_PATH)
        predict(paths[0], model)
    out = {}
    for path in paths:
        with contextlib.redirect_stdout(io.StringIO()):
            start = time.perf_counter()
            _, _, events = predict(path, model)
            elapsed = time.perf_counter() - start
        # Each event: (start s, end s, MIDI pitch, amplitude, pitch bends).
        out[Path(path).stem] = {"intervals": [[float(e[0]), float(e[1])] for e in events],
                                "pitches": [int(e[2]) for e in events], "time": elapsed}
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
