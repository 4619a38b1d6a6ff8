"""The command `marlune notes`: which notes are played, as a MIDI file, a CSV file and a listing.

marlune notes [FILE|FOLDER ...] [--midi P] [--csv P] [--out DIR] [--threshold-db DB]
              [--range LOW:HIGH] [--hop-ms MS] [--scheduler ADDRESS] [--keep-going]
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import io
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from contextlib import ExitStack, nullcontext
from dataclasses import dataclass
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from marlune_tools import audio, corpus, demo
from marlune_tools.errors import FileError
from marlune_tools.notes import PIANO_HIGH, PIANO_LOW, note_range
from marlune_tools.output import replacing
from marlune_tools.settings import shorter_than_a_sample
from marlune_tools.stream import FrameStream
from marlune_tools.transcribe import BLOCK_FRAMES, MAX_THRESHOLD_DB, NoteEvent, NoteTracker, bank_for

CSV_HEADER = ("onset_s", "offset_s", "pitch_midi", "note", "velocity")
SKIPPED = 1  # the exit status when --keep-going left files out
MAX_HOP_MS = 50.0  # onsets are placed to the frame; a coarser grid would miss the usual 50 ms tolerance
TICKS_PER_BEAT = 480
TEMPO = 500_000  # microseconds per beat (120 beats a minute): a tick is 1/960 s

EXAMPLES = """\
examples:
  marlune notes                          the notes of a few seconds made up on the spot
  marlune notes take1.wav                write take1.mid and take1.csv here
  marlune notes take1.flac --csv a.csv   the listing to a.csv, the MIDI file to a.mid
  marlune notes recordings/ --out out/   every audio file in the folder, one per core
  marlune notes recordings/ --scheduler tcp://host:8786 --keep-going
  marlune notes --range C2:C7 --threshold-db 6 take1.wav

Each input gives a Standard MIDI File and a CSV file with the header
onset_s,offset_s,pitch_midi,note,velocity (one row per note, in onset order), and the notes
are printed. Thresholds follow the recording's own level, so quiet recordings work as loud
ones; --threshold-db moves them up (fewer notes) or down (more).
"""


def add_parser(commands: Any) -> None:
    """Adds the command to the subcommands of the `marlune` parser."""
    parser = commands.add_parser(
        "notes",
        help="the notes played in audio files, as MIDI and CSV files",
        description="The notes played in audio files: onset, offset, pitch and velocity of each, "
        "as a Standard MIDI File and a CSV file. With no input, a few seconds synthesised here: "
        "a melody over a held chord, then a glide.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("inputs", nargs="*", metavar="FILE|FOLDER", help="audio files, or folders of them")
    parser.add_argument("--midi", metavar="P", help="MIDI file (one input; default: beside the CSV file)")
    parser.add_argument("--csv", metavar="P", help="CSV file (one input; default: beside the MIDI file)")
    parser.add_argument("--out", metavar="DIR", help="folder for the outputs (default: the current one)")
    parser.add_argument(
        "--threshold-db", metavar="DB", type=float, default=0.0,
        help="raise (positive) or lower every level threshold by DB (default: 0)",
    )
    parser.add_argument("--range", metavar="LOW:HIGH", default="A0:C8", help="notes to report (default: A0:C8)")
    parser.add_argument("--hop-ms", metavar="MS", type=float, default=10.0, help="time between frames (default: 10)")
    parser.add_argument(
        "--scheduler", metavar="ADDRESS",
        help=f"Dask scheduler to run on, given up after {corpus.CONNECT_SECONDS:g} s without an answer "
        "(default: processes on this machine); the workers must see the files at the same paths",
    )
    parser.add_argument(
        "--keep-going", action="store_true", help="skip files that cannot be transcribed, list them and exit with status 1"
    )


@dataclass(frozen=True)
class Options:
    threshold_db: float = 0.0
    pitches: tuple[int, int] = (PIANO_LOW, PIANO_HIGH)
    hop_ms: float = 10.0

    def hop(self, sample_rate: float) -> int:
        return max(1, round(sample_rate * self.hop_ms / 1000.0))


@dataclass(frozen=True)
class Result:
    path: str
    seconds: float
    events: tuple[NoteEvent, ...]
    midi: str
    csv: str


@dataclass(frozen=True)
class Job:
    """One file to transcribe, as `corpus.run_all` runs it on any process or machine."""

    path: str
    midi: str
    csv: str
    opts: Options = Options()

    def outputs(self) -> list[str]:
        return [self.midi, self.csv]

    def absolute(self) -> Job:
        return Job(os.path.abspath(self.path), os.path.abspath(self.midi), os.path.abspath(self.csv), self.opts)

    def run(self, stop: Callable[[], bool] | None = None) -> Result:
        return run_file(self.path, self.midi, self.csv, self.opts, stop)


class Refused(ValueError):
    """Options or inputs the command refuses; the message is the one line it prints."""


def options(args: argparse.Namespace) -> Options:
    """The options of the command line."""
    if not 0 < args.hop_ms <= MAX_HOP_MS:
        raise Refused(f"the hop must be above 0 and at most {MAX_HOP_MS:g} ms, not {args.hop_ms} ms")
    if not abs(args.threshold_db) <= MAX_THRESHOLD_DB:
        raise Refused(f"the threshold must be from -{MAX_THRESHOLD_DB:g} to {MAX_THRESHOLD_DB:g} dB, "
                      f"not {args.threshold_db}")
    try:
        low, high = note_range(args.range)
    except ValueError as exc:
        raise Refused(str(exc)) from None
    if high < PIANO_LOW or low > PIANO_HIGH:
        # The bank covers the piano's keys: no note outside them is ever found.
        raise Refused(f"--range {args.range} has no piano key; notes are found from A0 to C8")
    return Options(args.threshold_db, (low, high), args.hop_ms)


def transcribe_blocks(blocks: Iterable[npt.NDArray[np.float32]], sample_rate: float, opts: Options) -> list[NoteEvent]:
    """The notes of a signal given in blocks, frames made and tracked as the blocks arrive.

    The bank covers the piano keys (the partials of the reported range's notes lie there too);
    the range only filters what is reported."""
    numbers = np.arange(PIANO_LOW, PIANO_HIGH + 1, dtype=np.float64)
    hop = opts.hop(sample_rate)
    stream = FrameStream(bank_for(numbers, sample_rate), hop)
    tracker = NoteTracker(numbers, sample_rate, hop, threshold_db=opts.threshold_db, pitches=opts.pitches)
    events: list[NoteEvent] = []
    # Frames are tracked a tracker's block at a time: a push has a cost of its own, and the
    # events are the same for any chunking.
    waiting: list[npt.NDArray[np.complex64]] = []
    count = 0
    for block in blocks:
        waiting.append(stream.push(block))
        count += len(waiting[-1])
        if count >= BLOCK_FRAMES:
            events += tracker.push(np.concatenate(waiting))
            waiting, count = [], 0
    if waiting:
        events += tracker.push(np.concatenate(waiting))
    return sorted(events + tracker.finish())


def write_csv(events: Sequence[NoteEvent], file: BinaryIO) -> None:
    text = io.StringIO(newline="")
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(CSV_HEADER)
    for e in events:
        writer.writerow([f"{e.onset:.3f}", f"{e.offset:.3f}", e.pitch, e.name, e.velocity])
    file.write(text.getvalue().encode())


def write_midi(events: Sequence[NoteEvent], file: BinaryIO) -> None:
    """A type-0 Standard MIDI File at 120 beats a minute, every note on channel 1."""
    import mido

    ticks_per_second = TICKS_PER_BEAT * 1_000_000 / TEMPO
    # Each message is made once, with its time: making one checks every field.
    timeline = []
    for e in events:
        on, off = round(e.onset * ticks_per_second), round(e.offset * ticks_per_second)
        timeline.append((on, 1, "note_on", e.pitch, e.velocity))
        timeline.append((max(off, on + 1), 0, "note_off", e.pitch, 0))
    timeline.sort(key=lambda item: (item[0], item[1]))  # at one tick, note-offs first
    track = mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=TEMPO, time=0)])
    now = 0
    for tick, _, kind, pitch, velocity in timeline:
        track.append(mido.Message(kind, note=pitch, velocity=velocity, time=tick - now))
        now = tick
    track.append(mido.MetaMessage("end_of_track", time=0))
    midi = mido.MidiFile(type=0, ticks_per_beat=TICKS_PER_BEAT)
    midi.tracks.append(track)
    midi.save(file=file)


def deliver(path: str, seconds: float, events: list[NoteEvent], midi: str, csv_path: str,
            stop: Callable[[], bool] | None = None) -> Result:
    """Writes both outputs under temporary names, renamed only once both are complete: a failure,
    an interruption or `stop` saying yes (`corpus.Stopped`) leaves neither."""
    with ExitStack() as files:
        write_midi(events, files.enter_context(replacing(midi)))
        write_csv(events, files.enter_context(replacing(csv_path)))
        if stop is not None and stop():
            raise corpus.Stopped
    return Result(path, seconds, tuple(events), midi, csv_path)


def check(path: str, opts: Options) -> audio.AudioInfo:
    """The file's facts if it can be transcribed (readable, at least one hop long, every sample
    a finite number), else `FileError`."""
    found = _facts(path, opts)
    audio.scan(path)
    return found


def _facts(path: str, opts: Options) -> audio.AudioInfo:
    found = audio.info(path)
    short = _hop_below_a_sample(opts, found.sample_rate)
    if short:
        raise FileError(path, short)
    nyquist = found.sample_rate / 2.0
    if 440.0 * 2.0 ** ((opts.pitches[0] - 69) / 12.0) >= nyquist:
        raise FileError(path, f"every note of --range is at or above the Nyquist frequency of this "
                              f"{found.sample_rate:g} Hz file ({nyquist:g} Hz); choose lower notes")
    hop = opts.hop(found.sample_rate)
    if found.frames < hop:
        raise FileError(path, f"shorter than one hop ({found.frames} samples, hop {hop})")
    return found


def _hop_below_a_sample(opts: Options, rate: float) -> str:
    """The line that refuses a hop shorter than one sample at `rate`, or ""."""
    return shorter_than_a_sample(rate, [("--hop-ms", opts.hop_ms)])


def run_file(path: str, midi: str, csv_path: str, opts: Options, stop: Callable[[], bool] | None = None) -> Result:
    """Transcribes one audio file and writes its outputs; `stop` as in `corpus.run`."""
    found = _facts(path, opts)
    # A sample that is not a finite number ends the reading with its time: the bank would carry
    # it to every later frame. (`run` scanned for one before anything was written.)
    blocks: Iterable[npt.NDArray[np.float32]] = audio.blocks(path)
    if stop is not None:
        blocks = corpus.until_stopped(stop, blocks)
    events = transcribe_blocks(blocks, found.sample_rate, opts)
    return deliver(path, found.seconds, events, midi, csv_path, stop)


def run_demo(midi: str, csv_path: str, opts: Options) -> Result:
    signal = demo.signal(demo.SAMPLE_RATE)
    events = transcribe_blocks([signal], demo.SAMPLE_RATE, opts)
    return deliver("synthesised demo: a melody over a held chord, then a glide", len(signal) / demo.SAMPLE_RATE,
                   events, midi, csv_path)


def outputs(args: argparse.Namespace, stems: Sequence[str]) -> list[tuple[str, str]]:
    """(midi, csv) for each input: --midi and --csv for a single one, else STEM.mid/.csv in --out."""
    for option, value in [("--midi", args.midi), ("--csv", args.csv), ("--out", args.out)]:
        if value == "":
            raise Refused(f"{option} is empty; give a {'folder' if option == '--out' else 'file name'}")
    if (args.midi or args.csv) and len(stems) > 1:
        raise Refused("--midi and --csv name the outputs of one input; for several, use --out DIR")
    if args.midi or args.csv:
        midi = args.midi or os.path.splitext(args.csv)[0] + ".mid"
        table = args.csv or os.path.splitext(args.midi)[0] + ".csv"
        if os.path.abspath(midi) == os.path.abspath(table):
            raise Refused("--midi and --csv name the same file")
        return [(midi, table)]
    folder = args.out or os.curdir
    pairs = [(os.path.join(folder, f"{stem}.mid"), os.path.join(folder, f"{stem}.csv")) for stem in stems]
    if len({midi for midi, _ in pairs}) < len(pairs):
        raise Refused("two inputs have the same name; their outputs would overwrite each other")
    return pairs


def run(
    args: argparse.Namespace,
    inputs: Callable[[Sequence[str]], list[str]],
    make_folders: Callable[[Sequence[tuple[str, str]]], list[str] | None],
) -> int:
    """The command: `inputs` lists the files of the named files and folders, `make_folders`
    makes the folders of the outputs and returns those it made."""
    opts = options(args)
    if args.scheduler is not None and not args.scheduler.strip():
        raise Refused("--scheduler is empty; give an address such as tcp://host:8786")
    # Fail on a missing extra now, before any work.
    import mido  # noqa: F401
    import soundfile  # noqa: F401

    if args.scheduler:
        import distributed  # noqa: F401
    files = inputs(args.inputs)
    stems = [os.path.splitext(os.path.basename(path))[0] for path in files] or ["marlune-demo"]
    pairs = outputs(args, stems)
    given = {os.path.realpath(path) for path in files}
    for path in (path for pair in pairs for path in pair):
        if os.path.realpath(path) in given:
            raise Refused(f"{path} is an input; it would be overwritten")
        if os.path.isdir(path):
            raise FileError(path, "is a folder; give a file name")
    if not files:
        short = _hop_below_a_sample(opts, demo.SAMPLE_RATE)
        if short:
            raise Refused(f"the demo: {short}")
        make_folders(pairs)
        report(run_demo(*pairs[0], opts))
        return 0
    # Every input is checked before anything is written, so one bad file costs no output.
    skipped: list[FileError] = []
    jobs = []
    for path, (midi, table) in zip(files, pairs):
        try:
            check(path, opts)
        except FileError as exc:
            if not args.keep_going:
                raise
            skipped.append(exc)
            continue
        jobs.append(Job(path, midi, table, opts))
    # Connected before any folder is made: a bad scheduler is a bad option.
    with corpus.connect(args.scheduler) if args.scheduler else nullcontext() as client:
        made = make_folders([(job.midi, job.csv) for job in jobs])
        try:
            results = list(corpus.run_all(jobs, scheduler=client, skipped=skipped if args.keep_going else None))
        finally:
            _remove_empty(made or [])
    # The workers had absolute paths; the report shows the names as given, in their order.
    order = {os.path.abspath(job.path): i for i, job in enumerate(jobs)}
    for result in sorted(results, key=lambda result: order[result.path]):
        job = jobs[order[result.path]]
        report(dataclasses.replace(result, path=job.path, midi=job.midi, csv=job.csv))
    for error in skipped:
        print(f"marlune: skipped {corpus.printable(str(error))}", file=sys.stderr)
    return SKIPPED if skipped else 0


def _remove_empty(folders: Sequence[str]) -> None:
    """Removes the folders made for the run that stayed empty (it failed or was interrupted)."""
    for folder in sorted(folders, key=len, reverse=True):
        try:
            os.rmdir(folder)
        except OSError:
            pass  # not empty: it holds outputs, or something else was put there


def report(result: Result) -> None:
    # Names may hold newlines or bytes that are not UTF-8: each file's report stays one line.
    print(corpus.printable(f"{result.path}: {result.seconds:.2f} s, {len(result.events)} notes -> "
                           f"{result.midi}, {result.csv}"))
    for e in result.events:
        print(f"  {e.onset:7.2f} - {e.offset:7.2f} s  {e.name:<4} velocity {e.velocity}")
