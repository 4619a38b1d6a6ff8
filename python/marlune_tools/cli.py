"""The console script `marlune`.

marlune spectrogram [FILE|FOLDER ...] [--png P] [--npz P] [--out DIR] [--notes A0:C8]
                    [--bins-per-semitone K] [--hop-ms MS] [--tau-ms MS] [--tuning HZ]
                    [--scheduler ADDRESS]

Bad input ends the command with one line on standard error and status 2; outputs are written to
a temporary name and renamed, so an interrupted or failed run leaves no half-written file.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Sequence
from typing import NoReturn

from marlune_tools import audio, corpus, demo, notes_command
from marlune_tools.analysis import analyse, check_file
from marlune_tools.errors import FileError
from marlune_tools.notes import Scale, note_range
from marlune_tools.settings import PERIODS, Settings

USAGE_ERROR = 2
INTERRUPTED = 130
# The optional packages behind `pip install "marlune[tools]"`, by the name they import as.
EXTRA = {"soundfile", "matplotlib", "tqdm", "dask", "distributed", "mido"}

EXAMPLES = """\
examples:
  marlune spectrogram                         analyse a few seconds made up on the spot
  marlune spectrogram take1.wav               write take1.npz and take1.png here
  marlune spectrogram take1.flac --png a.png  the picture to a.png, the frames to a.npz
  marlune spectrogram recordings/ --out out/  every audio file in the folder, on all cores
  marlune spectrogram --notes C2:C6 --bins-per-semitone 3 take1.wav

Each input gives an .npz file (frames: complex64 (frames, channels); frequencies: Hz;
notes: names; sample_rate: Hz; hop: samples) and a PNG picture, and the notes that sound
are printed. Levels are in dB relative to a full-scale sine.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the whole usage: the usage is one --help away.
        self.exit(USAGE_ERROR, f"{self.prog}: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="marlune", description="Frequency analysis with a resonator bank.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    spectrogram = commands.add_parser(
        "spectrogram",
        help="spectrograms of audio files, as .npz files and pictures",
        description="Spectrograms of audio files, on a scale of notes, as .npz files and PNG pictures. "
        "With no input, a few seconds synthesised here: a melody over a held chord, then a glide.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    spectrogram.add_argument("inputs", nargs="*", metavar="FILE|FOLDER", help="audio files, or folders of them")
    spectrogram.add_argument("--png", metavar="P", help="picture file (one input; default: beside the .npz)")
    spectrogram.add_argument("--npz", metavar="P", help="frames file (one input; default: beside the picture)")
    spectrogram.add_argument("--out", metavar="DIR", help="folder for the outputs (default: the current one)")
    spectrogram.add_argument("--notes", metavar="LOW:HIGH", default="A0:C8", help="note range (default: A0:C8)")
    spectrogram.add_argument(
        "--bins-per-semitone", metavar="K", type=int, default=1, help="channels per semitone (default: 1)"
    )
    spectrogram.add_argument("--hop-ms", metavar="MS", type=float, default=10.0, help="time between frames (default: 10)")
    spectrogram.add_argument(
        "--tau-ms",
        metavar="MS",
        type=float,
        help=f"one time constant for all channels (default: {PERIODS:g} periods of each channel's frequency "
        "times K, which separates neighbouring channels at every octave)",
    )
    spectrogram.add_argument("--tuning", metavar="HZ", type=float, default=440.0, help="frequency of A4 (default: 440)")
    spectrogram.add_argument(
        "--scheduler", metavar="ADDRESS", help="Dask scheduler to run on (default: processes on this machine)"
    )
    notes_command.add_parser(commands)
    return parser


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


class _Bad(Exception):
    """Input the command refuses; the message is the one line it prints."""


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    # A polite kill (SIGTERM) is handled like Ctrl-C: outputs in progress are removed.
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        return _notes(args) if args.command == "notes" else _spectrogram(args)
    except (_Bad, FileError) as exc:
        print(f"marlune: {exc}", file=sys.stderr)
    except corpus.WorkerLost as exc:
        print(f"marlune: {exc}", file=sys.stderr)
        return 1
    except ModuleNotFoundError as exc:
        if (exc.name or "").partition(".")[0] not in EXTRA:
            raise
        print(f'marlune: {exc.name} is missing; install the tools: pip install "marlune[tools]"', file=sys.stderr)
    except KeyboardInterrupt:
        print("marlune: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader of the report went away (`| head`); the outputs are written already.
        # Standard output now points nowhere, so that closing it at exit is quiet too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return USAGE_ERROR


def _settings(args: argparse.Namespace) -> Settings:
    try:
        low, high = note_range(args.notes)
        return Settings(Scale(low, high, args.bins_per_semitone, args.tuning), args.hop_ms, args.tau_ms)
    except ValueError as exc:
        raise _Bad(str(exc)) from None


def _inputs(names: Sequence[str]) -> list[str]:
    files: list[str] = []
    for name in names:
        if os.path.isdir(name):
            found = audio.find_audio(name)
            if not found:
                raise FileError(name, "no audio files in this folder")
            files.extend(found)
        else:
            files.append(name)
    return files


def _outputs(args: argparse.Namespace, stems: Sequence[str]) -> list[tuple[str, str]]:
    """(npz, png) for each input: --npz and --png for a single one, else STEM.npz/.png in --out."""
    if (args.png or args.npz) and len(stems) > 1:
        raise _Bad("--png and --npz name the outputs of one input; for several, use --out DIR")
    if args.png or args.npz:
        npz = args.npz or os.path.splitext(args.png)[0] + ".npz"
        png = args.png or os.path.splitext(args.npz)[0] + ".png"
        if os.path.abspath(npz) == os.path.abspath(png):
            raise _Bad("--png and --npz name the same file")
        return [(npz, png)]
    folder = args.out or os.curdir
    outputs = [(os.path.join(folder, f"{stem}.npz"), os.path.join(folder, f"{stem}.png")) for stem in stems]
    seen: dict[str, str] = {}
    for stem, (npz, _) in zip(stems, outputs):
        if npz in seen:
            raise _Bad(f"two inputs would both write {npz}; give them different names")
        seen[npz] = stem
    return outputs


def _make_folders(outputs: Sequence[tuple[str, str]]) -> None:
    for folder in {os.path.dirname(path) or os.curdir for pair in outputs for path in pair}:
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            raise FileError(folder, f"cannot make the folder ({(exc.strerror or str(exc)).lower()})") from None


def _spectrogram(args: argparse.Namespace) -> int:
    settings = _settings(args)
    # Fail on a missing extra now, before any work, not halfway.
    import matplotlib  # noqa: F401
    import soundfile  # noqa: F401

    if args.scheduler:
        import distributed  # noqa: F401
    files = _inputs(args.inputs)
    stems = [os.path.splitext(os.path.basename(path))[0] for path in files] or ["marlune-demo"]
    outputs = _outputs(args, stems)
    inputs = {os.path.realpath(path) for path in files}
    for path in (path for pair in outputs for path in pair):
        if os.path.realpath(path) in inputs:
            raise _Bad(f"{path} is an input; it would be overwritten")
        if os.path.isdir(path):
            raise FileError(path, "is a folder; give a file name")
    terminal = sys.stderr.isatty()

    if not files:
        _make_folders(outputs)
        spectrogram = analyse([demo.signal(demo.SAMPLE_RATE, args.tuning)], demo.SAMPLE_RATE, settings)
        npz, png = outputs[0]
        job = corpus.Job("synthesised demo: a melody over a held chord, then a glide", npz, png, settings)
        _report([corpus.deliver(spectrogram, job)])
        return 0

    # Every input is checked before anything is written, so one bad file costs no output.
    for path in files:
        check_file(path, settings)
    _make_folders(outputs)
    jobs = [corpus.Job(path, npz, png, settings) for path, (npz, png) in zip(files, outputs)]
    if len(jobs) == 1 and not args.scheduler:
        _report([corpus.run(jobs[0], progress=terminal)])
        return 0
    summaries = corpus.run_all(jobs, scheduler=args.scheduler)
    if terminal:
        from tqdm import tqdm

        summaries = iter(tqdm(summaries, total=len(jobs), unit="file", file=sys.stderr, leave=False))
    order = {job.path: i for i, job in enumerate(jobs)}
    _report(sorted(summaries, key=lambda summary: order[summary.job.path]))
    return 0


def _notes(args: argparse.Namespace) -> int:
    try:
        return notes_command.run(args, _inputs, _make_folders)
    except notes_command.Refused as exc:
        raise _Bad(str(exc)) from None


def _report(summaries: Sequence[corpus.Summary]) -> None:
    for summary in summaries:
        job = summary.job
        print(
            f"{job.path}: {summary.seconds:.2f} s, {summary.frames} frames x {summary.channels} channels"
            f" -> {job.npz}, {job.png}"
        )
        for segment in summary.sounding:
            print(f"  {segment.start:6.2f} - {segment.end:6.2f} s  {' '.join(segment.notes) or '-'}")


if __name__ == "__main__":
    sys.exit(main())
