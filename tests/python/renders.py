"""Recordings that nobody on the project played: MIDI pieces rendered with a sampled instrument set.

Each piece is a list of notes written here, stored as a Standard MIDI File through ``mido`` and
rendered by fluidsynth with the FluidR3 General MIDI soundfont, at a fixed sample rate, with
chorus and reverb off, as 32-bit floats: the same piece gives the same samples on every run. The
level is the synthesiser's own (nothing is normalised); a piece may ask for noise at a given
signal-to-noise ratio, from a seeded generator.

Shared by the tests (small floors) and the benchmark (the full table).
"""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

SAMPLE_RATE = 44_100
SOUNDFONT = Path("/usr/share/sounds/sf2/FluidR3_GM.sf2")
TICKS_PER_BEAT = 1000
TEMPO = 1_000_000  # microseconds per beat: one tick is one millisecond
TAIL = 1.0  # seconds of release after the last note-off

# General MIDI programs, numbered from 0.
PIANO, VIOLIN, CELLO, TRUMPET, FLUTE, CLARINET, OBOE, GUITAR, ORGAN, STRINGS = 0, 40, 42, 56, 73, 71, 68, 24, 19, 48
CHOIR, BASSOON = 52, 70
ELECTRIC_PIANO, HARP, BASS, VIOLA, HORN, ALTO_SAX = 4, 46, 32, 41, 60, 65


@dataclass(frozen=True)
class Note:
    onset: float  # s
    offset: float  # s
    pitch: int  # MIDI note number
    velocity: int = 90
    program: int = PIANO


@dataclass(frozen=True)
class Piece:
    name: str
    notes: tuple[Note, ...]
    snr_db: float | None = None  # white noise at this ratio to the signal's power
    vibrato: bool = False  # modulation wheel up on every channel
    monophonic: bool = False
    tags: tuple[str, ...] = field(default=())

    @property
    def reference(self) -> tuple[np.ndarray, np.ndarray]:
        """(intervals in s, pitches in Hz) as ``mir_eval.transcription`` takes them."""
        notes = sorted(self.notes, key=lambda n: (n.onset, n.pitch))
        intervals = np.array([[n.onset, n.offset] for n in notes])
        hz = 440.0 * 2.0 ** ((np.array([n.pitch for n in notes]) - 69) / 12)
        return intervals, hz


def available() -> str | None:
    """None if pieces can be rendered here, else what is missing."""
    if shutil.which("fluidsynth") is None:
        return "fluidsynth is not installed (Debian package fluidsynth)"
    if not SOUNDFONT.exists():
        return f"{SOUNDFONT} is missing (Debian package fluid-soundfont-gm)"
    return None


def write_midi(piece: Piece, path: str | os.PathLike[str]) -> None:
    """The piece as a type-1 MIDI file: one track per program, each on its own channel."""
    import mido

    midi = mido.MidiFile(type=1, ticks_per_beat=TICKS_PER_BEAT)
    midi.tracks.append(mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=TEMPO, time=0)]))
    programs = sorted({note.program for note in piece.notes})
    for channel, program in enumerate(programs):
        channel = channel if channel < 9 else channel + 1  # channel 10 is drums
        events: list[tuple[int, int, mido.Message]] = []
        for note in piece.notes:
            if note.program != program:
                continue
            on, off = round(note.onset * 1000), round(note.offset * 1000)
            events.append((on, 1, mido.Message("note_on", channel=channel, note=note.pitch, velocity=note.velocity)))
            events.append((off, 0, mido.Message("note_off", channel=channel, note=note.pitch, velocity=0)))
        events.sort(key=lambda event: (event[0], event[1]))  # at one instant, note-offs first
        track = mido.MidiTrack([mido.Message("program_change", channel=channel, program=program, time=0)])
        if piece.vibrato:
            track.append(mido.Message("control_change", channel=channel, control=1, value=70, time=0))
        now = 0
        for tick, _, message in events:
            track.append(message.copy(time=tick - now))
            now = tick
        midi.tracks.append(track)
    midi.save(os.fspath(path))


# A room for `render(..., room=True)`: fluidsynth's reverb, a middling hall. Music is recorded
# in rooms, where each note's pitch and partials ring on for a second or more after it ends.
ROOM = ("-R", "1", "-o", "synth.reverb.room-size=0.6", "-o", "synth.reverb.level=0.7")


def render(piece: Piece, cache: str | os.PathLike[str] | None = None, *, room: bool = False) -> np.ndarray:
    """The piece's samples, float32 mono at `SAMPLE_RATE`; cached in `cache` by content. Dry, or
    with `room` as heard in a room."""
    import soundfile

    key = hashlib.sha256((repr(piece) + (repr(ROOM) if room else "")).encode()).hexdigest()[:16]
    folder = Path(cache) if cache is not None else None
    cached = folder / f"{piece.name}{'-room' if room else ''}-{key}.wav" if folder is not None else None
    if cached is not None and cached.exists():
        samples, _ = soundfile.read(cached, dtype="float32")
        return samples
    with tempfile.TemporaryDirectory() as scratch:
        midi, wav = Path(scratch) / "piece.mid", Path(scratch) / "piece.wav"
        write_midi(piece, midi)
        command = [
            "fluidsynth", "-n", "-i", "-q",
            "-r", str(SAMPLE_RATE),
            *(ROOM if room else ("-R", "0")), "-C", "0",  # no chorus; no reverb but in a room
            "-o", "synth.cpu-cores=1",
            "-O", "float", "-T", "wav", "-F", str(wav),
            str(SOUNDFONT), str(midi),
        ]
        subprocess.run(command, check=True, capture_output=True)
        stereo, rate = soundfile.read(wav, dtype="float32", always_2d=True)
    assert rate == SAMPLE_RATE
    samples = stereo.mean(axis=1, dtype=np.float32)
    end = max(note.offset for note in piece.notes) + TAIL
    samples = samples[: int(end * SAMPLE_RATE)]
    if piece.snr_db is not None:
        rng = np.random.default_rng(int(key, 16) % 2**32)
        power = float(np.mean(samples.astype(np.float64) ** 2))
        noise = rng.standard_normal(len(samples)) * np.sqrt(power / 10.0 ** (piece.snr_db / 10.0))
        samples = (samples + noise).astype(np.float32)
    if cached is not None:
        cached.parent.mkdir(parents=True, exist_ok=True)
        partial = cached.with_suffix(".part")
        soundfile.write(partial, samples, SAMPLE_RATE, subtype="FLOAT", format="WAV")
        os.replace(partial, cached)
    return samples


# The pieces. Melodies come from seeded random walks over a scale, so that they are music-like
# but written by no one; `seed` picks a different walk for the same kind of piece.

MAJOR = (0, 2, 4, 5, 7, 9, 11)


def _walk(seed: int, count: int, low: int, high: int) -> list[int]:
    rng = np.random.default_rng(seed)
    keys = [p for p in range(low, high + 1) if p % 12 in MAJOR]
    i = int(rng.integers(len(keys) // 3, 2 * len(keys) // 3))
    out = []
    for _ in range(count):
        i = int(np.clip(i + rng.choice([-3, -2, -1, -1, 1, 1, 2, 3, 4]), 0, len(keys) - 1))
        out.append(keys[i])
    return out


def melody(name: str, program: int, low: int, high: int, *, seed: int, count: int = 16, beat: float = 0.3,
           legato: float = 0.9, velocity: int = 90, start: float = 0.2, **kw: object) -> Piece:
    """A monophonic line of `count` notes of one to two beats."""
    rng = np.random.default_rng(seed + 1)
    notes, t = [], start
    for pitch in _walk(seed, count, low, high):
        length = beat * float(rng.choice([1, 1, 1, 2]))
        notes.append(Note(t, t + length * legato, pitch, velocity, program))
        t += length
    return Piece(name, tuple(notes), monophonic=True, **kw)  # type: ignore[arg-type]


def two_voices(name: str, seed: int, programs: tuple[int, int] = (PIANO, PIANO)) -> Piece:
    upper = melody("u", programs[0], 67, 84, seed=seed, count=16, beat=0.25).notes
    lower = melody("l", programs[1], 43, 60, seed=seed + 7, count=10, beat=0.4).notes
    return Piece(name, tuple(upper + lower))


def chords_and_melody(name: str, seed: int, program: int = PIANO) -> Piece:
    rng = np.random.default_rng(seed)
    roots = [48, 53, 55, 48, 57, 50, 55, 48]
    notes: list[Note] = []
    for i, root in enumerate(roots[: 4 + int(rng.integers(0, 5))]):
        third = 4 if root % 12 in (0, 5, 7) else 3
        for pitch in (root, root + third, root + 7):
            notes.append(Note(0.2 + i, 1.1 + i, pitch, 60, program))
    line = melody("m", program, 72, 88, seed=seed + 3, count=2 * (len(notes) // 3), beat=0.5, velocity=95)
    return Piece(name, tuple(notes) + line.notes)


def fast(name: str, seed: int, program: int = PIANO) -> Piece:
    """Notes of 90 ms, repeated pitches and a trill among them."""
    pitches = _walk(seed, 12, 60, 79) + [72, 72, 72, 74, 72, 74, 72, 74]
    notes = tuple(Note(0.2 + 0.1 * i, 0.29 + 0.1 * i, p, 90, program) for i, p in enumerate(pitches))
    return Piece(name, notes, monophonic=True)


def extremes(name: str) -> Piece:
    pitches = (21, 23, 24, 28, 33, 96, 100, 103, 105, 108)
    notes = tuple(Note(0.2 + 0.8 * i, 0.9 + 0.8 * i, p, 90, PIANO) for i, p in enumerate(pitches))
    return Piece(name, notes, monophonic=True)


def repeated(name: str, program: int, low: int, high: int, *, seed: int, beat: float = 0.3, times: int = 3) -> Piece:
    """A line whose every key is played `times` times over, each note 90% of its beat: a bass
    player's or a pianist's repeated notes, with the key let go for a moment between them."""
    notes, t = [], 0.2
    for pitch in _walk(seed, 12 // times * 2, low, high):
        for _ in range(times):
            notes.append(Note(t, t + 0.9 * beat, pitch, 85, program))
            t += beat
    return Piece(name, tuple(notes), monophonic=True)


def octaves(name: str, program: int, low: int, high: int, *, seed: int, beat: float = 0.3) -> Piece:
    """A bass line that leaps to each note's octave and back down to the next note."""
    notes, t = [], 0.2
    for pitch in _walk(seed, 8, low, high):
        for key in (pitch, pitch + 12):
            notes.append(Note(t, t + 0.9 * beat, key, 85, program))
            t += beat
    return Piece(name, tuple(notes), monophonic=True)


def dynamics(name: str, program: int, low: int, high: int, *, seed: int, beat: float = 0.4) -> Piece:
    """Phrases of four notes, loud (velocity 110) and soft (35) in turn."""
    notes = tuple(Note(0.2 + beat * i, 0.2 + beat * (i + 0.9), p, 110 if i // 4 % 2 == 0 else 35, program)
                  for i, p in enumerate(_walk(seed, 16, low, high)))
    return Piece(name, notes, monophonic=True)


def doubled(name: str, program: int, low: int, high: int, *, seed: int, beat: float = 0.4) -> Piece:
    """A tune played in octaves: every note struck together with the note an octave above."""
    notes = tuple(Note(0.2 + beat * i, 0.2 + beat * (i + 0.9), p + octave, 85, program)
                  for i, p in enumerate(_walk(seed, 12, low, high)) for octave in (0, 12))
    return Piece(name, notes)


def development() -> list[Piece]:
    """The pieces the transcriber was developed with."""
    return [
        melody("piano", PIANO, 48, 84, seed=1),
        melody("flute", FLUTE, 62, 93, seed=2),
        melody("violin-vibrato", VIOLIN, 55, 88, seed=3, vibrato=True),
        melody("cello", CELLO, 36, 60, seed=4, beat=0.45),
        melody("trumpet", TRUMPET, 55, 79, seed=5),
        two_voices("two-voices", seed=6),
        chords_and_melody("triads-melody", seed=7),
        fast("90ms-notes", seed=8),
        extremes("piano-extremes"),
        melody("piano-quiet", PIANO, 48, 84, seed=9, velocity=25),
        melody("piano-noise-20db", PIANO, 48, 84, seed=10, snr_db=20.0),
        melody("clarinet-low", CLARINET, 50, 74, seed=31),
        chords_and_melody("organ-chords", seed=32, program=ORGAN),
        chords_and_melody("choir-pad", seed=33, program=CHOIR),
        melody("guitar-fast", GUITAR, 40, 76, seed=34, beat=0.18),
        fast("90ms-violin", seed=35, program=VIOLIN),
        melody("bassoon", BASSOON, 34, 60, seed=36),
        two_voices("clarinet-guitar", seed=37, programs=(CLARINET, GUITAR)),
    ]


def held_out() -> list[Piece]:
    """Pieces of the same kinds, scored only once the transcriber was settled."""
    return [
        melody("clarinet", CLARINET, 50, 80, seed=21),
        melody("oboe", OBOE, 60, 86, seed=22),
        melody("violin-low", VIOLIN, 55, 76, seed=23, vibrato=True, beat=0.4),
        melody("guitar", GUITAR, 40, 72, seed=24),
        two_voices("flute-cello", seed=25, programs=(FLUTE, CELLO)),
        chords_and_melody("triads-strings", seed=26, program=STRINGS),
        fast("90ms-flute", seed=27, program=FLUTE),
        melody("trumpet-quiet-noisy", TRUMPET, 55, 79, seed=28, velocity=40, snr_db=20.0),
    ]


def wider() -> list[Piece]:
    """Other instruments and other seeds of the same kinds, added when the transcriber that
    did well on the first two sets did much worse on them: every piece counts in the score."""
    return [
        melody("piano-2", PIANO, 45, 86, seed=101),
        melody("viola", VIOLA, 50, 78, seed=102, vibrato=True),
        melody("horn", HORN, 41, 70, seed=103, beat=0.4),
        melody("alto-sax", ALTO_SAX, 49, 81, seed=104),
        melody("bass", BASS, 28, 55, seed=105, beat=0.4),
        chords_and_melody("triads-piano", seed=106),
        chords_and_melody("organ-chords-2", seed=107, program=ORGAN),
        chords_and_melody("strings-chords", seed=108, program=STRINGS),
        chords_and_melody("choir-chords", seed=109, program=CHOIR),
        two_voices("oboe-bassoon", seed=110, programs=(OBOE, BASSOON)),
        fast("90ms-harp", seed=111, program=HARP),
        melody("electric-piano", ELECTRIC_PIANO, 48, 84, seed=112),
        fast("90ms-trumpet", seed=113, program=TRUMPET),
        melody("cello-2", CELLO, 36, 62, seed=114, beat=0.45),
        melody("bassoon-2", BASSOON, 34, 62, seed=115),
        two_voices("violin-cello", seed=116, programs=(VIOLIN, CELLO)),
    ]


def shapes() -> list[Piece]:
    """What the other sets' pieces never do, though music does it all the time: one key played
    again and again, leaps of an octave, loud and soft phrases, a tune doubled in octaves, and a
    line alone on a choir or an organ (the other sets have them only in chords)."""
    return [
        repeated("repeats-piano", PIANO, 40, 64, seed=201),
        repeated("repeats-guitar", GUITAR, 45, 69, seed=202, beat=0.25),
        repeated("repeats-cello", CELLO, 36, 60, seed=203, beat=0.4, times=2),
        repeated("repeats-flute", FLUTE, 65, 88, seed=204, beat=0.25),
        octaves("octaves-piano", PIANO, 36, 55, seed=205),
        octaves("octaves-bass", BASS, 28, 45, seed=206, beat=0.35),
        octaves("octaves-harp", HARP, 40, 60, seed=207),
        dynamics("dynamics-piano", PIANO, 48, 79, seed=208),
        dynamics("dynamics-violin", VIOLIN, 55, 81, seed=209),
        doubled("octave-tune-piano", PIANO, 48, 72, seed=210),
        melody("choir-line", CHOIR, 48, 67, seed=211, beat=0.5),
        melody("organ-line", ORGAN, 40, 64, seed=212, beat=0.4),
    ]
