"""The spectrogram command and what it stands on: audio files, the demo, pictures, .npz files."""

import subprocess
import sys

import numpy as np
import pytest
from conftest import require, run_marlune, write_audio

from marlune_tools import FileError, demo, npz
from marlune_tools.analysis import analyse, analyse_file
from marlune_tools.notes import Scale, note_number
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import FLOOR_DB

require("soundfile")
require("matplotlib")


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    """The main job: the command with no input, as the README runs it."""
    folder = tmp_path_factory.mktemp("demo")
    done = run_marlune("spectrogram", "--png", folder / "out.png")
    assert done.returncode == 0, done.stderr
    return done, folder


def test_main_job_writes_picture_and_frames_and_names_the_notes(demo_run):
    done, folder = demo_run
    assert (folder / "out.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert done.stderr == ""
    chord_line = next(line for line in done.stdout.splitlines() if line.strip().startswith("0.00"))
    assert chord_line.split("s", 1)[1].split() == ["A3", "C4", "E4"]


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
    assert [line.split()[-1] for line in done.stdout.splitlines()[1:]] == ["-"]
    quiet = 0.01 * np.sin(2 * np.pi * 440 * np.arange(rate) / rate)  # -40 dB re full scale
    for spectrogram, loudest in [(npz.load(tmp_path / "silence.npz"), FLOOR_DB),
                                 (analyse([quiet.astype(np.float32)], rate, Settings()), -40.0)]:
        image = figure(spectrogram).axes[0].images[0]
        assert (image.norm.vmin, image.norm.vmax) == (FLOOR_DB, 0.0)
        assert image.get_array().max() == pytest.approx(loudest, abs=0.5)


BAD_INPUTS = {
    "empty file": lambda d: (d / "empty.wav").write_bytes(b""),
    "text named .wav": lambda d: (d / "notes.wav").write_text("not audio\n"),
    "missing file": lambda d: None,
    "no samples": lambda d: write_audio(d / "nothing.wav", np.zeros(0, np.float32), 48_000),
    "shorter than one hop": lambda d: write_audio(d / "short.wav", np.zeros(100, np.float32), 48_000),
    "bad among good": lambda d: [write_audio(d / "a.wav", np.zeros(4800, np.float32), 48_000),
                                 (d / "b.wav").write_text("x")],
}
EXPECTED_CAUSE = {
    "empty file": "empty.wav: empty file",
    "text named .wav": "notes.wav: not an audio file",
    "missing file": "missing.wav: no such file",
    "no samples": "nothing.wav: contains no samples",
    "shorter than one hop": "short.wav: shorter than one hop",
    "bad among good": "b.wav: not an audio file",
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_gives_one_line_status_2_and_no_output(tmp_path, case):
    inputs = tmp_path / "in"
    inputs.mkdir()
    BAD_INPUTS[case](inputs)
    target = inputs / "missing.wav" if case == "missing file" else inputs
    if case not in ("missing file", "bad among good"):
        target = next(inputs.iterdir())
    done = run_marlune("spectrogram", target, "--out", tmp_path / "out")
    assert done.returncode == 2
    assert done.stdout == "" and done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert done.stderr.startswith("marlune: ") and EXPECTED_CAUSE[case] in done.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize(
    "args", [["--notes", "H2:C8"], ["--notes", "C5:C4"], ["--hop-ms", "0"], ["--bins-per-semitone", "0"],
             ["--tuning", "-440"], ["--frobnicate"]],
)
def test_bad_options_give_one_line_and_status_2(tmp_path, args):
    done = run_marlune("spectrogram", *args, "--out", tmp_path)
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1), done.stderr
    assert list(tmp_path.iterdir()) == []


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
