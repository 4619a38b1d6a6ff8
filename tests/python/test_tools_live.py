"""marlune live: through a real audio server, from a replayed file, and on Ctrl-C, SIGTERM, a lost
device, a device slow to start and bad options."""

import csv
import signal
import subprocess
import threading
import time
import types

import numpy as np
import pytest
from conftest import assert_refused, marlune_command, require, run_marlune, write_audio

import renders
from marlune_tools.live import source as source_module
from marlune_tools.live.engine import POLL_SECONDS, Engine, Keep
from marlune_tools.live.source import QUEUE_BLOCKS, DeviceSource, FileSource
from marlune_tools.notes_command import CSV_HEADER
from marlune_tools.settings import Settings

# Onsets heard through the server must match the played ones within 50 ms, the tolerance of
# transcription scores, once the recorder's clock is aligned on the played one (by the median
# difference: the recorder does not know when playback began).
ONSET_TOLERANCE = 0.05
MELODY = renders.melody("live-melody", renders.PIANO, 60, 76, seed=53, count=5, beat=0.4)


@pytest.fixture(scope="module")
def melody_file(tmp_path_factory, render):
    return write_audio(tmp_path_factory.mktemp("live") / "melody.wav", render(MELODY), renders.SAMPLE_RATE)


def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert tuple(rows[0]) == CSV_HEADER
    return [(float(row[0]), int(row[2])) for row in rows[1:]]


def start_live(*args, env=None):
    require("sounddevice")
    return subprocess.Popen(marlune_command("live", *args), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def record(pulse, tmp_path, *args):
    """`marlune live` recording from the server's sink monitor, once it is recording."""
    live = start_live("--device", "pulse", "--csv", tmp_path / "heard.csv", "--midi", tmp_path / "heard.mid", *args,
                      env=pulse.env)
    pulse.wait_for(pulse.recording, "recording client")
    return live


def test_the_notes_heard_through_the_server_are_the_notes_played(pulse, tmp_path, melody_file):
    live = record(pulse, tmp_path)
    pulse.play(melody_file)
    time.sleep(0.5)  # the last note's release; nothing is timed
    live.send_signal(signal.SIGINT)
    out, err = live.communicate(timeout=60)
    assert live.returncode == 0, err
    heard = read_csv(tmp_path / "heard.csv")
    played = [(n.onset, n.pitch) for n in MELODY.notes]
    assert [p for _, p in heard] == [p for _, p in played]
    lag = np.median([h - p for (h, _), (p, _) in zip(heard, played)])
    assert all(abs(h - lag - p) <= ONSET_TOLERANCE for (h, _), (p, _) in zip(heard, played)), (heard, lag)
    mido = require("mido")
    pitches = [m.note for m in mido.MidiFile(tmp_path / "heard.mid") if m.type == "note_on"]
    assert pitches == [p for _, p in played]
    assert sorted(int(line.split()[3]) for line in out.splitlines() if line.startswith("on ")) == sorted(pitches)


@pytest.mark.parametrize("lose", ["killed", "frozen", "frozen, then Ctrl-C"])
def test_a_lost_server_ends_the_run_with_one_line_and_keeps_what_was_heard(pulse, tmp_path, melody_file, lose):
    live = record(pulse, tmp_path)
    player = subprocess.Popen(["paplay", "--device", pulse.SINK, str(melody_file)], env=pulse.tools_env,
                              stderr=subprocess.DEVNULL)
    while live.poll() is None and not live.stdout.readline().startswith("off "):
        pass  # until the first note has ended
    if lose == "killed":
        pulse.kill()
    else:
        pulse.freeze()  # the stream still claims to run; no block comes, and closing it would hang
    player.kill()
    player.wait()
    if lose.endswith("Ctrl-C"):
        live.send_signal(signal.SIGINT)
    _, err = live.communicate(timeout=60)
    # PortAudio's ALSA layer prints its own diagnostics; the command says one line.
    ours = [line for line in err.splitlines() if line.startswith("marlune")]
    if lose.endswith("Ctrl-C"):
        assert live.returncode == 0 and not ours, err
    else:
        assert live.returncode == 1 and len(ours) == 1 and "input device stopped" in ours[0], err
    assert read_csv(tmp_path / "heard.csv")[0][1] == MELODY.notes[0].pitch


def test_the_server_is_listed_among_the_input_devices(pulse):
    done = subprocess.run(marlune_command("live", "--list-devices"), env=pulse.env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and "  pulse  (ALSA" in done.stdout, done


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_writes_whole_outputs_of_what_was_heard(tmp_path, melody_file, stop):
    live = start_live("--input", melody_file, "--csv", tmp_path / "a.csv", "--midi", tmp_path / "a.mid",
                      "--npz", tmp_path / "a.npz")
    assert live.stdout.readline().startswith("on ")
    live.send_signal(stop)
    _, err = live.communicate(timeout=60)
    assert (live.returncode, err) == (0, "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv", "a.mid", "a.npz"]  # no temporary files
    heard = read_csv(tmp_path / "a.csv")
    with np.load(tmp_path / "a.npz") as data:
        frames, hop = data["frames"], int(data["hop"])
    # Stopped before the end: some notes, and frames up to the stop.
    assert 0 < len(heard) < len(MELODY.notes)
    assert 0 < len(frames) * hop < renders.SAMPLE_RATE * MELODY.notes[-1].offset


def test_a_replay_gives_the_notes_of_the_file_and_pairs_its_lines(tmp_path, melody_file):
    done = run_marlune("live", "--input", melody_file, "--csv", tmp_path / "live.csv")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert run_marlune("notes", melody_file, "--csv", tmp_path / "file.csv").returncode == 0
    assert read_csv(tmp_path / "live.csv") == read_csv(tmp_path / "file.csv")
    ons, offs = [], []
    for line in done.stdout.splitlines():
        kind, when, name, pitch, velocity, *onset = line.split()
        (ons if kind == "on" else offs).append((float(when) if kind == "on" else float(onset[0]), int(pitch)))
    assert sorted(ons) == sorted(offs) == read_csv(tmp_path / "live.csv")


class Recorder:
    """A view that keeps what it is given."""

    def __init__(self):
        self.calls, self.snapshots = [], []

    def open(self, setup):
        self.calls.append("open")
        self.setup = setup

    def show(self, snapshot):
        self.snapshots.append(snapshot)

    def close(self):
        self.calls.append("close")


def test_views_see_every_frame_and_note_of_a_replay(melody_file, monkeypatch, tmp_path, capsys):
    from marlune_tools import cli
    from marlune_tools.live import command

    view = Recorder()
    monkeypatch.setattr(command, "_views", lambda args: [view])
    assert cli.main(["live", "--input", str(melody_file), "--csv", str(tmp_path / "n.csv"), "--bench"]) == 0
    assert view.calls == ["open", "close"]
    shown = view.snapshots
    frames = sum(len(s.levels) for s in shown)
    assert frames == len(renders.render(MELODY, tmp_path)) // view.setup.hop
    assert shown[-1].status.dropped == 0 and shown[-1].status.heard == frames * view.setup.hop / renders.SAMPLE_RATE
    ended = [(round(e.onset, 3), e.pitch) for s in shown for e in s.ended]
    assert sorted(ended) == read_csv(tmp_path / "n.csv")
    assert shown[-1].sounding == () and all(np.isfinite(s.levels).all() for s in shown)
    bench = capsys.readouterr().out
    assert f"bench: {shown[-1].status.heard:.1f} s heard" in bench and "dropped 0 blocks" in bench


def test_a_stalled_analysis_drops_blocks_and_counts_them(tmp_path):
    rate, block = 8000, 16
    path = write_audio(tmp_path / "noise.wav", np.random.default_rng(1).uniform(-0.5, 0.5, rate // 2), rate)
    source = FileSource(str(path), block)
    engine = Engine(source, Settings(), Keep())
    source.start()  # the analysis never takes a block
    while not source.ended:
        time.sleep(0.01)
    assert source.dropped == rate // 2 // block - QUEUE_BLOCKS
    assert engine.snapshot().status.dropped == source.dropped


@pytest.mark.parametrize(
    ("args", "cause"),
    [
        (["--hop-ms", "0"], "--hop-ms"),
        (["--hop-ms", "60"], "--hop-ms"),
        (["--bench"], "--bench needs --input"),
        (["--web", "70000"], "port"),
        (["--notes", "C8:A0"], "empty note range"),
        (["--input", "missing.wav"], "missing.wav"),
        (["--input", "MELODY", "--csv", "same", "--midi", "same"], "same file"),
        (["--input", "MELODY", "--csv", "MELODY"], "overwritten"),
        (["--input", "MELODY", "--npz", "."], "folder"),
        (["--device", "no such device"], "no such input device"),
    ],
)
def test_bad_options_give_one_line_and_status_2(tmp_path, melody_file, args, cause):
    require("sounddevice")
    args = [str(melody_file) if a == "MELODY" else a for a in args]
    assert_refused(run_marlune("live", *args, cwd=tmp_path), cause)
    assert list(tmp_path.iterdir()) == []


class SlowStartStream:
    """An input stream like sounddevice's whose start takes several of the analysis's polls, as
    PortAudio's can on a loaded machine (it prepares the device again and waits for the sound
    server); once started it delivers silent blocks until closed."""

    latency = 0.01

    def __init__(self, blocksize, channels, callback, finished_callback, **_):
        self.blocksize, self.channels = blocksize, channels
        self.callback, self.finished_callback = callback, finished_callback
        self.active = False
        self._closed = threading.Event()

    def start(self):
        time.sleep(4 * POLL_SECONDS)
        self.active = True
        threading.Thread(target=self._deliver, daemon=True).start()

    def _deliver(self):
        block = np.zeros((self.blocksize, self.channels), dtype=np.float32)
        while not self._closed.wait(0.01):
            self.callback(block, self.blocksize, None, types.SimpleNamespace(input_overflow=False))

    def close(self, ignore_errors=False):
        self._closed.set()
        self.active = False
        self.finished_callback()


def test_a_device_slow_to_start_is_not_taken_for_one_gone(monkeypatch):
    device = {"name": "slow", "index": 0, "default_samplerate": 8000.0, "max_input_channels": 1}
    sounddevice = types.SimpleNamespace(query_devices=lambda device_id, kind: device, InputStream=SlowStartStream,
                                        PortAudioError=RuntimeError)
    monkeypatch.setattr(source_module, "_sounddevice", lambda: sounddevice)
    source = DeviceSource(None, 0.01)
    engine = Engine(source, Settings(), Keep())
    engine.start()
    # The limit only turns a run that hears nothing into a failure; nothing is timed.
    end = time.monotonic() + 30
    while engine.status().heard < 0.5 and not engine.done.is_set() and time.monotonic() < end:
        time.sleep(0.05)
    engine.stop()
    assert source.lost is None
    assert engine.status().heard >= 0.5
