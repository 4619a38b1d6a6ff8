"""The spectrogram command and what it stands on: audio files, the demo, pictures, .npz files."""

import os
import stat
import subprocess
import sys

import numpy as np
import pytest
import marlune
from conftest import assert_refused, broken_flac, require, run_marlune, tree, write_audio

from marlune_tools import FileError, audio, demo, npz
from marlune_tools.analysis import analyse, analyse_file
from marlune_tools.audio import BLOCK_FRAMES
from marlune_tools.cli import MAX_NOTE_LINES, note_lines
from marlune_tools.notes import Scale, note_number, note_range
from marlune_tools.notes_command import Options, transcribe_blocks
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import FLOOR_DB
from marlune_tools.transcribe import NoteEvent

require("soundfile")
require("matplotlib")


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    """The main job: the command with no input, as the README runs it."""
    folder = tmp_path_factory.mktemp("demo")
    done = run_marlune("spectrogram", "--png", folder / "out.png")
    assert done.returncode == 0, done.stderr
    return done, folder


def test_main_job_writes_picture_and_frames_and_prints_the_notes_played(demo_run):
    done, folder = demo_run
    assert (folder / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert done.stderr == ""
    notes = [(float(row[0]), note_number(row[4])) for row in map(str.split, done.stdout.splitlines()[1:])]
    assert sorted(pitch for onset, pitch in notes if onset < 0.05) == sorted(demo.CHORD)
    assert [pitch for onset, pitch in notes if demo.MELODY_START - 0.05 <= onset < demo.CHORD_END
            and pitch > max(demo.CHORD)] == list(demo.MELODY)
    # No partial is listed: before the glide only the chord and the melody, in it only its range.
    low, high, glide_start, _ = demo.GLIDE
    assert all(pitch in demo.CHORD + demo.MELODY if onset < glide_start - 0.05 else low <= pitch <= high
               for onset, pitch in notes)


@pytest.mark.parametrize(("threshold_db", "notes"), [(0.0, "A0:C8"), (9.0, "A0:C8"), (0.0, "B3:D5")])
def test_the_notes_are_those_of_the_notes_command(threshold_db, notes):
    low, high = note_range(notes)
    settings = Settings(Scale(low, high), threshold_db=threshold_db, hop_ms=25.0, tau_ms=200.0)
    found = analyse([demo.signal()], demo.SAMPLE_RATE, settings).events
    expected = transcribe_blocks([demo.signal()], demo.SAMPLE_RATE, Options(threshold_db, (low, high)))
    assert found == tuple(expected) and found


@pytest.mark.parametrize("count", [3, MAX_NOTE_LINES, MAX_NOTE_LINES + 1, 5000])
def test_notes_print_one_line_each_or_one_per_stretch_of_time(count):
    events = [NoteEvent(0.37 * i, 0.37 * i + 0.5, 40 + i % 30, 64) for i in range(count)]
    lines = [line.split() for line in note_lines(events)]
    assert len(lines) == count if count <= MAX_NOTE_LINES else len(lines) <= MAX_NOTE_LINES
    # Every note once, in onset order, on the line whose stretch of time holds its onset.
    placed = [(float(start), float(end), name) for start, _, end, _, *names in lines for name in names]
    assert [name for _, _, name in placed] == [e.name for e in events]
    assert all(start - 0.005 <= e.onset <= end for (start, end, _), e in zip(placed, events))


def test_overlay_boxes_sit_on_the_rows_of_their_notes(monkeypatch, tmp_path):
    from marlune_tools import picture
    from marlune_tools.corpus import Job, deliver

    settings = Settings(Scale(45, 90, 2))
    spectrogram = analyse([demo.signal()], demo.SAMPLE_RATE, settings)
    figures = []
    draw = picture.figure
    monkeypatch.setattr(picture, "figure", lambda *args: figures.append(draw(*args)) or figures[-1])
    summary = deliver(spectrogram, Job("demo", None, str(tmp_path / "o.png"), settings, overlay=True))
    ax = figures[0].axes[0]
    (outlines,) = [c for c in ax.collections if c.get_gid() == "notes"]
    assert outlines.get_facecolor().size == 0 or outlines.get_facecolor()[:, 3].max() == 0  # not filled
    (image,) = ax.get_images()
    left, right, bottom, top = image.get_extent()
    rows = image.get_array().shape[0]
    assert len(outlines.get_paths()) == len(summary.notes) > 10
    for path, note in zip(outlines.get_paths(), summary.notes):
        (x0, y0), (x1, y1) = path.get_extents().get_points()
        assert (x0, x1) == pytest.approx((note.onset, note.offset))
        # The box spans one semitone, centred on the note, and the image row at its centre is the
        # channel of that note.
        assert (y0, y1) == pytest.approx((note.pitch - 0.5, note.pitch + 0.5))
        row = int((note.pitch - bottom) / (top - bottom) * rows)
        assert spectrogram.scale.numbers[row] == note.pitch


def test_npz_round_trips_the_analysis(demo_run):
    _, folder = demo_run
    loaded = npz.load(folder / "out.npz")
    expected = analyse([demo.signal()], demo.SAMPLE_RATE, Settings())
    assert loaded.frames.dtype == np.complex64 and loaded.frames.tobytes() == expected.frames.tobytes()
    assert loaded.frequencies.tobytes() == expected.frequencies.tobytes()
    assert loaded.notes == expected.notes and len(loaded.notes) == 88 and loaded.scale == expected.scale
    assert (loaded.sample_rate, loaded.hop) == (demo.SAMPLE_RATE, 480)


@pytest.mark.parametrize(("write", "cause"), [
    (lambda path: None, "no such file"),
    (lambda path: path.write_text("not a spectrogram"), "not a spectrogram file"),
    (lambda path: np.savez(path, frames=np.zeros((2, 88), np.complex64)), "not a spectrogram file"),
])
def test_loading_what_is_not_a_spectrogram_names_file_and_cause(tmp_path, write, cause):
    path = tmp_path / "x.npz"
    write(path)
    with pytest.raises(FileError, match=rf"x\.npz: {cause}"):
        npz.load(path)


def test_each_held_note_is_the_strongest_channel(demo_run):
    spectrogram = npz.load(demo_run[1] / "out.npz")
    strongest = np.abs(spectrogram.frames).argmax(axis=1) + 21  # channel 0 is A0, note 21
    times = spectrogram.times
    chord, melody = demo.notes()[:3], demo.notes()[3:]
    for note in melody:
        settled = (times >= note.start + 0.1) & (times <= note.end)
        assert settled.sum() >= 25 and (strongest[settled] == note.number).all(), note
    alone = (times >= 0.3) & (times <= melody[0].start)
    top3 = np.sort(np.argsort(np.abs(spectrogram.frames[alone]), axis=1)[:, -3:] + 21, axis=1)
    assert (top3 == sorted(n.number for n in chord)).all()


@pytest.fixture(scope="module")
def test_signal():
    """A sine quantised to 8-bit steps: every WAV and FLAC sample format holds it exactly."""
    rate = 16_000
    t = np.arange(100_000)  # longer than one block of the file reader, not a multiple of the hop
    left = np.round(100 * np.sin(2 * np.pi * 440 * t / rate)) / 128
    right = np.round(60 * np.sin(2 * np.pi * 660 * t / rate)) / 128
    return rate, np.stack([left, right], axis=1).astype(np.float32)


SMALL = Settings(Scale(note_number("A3"), note_number("A5")))


@pytest.mark.parametrize(
    ("name", "subtype"),
    [("u8.wav", "PCM_U8"), ("s16.wav", "PCM_16"), ("s24.wav", "PCM_24"), ("s32.wav", "PCM_32"),
     ("f32.wav", "FLOAT"), ("f64.wav", "DOUBLE"), ("s16.flac", "PCM_16"), ("s24.flac", "PCM_24"),
     ("s16.aiff", "PCM_16")],
)
@pytest.mark.parametrize("channel", [None, 0, 1])
def test_every_format_gives_the_frames_of_its_samples(tmp_path, test_signal, name, subtype, channel):
    rate, stereo = test_signal
    path = write_audio(tmp_path / name, stereo, rate, subtype)
    # The mono mix is the mean of the two channels; with these values both steps are exact.
    samples = (stereo[:, 0] + stereo[:, 1]) * np.float32(0.5) if channel is None else stereo[:, channel]
    expected = SMALL.bank(rate).resonate(np.ascontiguousarray(samples), SMALL.hop(rate))
    got = analyse_file(path, SMALL, channel=channel)
    assert got.frames.tobytes() == expected.tobytes() and got.frames.shape == (625, 25)


def test_channels_near_the_float_limit_mix_to_their_mean(tmp_path):
    loud = np.float32(3e38) * np.array([[1, 1], [1, -1], [-1, -1], [1, 0.5]] * 1000, np.float32)
    path = write_audio(tmp_path / "loud.wav", loud, 48_000, "FLOAT")
    got = np.concatenate(list(audio.blocks(path)))
    assert got.tobytes() == loud.astype(np.float64).mean(axis=1).astype(np.float32).tobytes()


@pytest.mark.parametrize("length", [None, 0, 4000, 10_000, 20_000])
def test_frames_are_one_calls_whatever_length_is_announced(length):
    signal = np.random.default_rng(3).uniform(-0.5, 0.5, 10_000).astype(np.float32)
    got = analyse(np.array_split(signal, 7), 16_000, SMALL, length=length)
    want = SMALL.bank(16_000).resonate(signal, SMALL.hop(16_000))
    assert got.frames.shape == want.shape and got.frames.tobytes() == want.tobytes()


@pytest.mark.parametrize("count", [1, 2999, 3000, 3001, 7777])
def test_picture_columns_are_the_loudest_of_their_frames(monkeypatch, count):
    from marlune_tools import picture

    monkeypatch.setattr(picture, "CHUNK_VALUES", 5 * 7)  # a few runs of frames at a time
    frames = np.random.default_rng(count).standard_normal((count, 7, 2)).astype(np.float32).view(np.complex64)[..., 0]
    got, group = picture._columns(frames)
    assert group == -(-count // 3000)
    padded = np.concatenate([np.abs(frames), np.zeros((-count % group, 7), np.float32)])
    assert got.tobytes() == padded.reshape(-1, group, 7).max(axis=1).tobytes()


def test_command_reads_a_file_like_the_library(tmp_path, test_signal):
    rate, stereo = test_signal
    path = write_audio(tmp_path / "take.flac", stereo[:, 0], rate, "PCM_24")
    done = run_marlune("spectrogram", path, "--notes", "A3:A5", "--out", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert "A4" in done.stdout.splitlines()[1]
    written = npz.load(tmp_path / "out" / "take.npz")
    assert written.frames.tobytes() == analyse_file(path, SMALL).frames.tobytes()
    assert (tmp_path / "out" / "take.png").stat().st_size > 10_000


def test_silence_and_quiet_sound_stay_dark_on_a_fixed_scale(tmp_path):
    from marlune_tools.picture import figure

    rate = 48_000
    silence = write_audio(tmp_path / "silence.wav", np.zeros(rate, np.float32), rate, "PCM_16")
    done = run_marlune("spectrogram", silence, "--out", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == ["  no notes"]
    quiet = 0.01 * np.sin(2 * np.pi * 440 * np.arange(rate) / rate)  # -40 dB re full scale
    for spectrogram, loudest in [(npz.load(tmp_path / "silence.npz"), FLOOR_DB),
                                 (analyse([quiet.astype(np.float32)], rate, Settings()), -40.0)]:
        image = figure(spectrogram).axes[0].images[0]
        assert (image.norm.vmin, image.norm.vmax) == (FLOOR_DB, 0.0)
        assert image.get_array().max() == pytest.approx(loudest, abs=0.5)


def nan_at(d, second):
    samples = np.zeros(48_000, np.float32)
    samples[int(second * 48_000)] = np.nan
    return write_audio(d / "nan.wav", samples, 48_000, "FLOAT")


def text(path):
    path.write_text("not audio\n")
    return path


def in_folder(d, make):
    make(d)
    return d


BAD_INPUTS = {
    "empty file": (lambda d: (d / "empty.wav").write_bytes(b"") or d / "empty.wav", "empty.wav: empty file"),
    "text named .wav": (lambda d: text(d / "notes.wav"), "notes.wav: not an audio file"),
    "missing file": (lambda d: d / "missing.wav", "missing.wav: no such file"),
    "no samples": (lambda d: write_audio(d / "nothing.wav", np.zeros(0), 48_000), "nothing.wav: contains no samples"),
    "shorter than one hop": (lambda d: write_audio(d / "short.wav", np.zeros(100), 48_000), "short.wav: shorter than one hop"),
    "bad among good": (lambda d: in_folder(d, lambda d: [write_audio(d / "a.wav", np.zeros(4800), 48_000),
                                                         (d / "b.wav").write_text("x")]), "b.wav: not an audio file"),
    "NaN sample": (lambda d: nan_at(d, 0.75), "nan.wav: sample 36000 (at 0.750 s) is not a finite number"),
    "FIFO": (lambda d: os.mkfifo(d / "pipe.wav") or d / "pipe.wav", "pipe.wav: is a FIFO"),
    "every channel above Nyquist": (lambda d: write_audio(d / "slow.wav", np.zeros(400), 40), "at or above the Nyquist"),
    "newline in the name": (lambda d: text(d / "a\nb.wav"), "a\\nb.wav: not an audio"),
    "symlink loop only": (lambda d: os.symlink("loop.wav", d / "loop.wav") or d, "no audio files in this folder"),
    "header longer than the data": (lambda d: broken_flac(d / "long.flac", BLOCK_FRAMES + 1000, 16_000, "lying"),
                                    f"long.flac: read failed after {BLOCK_FRAMES} samples"),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_gives_one_line_status_2_and_no_output(tmp_path, case):
    inputs = tmp_path / "in"
    inputs.mkdir()
    make, cause = BAD_INPUTS[case]
    target = make(inputs)
    before = tree(tmp_path)
    assert_refused(run_marlune("spectrogram", target, "--out", tmp_path / "out"), cause)
    assert tree(tmp_path) == before


@pytest.mark.parametrize(
    "args", [["--notes", "H2:C8"], ["--notes", "C5:C4"], ["--hop-ms", "0"], ["--bins-per-semitone", "0"],
             ["--tuning", "-440"], ["--frobnicate"], ["--notes", "C999:C1000"], ["--tuning", "1e300"],
             ["--tuning", "1e-300"], ["--tuning", "0.001"], ["--notes", "C4:C20"], ["--hop-ms", "inf"],
             ["--hop-ms", "nan"], ["--tau-ms", "inf"], ["--tau-ms", "1e9"], ["--tau-ms", "-1"],
             ["--bins-per-semitone", "100000"], ["--bins-per-semitone", "99999999999999999999"],
             ["--notes", "C-1000:C1000"], ["--threshold-db", "nan"], ["--threshold-db", "1e308"], ["--scheduler", ""],
             ["--png", "a.png", "--out", "o"], ["--out", ""]],
)
def test_bad_options_give_one_line_and_status_2(tmp_path, args):
    assert_refused(run_marlune("spectrogram", *args, cwd=tmp_path))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(("command", "option"), [("spectrogram", "--tau-ms"), ("spectrogram", "--hop-ms"),
                                                  ("notes", "--hop-ms")])
@pytest.mark.parametrize("demo", [False, True])
def test_times_below_one_sample_are_refused_for_the_file(tmp_path, command, option, demo):
    # 0.02 ms is 0.96 samples at 48 kHz (the demo's rate too): a hop would round to one sample.
    path = [] if demo else [write_audio(tmp_path / "a.wav", np.zeros(4800), 48_000)]
    done = run_marlune(command, *path, option, "0.02", "--out", tmp_path / "o")
    assert_refused(done, f"{option} 0.02 is shorter than one sample")
    assert not (tmp_path / "o").exists()


def test_channels_above_a_files_nyquist_are_left_out_with_a_warning(tmp_path):
    rate = 8000
    tone = 0.5 * np.sin(2 * np.pi * 440 * np.arange(rate) / rate)
    done = run_marlune("spectrogram", write_audio(tmp_path / "phone.wav", tone, rate), "--out", tmp_path)
    assert done.returncode == 0 and done.stderr.count("\n") == 1 and "Nyquist frequency (4000 Hz)" in done.stderr
    spectrogram = npz.load(tmp_path / "phone.npz")
    assert spectrogram.frequencies.max() < rate / 2 <= marlune.midi_to_hz(len(spectrogram.notes) + 21, 440.0)
    assert done.stdout.splitlines()[1].split()[-1] == "A4"


def test_keep_going_skips_and_lists_bad_files_and_exits_1(tmp_path):
    for name in ("a", "c"):
        write_audio(tmp_path / f"{name}.wav", np.zeros(4800), 48_000)
    (tmp_path / "b.wav").write_text("x")
    nan_at(tmp_path, 0.5)
    done = run_marlune("spectrogram", tmp_path, "--out", tmp_path / "out", "--keep-going")
    assert done.returncode == 1 and sorted(os.listdir(tmp_path / "out")) == ["a.npz", "a.png", "c.npz", "c.png"]
    assert [line.split(":")[0] for line in done.stderr.splitlines()] == ["marlune"] * 2
    assert "b.wav: not an audio file" in done.stderr and "nan.wav: sample 24000" in done.stderr


@pytest.mark.parametrize("command", ["spectrogram", "notes"])
@pytest.mark.parametrize("bad", ["cut.flac", "nan.wav"])
def test_skipped_files_are_named_as_given(tmp_path, command, bad):
    for name in ("a", "c"):
        write_audio(tmp_path / f"{name}.wav", np.zeros(4800), 48_000)
    if bad == "cut.flac":
        broken_flac(tmp_path / bad, 48_000, 48_000, "cut")
    else:
        nan_at(tmp_path, 0.5)
    done = run_marlune(command, "a.wav", bad, "c.wav", "--out", "out", "--keep-going", cwd=tmp_path)
    assert done.returncode == 1 and len(os.listdir(tmp_path / "out")) == 4, done.stderr
    assert done.stderr.startswith(f"marlune: skipped {bad}: ") and done.stderr.count("\n") == 1, done.stderr


@pytest.mark.parametrize("command", ["spectrogram", "notes"])
@pytest.mark.parametrize("again", ["a.wav", "./a.wav", "."])
def test_a_file_named_twice_is_analysed_once(tmp_path, command, again):
    write_audio(tmp_path / "a.wav", np.zeros(4800), 48_000)
    done = run_marlune(command, "a.wav", again, "--out", "out", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert [line.split(":")[0] for line in done.stdout.splitlines() if not line.startswith(" ")] == ["a.wav"]
    assert len(os.listdir(tmp_path / "out")) == 2


LONG = "x" * 248


@pytest.mark.parametrize(("names", "stems"), [
    ([b"take.wav", b"take.flac"], [b"take.wav", b"take.flac"]),  # same stem: the whole name
    ([LONG.encode() + b".wav"], [LONG.encode()]),  # the temporary name would be too long
    ([b"caf\xe9.wav", b"b\nc.wav"], [b"caf\xe9", b"b\nc"]),  # not UTF-8; a newline
])
def test_any_input_names_give_their_own_outputs(tmp_path, names, stems):
    folder = os.fsencode(tmp_path)
    for name in names:
        os.rename(write_audio(tmp_path / "w.wav", np.zeros(4800), 48_000), os.path.join(folder, name))
    done = run_marlune("spectrogram", *[os.path.join(folder, name) for name in names], "--out", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(os.path.join(folder, b"out"))) == sorted(s + k for s in stems for k in (b".npz", b".png"))
    assert len(done.stdout.splitlines()) == 2 * len(names)  # one line per file, and its notes


def test_library_errors_name_file_and_cause(tmp_path):
    with pytest.raises(FileError, match=r"^.*gone\.flac: no such file"):
        analyse_file(tmp_path / "gone.flac", SMALL)


@pytest.mark.parametrize(("blocked", "args"), [("soundfile", []), ("matplotlib", []),
                                               ("distributed", ["x.wav", "--scheduler", "tcp://127.0.0.1:1"])])
def test_missing_extra_is_named(tmp_path, blocked, args):
    # None in sys.modules makes the import fail as if the package were not installed.
    code = f"import sys; sys.modules[{blocked!r}] = None; from marlune_tools.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", code, "spectrogram", *args], capture_output=True, text=True,
                          cwd=tmp_path, timeout=120)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f'marlune: {blocked} is missing; install the tools: pip install "marlune[tools]"\n'


@pytest.mark.parametrize("loading", ["numpy", "marlune", "matplotlib"])
def test_ctrl_c_while_loading(tmp_path, loading):
    # Ctrl-C as the console script loads the command's modules: one line and status 130.
    code = ("import sys\n"
            "class Interrupt:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            f"        if name == {loading!r}: raise KeyboardInterrupt\n"
            "sys.meta_path.insert(0, Interrupt())\n"
            "from marlune_tools.console import main\n"
            "sys.exit(main())")
    done = subprocess.run([sys.executable, "-c", code, "spectrogram"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (130, "", "marlune: interrupted\n")


def device(path):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # the null device's numbers


REFUSED_OUTPUTS = {
    "folder": lambda p: p.mkdir(),
    "FIFO": os.mkfifo,
    "device": device,
    "link to a folder": lambda p: (p.parent / "dir").mkdir() or os.symlink("dir", p),
    "link to a device": lambda p: device(p.parent / "dev") or os.symlink("dev", p),
}


@pytest.mark.parametrize("kind", REFUSED_OUTPUTS)
def test_an_output_that_is_not_a_regular_file_is_refused_and_left_alone(tmp_path, kind):
    source = write_audio(tmp_path / "a.wav", np.zeros(4800), 48_000)
    REFUSED_OUTPUTS[kind](tmp_path / "t.png")
    before = tree(tmp_path)
    assert_refused(run_marlune("spectrogram", source, "--png", tmp_path / "t.png"), "t.png: is a")
    assert tree(tmp_path) == before


def test_replaced_outputs_keep_permissions_and_links_and_touch_nothing_else(tmp_path):
    source = write_audio(tmp_path / "a.wav", np.zeros(4800), 48_000)
    (tmp_path / "t.npz").write_bytes(b"old")
    os.chmod(tmp_path / "t.npz", 0o600)
    (tmp_path / "real.png").write_bytes(b"old")
    os.symlink("real.png", tmp_path / "t.png")
    before = tree(tmp_path)
    done = run_marlune("spectrogram", source, "--png", tmp_path / "t.png")
    assert done.returncode == 0, done.stderr
    after = tree(tmp_path)
    assert {name for name in after if after[name] != before.get(name)} == {"t.npz", "real.png"}
    assert stat.S_IMODE(after["t.npz"][0]) == 0o600 and os.readlink(tmp_path / "t.png") == "real.png"
    assert (tmp_path / "real.png").read_bytes()[:4] == b"\x89PNG"
