"""The command `marlune live`: listens to an input and shows the notes as they sound.

marlune live [--device D] [--list-devices] [--input FILE] [--notes LOW:HIGH] [--bins-per-semitone K]
             [--hop-ms MS] [--threshold-db DB] [--midi P] [--csv P] [--npz P] [--web [PORT]] [--bench]

Three threads: PortAudio's (or the replay's) copies blocks, the analysis thread makes frames and
notes of them, and this one, the main thread, shows a snapshot about 25 times a second on each
view and handles Ctrl-C. Stopping (Ctrl-C, SIGTERM, the end of the file, the device going
away) always goes the same way: the source stops, the blocks already delivered are analysed,
the notes still sounding end, the outputs asked for are written (whole or not at all) and the
views close.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from contextlib import ExitStack, suppress
from typing import Any

import numpy as np

from marlune_tools import npz
from marlune_tools.errors import FileError
from marlune_tools.live.engine import Engine, Keep
from marlune_tools.live.plain import PlainView
from marlune_tools.live.snapshot import Status, View
from marlune_tools.live.source import DeviceSource, FileSource, Source, list_devices
from marlune_tools.notes_command import MAX_HOP_MS, Refused, write_csv, write_midi
from marlune_tools.output import check_target, replacing
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import Spectrogram

SHOWS_PER_SECOND = 25
# Samples per block from the source: short enough to play along with, long enough that the note
# tracker's cost per block (a few ms of NumPy calls, whatever the block's length) stays a small
# share of one core.
BLOCK_SECONDS = 0.04
WEB_PORT = 8765  # --web without a port
LOST = 1  # the exit status when the input went away (what was heard is written all the same)

EXAMPLES = """\
examples:
  marlune live                             listen to the default input device
  marlune live --list-devices              the input devices, the default marked *
  marlune live --device 2 --midi take.mid  device 2; on Ctrl-C, what was heard to take.mid
  marlune live --input take1.wav           replay a file at its own speed, as if played now
  marlune live --web                       also in a browser, at http://127.0.0.1:8765/
  marlune live --input take1.wav --bench   the analysis delay, dropped blocks and CPU share

In a terminal: a scrolling piano roll, a level meter, the notes sounding and a status line.
Into a pipe or a file: one line per note event, "on TIME NAME PITCH VELOCITY" when a note is
decided and "off TIME NAME PITCH VELOCITY ONSET" when it ends (times in seconds of audio).
Ctrl-C stops and writes the --midi, --csv and --npz files of what was heard. Status: 0 stopped
or the file ended, 1 the input device went away (outputs written all the same), 2 bad input
or option (nothing written).
"""


def add_parser(commands: Any) -> None:
    """Adds the command to the subcommands of the `marlune` parser."""
    parser = commands.add_parser(
        "live",
        help="listen to an input and show the notes as they sound",
        description="Listen to an input device (or replay a file at its own speed) and show the notes "
        "as they sound: in the terminal, as plain lines when the output is not a terminal, and in a browser.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--device", metavar="D", help="input device: its number or part of its name (default: the system's)")
    source.add_argument("--input", metavar="FILE", help="replay an audio file at its own speed instead of a device")
    source.add_argument("--list-devices", action="store_true", help="list the input devices and exit")
    parser.add_argument("--notes", metavar="LOW:HIGH", default="A0:C8", help="note range (default: A0:C8)")
    parser.add_argument("--bins-per-semitone", metavar="K", type=int, default=1, help="channels per semitone (default: 1)")
    parser.add_argument("--hop-ms", metavar="MS", type=float, default=10.0,
                        help=f"time between frames, above 0 and at most {MAX_HOP_MS:g} (default: 10)")
    parser.add_argument("--threshold-db", metavar="DB", type=float, default=0.0,
                        help="raise (positive: fewer notes) or lower the note thresholds by DB (default: 0)")
    parser.add_argument("--midi", metavar="P", help="write the notes heard to this MIDI file at the end")
    parser.add_argument("--csv", metavar="P", help="write the notes heard to this CSV file at the end")
    parser.add_argument("--npz", metavar="P", help="write the frames heard to this .npz file at the end")
    parser.add_argument("--web", metavar="PORT", nargs="?", type=int, const=WEB_PORT,
                        help=f"also show the analysis on a page at http://127.0.0.1:PORT/ (default port: {WEB_PORT})")
    parser.add_argument("--bench", action="store_true",
                        help="with --input: print the analysis delay, dropped blocks and CPU share at the end")
    parser.set_defaults(tau_ms=None, tuning=440.0)


def run(args: argparse.Namespace, settings_of: Callable[[argparse.Namespace], Settings]) -> int:
    """Runs the command; `settings_of` turns the options into settings, refusing bad ones."""
    if args.list_devices:
        print("\n".join(list_devices()) or "no input devices")
        return 0
    settings = _check(args, settings_of)
    if args.midi:
        import mido  # noqa: F401  (a missing extra fails now, not after the run)
    views = _views(args)
    source: Source = FileSource(args.input, _block(args.input)) if args.input else DeviceSource(_device(args.device), BLOCK_SECONDS)
    try:
        engine = Engine(source, settings, Keep(frames=bool(args.npz), events=bool(args.midi or args.csv or args.npz)))
    except ValueError as exc:  # the tracker or a bank refuses the source's sample rate
        source.stop()
        raise FileError(source.name, f"cannot be analysed at {source.sample_rate:g} Hz ({exc})") from None
    try:
        _show(engine, views)
    finally:
        # Whatever happened above (a view failing included), the run stops in order and what
        # was heard is written.
        if engine.started:
            engine.stop()
        else:
            source.stop()
        _close(views)
        _write(args, engine)
    if engine.failure is not None:
        raise engine.failure
    if args.bench:
        print(bench_report(engine.status(), engine))
    if source.lost is not None:
        print(f"marlune: {source.lost}; what was heard is kept", file=sys.stderr)
        return LOST
    return 0


def _check(args: argparse.Namespace, settings_of: Callable[[argparse.Namespace], Settings]) -> Settings:
    if not 0 < args.hop_ms <= MAX_HOP_MS:
        raise Refused(f"--hop-ms {args.hop_ms:g} is not above 0 and at most {MAX_HOP_MS:g} ms")
    if args.bench and not args.input:
        raise Refused("--bench needs --input FILE: it measures a replay")
    if args.web is not None and not 0 <= args.web <= 65535:
        raise Refused(f"--web {args.web} is not a port number (0 to 65535)")
    settings = settings_of(args)
    outputs = [path for path in (args.midi, args.csv, args.npz) if path is not None]
    if "" in outputs:
        raise Refused("an output name is empty")
    targets = [check_target(path) for path in outputs]
    if len(set(targets)) < len(targets):
        raise Refused("two outputs name the same file")
    if args.input and os.path.realpath(args.input) in targets:
        raise Refused(f"{args.input} is the input; it would be overwritten")
    return settings


def _device(name: str | None) -> str | int | None:
    return int(name) if name is not None and name.strip().isdigit() else name


def _block(path: str) -> int:
    from marlune_tools import audio

    return max(1, round(audio.info(path).sample_rate * BLOCK_SECONDS))


def _views(args: argparse.Namespace) -> list[View]:
    views: list[View] = []
    if sys.stdout.isatty():
        from marlune_tools.live.terminal import TerminalView

        views.append(TerminalView())
    else:
        views.append(PlainView())
    if args.web is not None:
        from marlune_tools.live.web import WebView

        views.append(WebView(args.web))
    return views


def _show(engine: Engine, views: list[View]) -> None:
    """Opens the views, starts the analysis and shows its snapshots until the source ends or
    Ctrl-C (or SIGTERM, which the command turns into Ctrl-C); the last snapshot is shown after
    the analysis has drained, so that the views see every note."""
    try:
        for view in views:
            view.open(engine.setup)
            url = getattr(view, "url", None)
            if url:
                print(f"marlune: the analysis is shown at {url}", file=sys.stderr)
        engine.start()
        while not engine.done.wait(1.0 / SHOWS_PER_SECOND):
            snapshot = engine.snapshot()
            for view in views:
                view.show(snapshot)
    except KeyboardInterrupt:
        pass
    if engine.started:
        engine.stop()
        snapshot = engine.snapshot()
        for view in views:
            view.show(snapshot)


def _close(views: list[View]) -> None:
    for view in views:
        with suppress(Exception):  # one view failing to close must not keep the others open
            view.close()


def _write(args: argparse.Namespace, engine: Engine) -> None:
    """Writes the outputs asked for under temporary names, renamed only once all are complete."""
    events = sorted(engine.events)
    setup = engine.setup
    with ExitStack() as files:
        if args.midi:
            write_midi(events, files.enter_context(replacing(args.midi)))
        if args.csv:
            write_csv(events, files.enter_context(replacing(args.csv)))
        if args.npz:
            frames = (np.concatenate(engine.frames) if engine.frames
                      else np.zeros((0, len(setup.numbers)), dtype=np.complex64))
            spectrogram = Spectrogram(frames, engine.settings.scale, setup.sample_rate, setup.hop, tuple(events))
            npz.write(spectrogram, files.enter_context(replacing(args.npz)))


def bench_report(status: Status, engine: Engine) -> str:
    setup = engine.setup
    block_ms = setup.block / setup.sample_rate * 1000.0
    return "\n".join([
        f"bench: {status.heard:.1f} s heard, {len(setup.numbers)} channels, block {setup.block} samples "
        f"({block_ms:.1f} ms), hop {setup.hop}",
        f"bench: delay median {status.delay_median * 1000:.2f} ms, p99.9 {status.delay_p999 * 1000:.2f} ms, "
        f"longest {status.longest * 1000:.2f} ms",
        f"bench: dropped {status.dropped} blocks, CPU {status.cpu * 100:.1f}% of one core",
        # The delay less this is time spent waiting for a core: the machine's load, not the work.
        "bench: analysis processor time per block median {:.2f} ms, p99.9 {:.2f} ms".format(
            *(seconds * 1000 for seconds in engine.work())),
    ])
