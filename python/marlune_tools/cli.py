"""The console script `marlune`.

marlune spectrogram [FILE|FOLDER ...] [--png P] [--npz P] [--out DIR] [--notes A0:C8]
                    [--bins-per-semitone K] [--hop-ms MS] [--tau-ms MS] [--tuning HZ]
                    [--threshold-db DB] [--overlay] [--scheduler ADDRESS] [--keep-going]

Bad input ends the command with one line on standard error and status 2 before anything is
written; outputs are written to a temporary name and renamed, so an interrupted or failed run
leaves no half-written file, and a folder made for the outputs is removed again if it stays empty.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import signal
import sys
from collections.abc import Sequence
from contextlib import nullcontext
from typing import NoReturn

import numpy as np

from marlune_tools import audio, corpus, demo, notes_command
from marlune_tools.analysis import analyse, check_file
from marlune_tools.corpus import printable
from marlune_tools.errors import INTERRUPTED, FileError, os_cause
from marlune_tools.live import command as live
from marlune_tools.notes import Scale, note_name, note_range
from marlune_tools.output import check_target
from marlune_tools.settings import PERIODS, Settings, shorter_than_a_sample
from marlune_tools.transcribe import MAX_THRESHOLD_DB, NoteEvent

USAGE_ERROR = 2
SKIPPED = 1
# The optional packages behind `pip install "marlune[tools]"`, by the name they import as.
EXTRA = {"soundfile", "matplotlib", "tqdm", "dask", "distributed", "mido", "sounddevice"}
# More channels than this are refused: the picture would have more rows than pixels, and the
# frames take 8 bytes per channel and frame (about 3 GB per hour at the default hop).
MAX_CHANNELS = 1024
# Time constants and hops: from one sample to one hour.
MAX_MS = 3_600_000.0
MAX_NOTE_LINES = 200  # longer lists of notes are printed in the compact form
DEMO = "synthesised demo: a melody over a held chord, then a glide"

EXAMPLES = f"""\
examples:
  marlune spectrogram                         analyse a few seconds made up on the spot
  marlune spectrogram take1.wav               write take1.npz and take1.png here
  marlune spectrogram take1.flac --png a.png  the picture to a.png, the frames to a.npz
  marlune spectrogram recordings/ --out out/  every audio file in the folder, on all cores
  marlune spectrogram --overlay take1.wav     the detected notes outlined on the picture
  marlune spectrogram --notes C2:C6 --bins-per-semitone 3 take1.wav

Each input gives an .npz file (frames: complex64 (frames, channels); frequencies: Hz;
notes: names; sample_rate: Hz; hop: samples) and a PNG picture, and the notes played
are printed, one line each (onset, offset, name; past {MAX_NOTE_LINES} notes, one line per
stretch of time with the notes that start in it). The notes come from the note tracker of
`marlune notes`, within the --notes range; its thresholds follow the recording's own level,
and --threshold-db moves them. Levels are in dB relative to a full-scale sine. Inputs that
share a name but not a suffix (take.wav, take.flac) give take.wav.npz and take.flac.npz.

At most {MAX_CHANNELS} channels. Channels at or above a file's Nyquist frequency (half its
sample rate) are left out for that file, with a warning. Status: 0 done, 1 files skipped
(--keep-going) or a worker lost, 2 bad input or option (nothing written), 130 interrupted.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the whole usage: the usage is one --help away.
        self.exit(USAGE_ERROR, f"{self.prog}: {printable(message)} (see --help)\n")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("marlune")
    except PackageNotFoundError:
        return "unknown (not installed)"


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="marlune", description="Frequency analysis with a resonator bank.")
    parser.add_argument("--version", action="version", version=f"marlune {_version()}")
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
    spectrogram.add_argument(
        "--out", metavar="DIR", help="folder for the outputs (default: the current one; not with --png/--npz)"
    )
    spectrogram.add_argument("--notes", metavar="LOW:HIGH", default="A0:C8", help="note range (default: A0:C8)")
    spectrogram.add_argument(
        "--bins-per-semitone", metavar="K", type=int, default=1, help="channels per semitone (default: 1)"
    )
    spectrogram.add_argument(
        "--hop-ms", metavar="MS", type=float, default=10.0, help="time between frames, one sample to one hour (default: 10)"
    )
    spectrogram.add_argument(
        "--tau-ms",
        metavar="MS",
        type=float,
        help=f"one time constant for all channels, one sample to one hour (default: {PERIODS:g} periods of each "
        "channel's frequency times K, which separates neighbouring channels at every octave)",
    )
    spectrogram.add_argument("--tuning", metavar="HZ", type=float, default=440.0, help="frequency of A4 (default: 440)")
    spectrogram.add_argument(
        "--threshold-db",
        metavar="DB",
        type=float,
        default=0.0,
        help="raise (positive: fewer notes) or lower the note tracker's level thresholds by DB, at most "
        f"{MAX_THRESHOLD_DB:g}; they follow the recording's own level, as in `marlune notes` (default: 0)",
    )
    spectrogram.add_argument(
        "--overlay", action="store_true", help="outline the detected notes on the picture"
    )
    spectrogram.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help=f"Dask scheduler to run on, given up after {corpus.CONNECT_SECONDS:g} s without an answer "
        "(default: processes on this machine)",
    )
    spectrogram.add_argument(
        "--keep-going", action="store_true", help="skip files that cannot be analysed, list them and exit with status 1"
    )
    notes_command.add_parser(commands)
    live.add_parser(commands)
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
        if args.command == "live":
            return _live(args)
        return _notes(args) if args.command == "notes" else _spectrogram(args)
    except (_Bad, FileError, corpus.SchedulerError) as exc:
        _say(str(exc))
    except corpus.WorkerLost as exc:
        _say(str(exc))
        return 1
    except ModuleNotFoundError as exc:
        if (exc.name or "").partition(".")[0] not in EXTRA:
            raise
        _say(f'{exc.name} is missing; install the tools: pip install "marlune[tools]"')
    except KeyboardInterrupt:
        _say("interrupted")
        return INTERRUPTED
    except BrokenPipeError:
        # The reader of the report went away (`| head`); the outputs are written already.
        # Standard output now points nowhere, so that closing it at exit is quiet too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return USAGE_ERROR


def _say(message: str) -> None:
    print(f"marlune: {printable(message)}", file=sys.stderr)


def _settings(args: argparse.Namespace) -> Settings:
    for option, value in [("--hop-ms", args.hop_ms), ("--tau-ms", args.tau_ms)]:
        if value is not None and not 0 < value <= MAX_MS:
            raise _Bad(f"{option} {value:g} is not a time from one sample to one hour ({MAX_MS:.0f} ms)")
    if not abs(args.threshold_db) <= MAX_THRESHOLD_DB:
        raise _Bad(f"--threshold-db {args.threshold_db:g} is not a number of dB "
                   f"from -{MAX_THRESHOLD_DB:g} to {MAX_THRESHOLD_DB:g}")
    try:
        low, high = note_range(args.notes)
        count = (high - low) * args.bins_per_semitone + 1
        if args.bins_per_semitone >= 1 and count > MAX_CHANNELS:
            raise _Bad(f"--notes {args.notes} with --bins-per-semitone {args.bins_per_semitone} gives {count} "
                       f"channels; at most {MAX_CHANNELS}")
        settings = Settings(Scale(low, high, args.bins_per_semitone, args.tuning), args.hop_ms, args.tau_ms,
                            args.threshold_db)
    except ValueError as exc:
        raise _Bad(str(exc)) from None
    freqs = settings.scale.frequencies
    bad = ~(np.isfinite(freqs) & (freqs > 0))
    if bad.any():
        number = float(settings.scale.numbers[np.flatnonzero(bad)[0]])
        raise _Bad(f"--notes {args.notes} at --tuning {args.tuning:g} puts {note_name(number)} at "
                   f"{float(freqs[bad][0])} Hz; every channel needs a finite frequency above 0 Hz")
    longest = float(settings.taus().max())
    if not longest * 1000.0 <= MAX_MS:
        raise _Bad(f"the channels' time constants reach {longest:.3g} s; at most one hour (give --tau-ms, or raise --tuning)")
    return settings


def _shorter_than_a_sample(settings: Settings, rate: float) -> str:
    """The line that refuses the hop or a time constant shorter than one sample at `rate`, or ""."""
    return shorter_than_a_sample(rate, [("--hop-ms", settings.hop_ms), ("--tau-ms", settings.tau_ms)])


def _fit(settings: Settings, path: str, rate: float) -> Settings:
    """The settings for a file at `rate`: channels at or above its Nyquist frequency left out, with
    a warning; a `FileError` if none is left or the hop or a time constant is shorter than one
    sample."""
    scale = settings.scale
    nyquist = rate / 2.0
    below = int(np.count_nonzero(scale.frequencies < nyquist))
    if below == 0:
        raise FileError(path, f"every channel is at or above the Nyquist frequency of this {rate:g} Hz file "
                              f"({nyquist:g} Hz); choose lower --notes")
    short = _shorter_than_a_sample(settings, rate)
    if short:
        raise FileError(path, short)
    if below == len(scale):
        return settings
    high = math.floor(float(scale.numbers[below - 1]))
    kept = dataclasses.replace(settings, scale=dataclasses.replace(scale, high=high))
    if high < scale.low:
        raise FileError(path, f"no whole note of --notes is below the Nyquist frequency of this {rate:g} Hz file "
                              f"({nyquist:g} Hz); choose lower --notes")
    _say(f"warning: {path}: {len(scale) - len(kept.scale)} channel(s) above {note_name(high)} are at or above "
         f"the Nyquist frequency ({nyquist:g} Hz) and are left out")
    return kept


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
    # A file named twice (or through a folder and by name) is analysed once, under its first name.
    seen: set[str] = set()
    unique = []
    for path in files:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            unique.append(path)
    return unique


def _stems(files: Sequence[str]) -> list[str]:
    """Output names without suffix: the file name's stem, or the whole name where stems clash."""
    stems = [os.path.splitext(os.path.basename(path))[0] for path in files]
    clashing = {stem for stem in stems if stems.count(stem) > 1}
    return [os.path.basename(path) if stem in clashing else stem for path, stem in zip(files, stems)]


def _outputs(args: argparse.Namespace, stems: Sequence[str]) -> list[tuple[str, str]]:
    """(npz, png) for each input: --npz and --png for a single one, else STEM.npz/.png in --out."""
    if args.png or args.npz:
        if args.out is not None:
            raise _Bad("--out cannot go with --png or --npz, which name the files themselves")
        if len(stems) > 1:
            raise _Bad("--png and --npz name the outputs of one input; for several, use --out DIR")
        npz = args.npz or os.path.splitext(args.png)[0] + ".npz"
        png = args.png or os.path.splitext(args.npz)[0] + ".png"
        return [(npz, png)]
    if args.out == "":
        raise _Bad("--out is empty; give a folder")
    folder = args.out or os.curdir
    outputs = [(os.path.join(folder, f"{stem}.npz"), os.path.join(folder, f"{stem}.png")) for stem in stems]
    seen: set[str] = set()
    for npz, _ in outputs:
        if npz in seen:
            raise _Bad(f"two inputs have the same name and would both write {npz}; rename one")
        seen.add(npz)
    return outputs


def _check_outputs(outputs: Sequence[tuple[str, str]], files: Sequence[str]) -> None:
    inputs = {os.path.realpath(path) for path in files}
    for npz, png in outputs:
        if check_target(npz) == check_target(png):
            raise _Bad(f"the frames ({npz}) and the picture ({png}) would be the same file")
        for path in (npz, png):
            if os.path.realpath(path) in inputs:
                raise _Bad(f"{path} is an input; it would be overwritten")


def _make_folders(outputs: Sequence[tuple[str, str]]) -> list[str]:
    """Makes the outputs' folders; returns those it made, deepest first."""
    made: list[str] = []
    for folder in sorted({os.path.dirname(os.path.abspath(path)) for pair in outputs for path in pair}):
        missing = []
        parent = folder
        while not os.path.lexists(parent):
            missing.append(parent)
            parent = os.path.dirname(parent)
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            _remove_empty(made + missing)
            raise FileError(folder, f"cannot make the folder ({os_cause(exc)})") from None
        made = missing + made
    return sorted(made, key=len, reverse=True)


def _remove_empty(folders: Sequence[str]) -> None:
    for folder in sorted(folders, key=len, reverse=True):
        try:
            os.rmdir(folder)
        except OSError:
            pass  # not empty (something else was put there), or gone already


def _spectrogram(args: argparse.Namespace) -> int:
    settings = _settings(args)
    if args.scheduler is not None and not args.scheduler.strip():
        raise _Bad("--scheduler is empty; give an address such as tcp://host:8786")
    # Fail on a missing extra now, before any work, not halfway.
    import matplotlib  # noqa: F401
    import soundfile  # noqa: F401

    if args.scheduler:
        import distributed  # noqa: F401
    skipped: list[FileError] = []
    jobs = _jobs(args, settings, skipped)
    if not jobs:
        for error in skipped:
            _say(f"skipped {error}")
        return SKIPPED
    outputs = [(job.npz or "", job.png or "") for job in jobs]
    _check_outputs(outputs, [job.path for job in jobs])
    # Connected before any folder is made: a bad scheduler is a bad option.
    with corpus.connect(args.scheduler) if args.scheduler else nullcontext() as client:
        made = _make_folders(outputs)
        try:
            summaries = _run(args, jobs, client, skipped)
        except BaseException:
            _remove_empty(made)
            raise
        _remove_empty(made)
    _report(summaries)
    for error in skipped:
        _say(f"skipped {error}")
    return SKIPPED if skipped else 0


def _jobs(args: argparse.Namespace, settings: Settings, skipped: list[FileError]) -> list[corpus.Job]:
    """One job per input that can be analysed; with --keep-going the others go to `skipped`.

    Every input is checked here, before anything is written, so one bad file costs no output.
    """
    files = _inputs(args.inputs)
    if not files:
        if (settings.scale.frequencies >= demo.SAMPLE_RATE / 2).any():
            raise _Bad(f"--notes {args.notes} reaches the Nyquist frequency of the demo ({demo.SAMPLE_RATE / 2:g} Hz)")
        short = _shorter_than_a_sample(settings, demo.SAMPLE_RATE)
        if short:
            raise _Bad(f"the demo: {short}")
        npz, png = _outputs(args, ["marlune-demo"])[0]
        return [corpus.Job(DEMO, npz, png, settings, overlay=args.overlay)]
    accepted: list[tuple[str, Settings]] = []
    for path in files:
        try:
            found = check_file(path, settings)
            fitted = _fit(settings, path, found.sample_rate)
            audio.scan(path)
        except FileError as exc:
            if not args.keep_going:
                raise
            skipped.append(exc)
            continue
        accepted.append((path, fitted))
    if not accepted:
        return []
    outputs = _outputs(args, _stems([path for path, _ in accepted]))
    return [corpus.Job(path, npz, png, fitted, overlay=args.overlay)
            for (path, fitted), (npz, png) in zip(accepted, outputs)]


def _run(args: argparse.Namespace, jobs: list[corpus.Job], client: object, skipped: list[FileError]) -> list[corpus.Summary]:
    terminal = sys.stderr.isatty()
    if not args.inputs:
        spectrogram = analyse([demo.signal(demo.SAMPLE_RATE, args.tuning)], demo.SAMPLE_RATE, jobs[0].settings)
        return [corpus.deliver(spectrogram, jobs[0])]
    keep = skipped if args.keep_going else None
    if len(jobs) == 1 and client is None:
        try:
            return [corpus.run(jobs[0], progress=terminal)]
        except FileError as exc:
            if keep is None:
                raise
            keep.append(exc)
            return []
    summaries = corpus.run_all(jobs, scheduler=client, skipped=keep)
    if terminal:
        from tqdm import tqdm

        summaries = iter(tqdm(summaries, total=len(jobs), unit="file", file=sys.stderr, leave=False))
    # The workers had absolute paths; the report shows the names as given.
    order = {os.path.abspath(job.path): i for i, job in enumerate(jobs)}
    ranked = sorted(summaries, key=lambda summary: order[summary.job.path])
    return [dataclasses.replace(summary, job=jobs[order[summary.job.path]]) for summary in ranked]


def _notes(args: argparse.Namespace) -> int:
    try:
        return notes_command.run(args, _inputs, _make_folders)
    except notes_command.Refused as exc:
        raise _Bad(str(exc)) from None


def _live(args: argparse.Namespace) -> int:
    try:
        return live.run(args, _settings)
    except notes_command.Refused as exc:
        raise _Bad(str(exc)) from None


def _report(summaries: Sequence[corpus.Summary]) -> None:
    for summary in summaries:
        job = summary.job
        print(printable(
            f"{job.path}: {summary.seconds:.2f} s, {summary.frames} frames x {summary.channels} channels"
            f" -> {job.npz}, {job.png}"
        ))
        for line in note_lines(summary.notes) or ["no notes"]:
            print(f"  {line}")


def note_lines(events: Sequence[NoteEvent]) -> list[str]:
    """One line per note (onset, offset, name) up to `MAX_NOTE_LINES` notes; beyond, one line per
    stretch of time with the notes that start in it, so a long file's report stays short."""
    if len(events) <= MAX_NOTE_LINES:
        return [f"{e.onset:7.2f} - {e.offset:7.2f} s  {e.name}" for e in events]
    end = max(e.offset for e in events)
    window = max(1.0, math.ceil(end / MAX_NOTE_LINES))
    starting: dict[int, list[str]] = {}
    for e in events:
        starting.setdefault(int(e.onset // window), []).append(e.name)
    return [f"{i * window:7.0f} - {(i + 1) * window:7.0f} s  {' '.join(names)}" for i, names in starting.items()]


if __name__ == "__main__":
    sys.exit(main())
