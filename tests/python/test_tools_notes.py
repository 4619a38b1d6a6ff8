"""Which notes are played: the tracker on rendered and synthesised music, streaming, the command."""

import csv
import math
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest
from conftest import assert_refused, require, run_marlune, write_audio

import renders
from marlune_tools import demo
from marlune_tools import transcribe as transcribe_module
from marlune_tools.notes_command import CSV_HEADER, Options, transcribe_blocks
from marlune_tools.stream import FrameStream
from marlune_tools.transcribe import NoteTracker, bank_for, features, transcribe

mido = require("mido")
mir_eval = require("mir_eval")
require("soundfile")

PIANO = np.arange(21, 109, dtype=np.float64)


def onset_f1(piece, events):
    ref_intervals, ref_hz = piece.reference
    est = np.array([[e.onset, e.offset] for e in events]).reshape(-1, 2)
    hz = 440.0 * 2.0 ** ((np.array([e.pitch for e in events]) - 69) / 12)
    return mir_eval.transcription.precision_recall_f1_overlap(
        ref_intervals, ref_hz, est, hz, onset_tolerance=0.05, offset_ratio=None)[2]


# Floors well under the figures of the benchmark, so that only a real regression fails.
@pytest.mark.parametrize(("piece", "floor"), [
    (renders.melody("piano", renders.PIANO, 48, 84, seed=1), 0.7),
    (renders.melody("trumpet", renders.TRUMPET, 55, 79, seed=5), 0.8),
    (renders.two_voices("two-voices", seed=6), 0.8),
    (renders.fast("90ms-notes", seed=8), 0.8),
    # Quick notes whose partials share channels with the notes before them, which rise first.
    (renders.fast("90ms-flute", seed=27, program=renders.FLUTE), 0.8),
    (renders.melody("piano-quiet", renders.PIANO, 48, 84, seed=9, velocity=25), 0.8),
    # Strong partials that sound before the fundamental's channel has grown.
    (renders.melody("violin-vibrato", renders.VIOLIN, 55, 88, seed=3, vibrato=True), 0.85),
    (renders.melody("clarinet-low", renders.CLARINET, 50, 74, seed=31), 0.8),
    # Held chords under a melody: the chords' partials, uncovered as they decay, are no notes.
    (renders.chords_and_melody("triads-melody", seed=7), 0.7),
    # Brass: upper partials that swell and waver after the attack are no notes.
    (renders.melody("horn", renders.HORN, 41, 70, seed=103, beat=0.4), 0.8),
], ids=lambda value: getattr(value, "name", ""))
def test_rendered_pieces_reach_their_floor(render, piece, floor):
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert onset_f1(piece, events) >= floor


def test_an_organs_octave_rank_is_no_note_of_its_own(render):
    # Held organ chords under a melody: a rank an octave up makes each chord note's second
    # partial as loud as its fundamental, and its third nearly so.
    piece = renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    over = [e for e in events
            if not any(n.pitch == e.pitch and abs(n.onset - e.onset) <= 0.05 for n in piece.notes)
            and any(e.pitch - n.pitch in (12, 19) for n in piece.notes if n.onset - 0.05 <= e.onset <= n.offset)]
    assert len(over) <= 11, over


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    # The chord note's octave stood as far over it in the chord before at the same pitch, further
    # than at the pitches beside it.
    (renders.chords_and_melody("strings-chords", seed=108, program=renders.STRINGS), 52, 3.2),
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 59, 2.2),
])
def test_a_chord_notes_octave_as_loud_as_at_that_pitch_before_is_its_partial(render, piece, pitch, onset):
    chord = next(n for n in piece.notes if n.pitch == pitch and n.onset == onset)
    assert not any(n.pitch == pitch + 12 and n.onset < chord.offset and n.offset > onset for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == pitch and abs(e.onset - onset) <= 0.05 for e in events)
    assert [e for e in events if e.pitch == pitch + 12 and onset - 0.05 <= e.onset < chord.offset] == []


@pytest.mark.parametrize(("pitch", "onset"), [(83, 4.7), (72, 8.7)])
def test_an_organs_fifth_rank_over_the_melody_is_no_note_of_its_own(render, pitch, onset):
    # The organ sounds a pure tone a fifth over each melody note, with it and about as loud.
    piece = renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN)
    melody = next(n for n in piece.notes if n.pitch == pitch and n.onset == onset)
    assert not any(n.pitch == pitch + 7 and n.onset < melody.offset and n.offset > onset for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == pitch and abs(e.onset - onset) <= 0.05 for e in events)
    assert [e for e in events if e.pitch == pitch + 7 and abs(e.onset - onset) <= 0.1] == []


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 76, 0.2),
    (renders.melody("flute", renders.FLUTE, 62, 93, seed=2), 79, 0.2),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_fifth_over_a_note_that_fades_before_it_is_decided_is_no_note(render, piece, pitch, onset):
    # The organ's fifth rank over the melody, and the flute's third and sixth partials heard as
    # one tone while its attack settles, are gone before the delay is up.
    assert any(n.pitch == pitch and n.onset == onset for n in piece.notes)
    assert not any(n.pitch == pitch + 7 and abs(n.onset - onset) <= 0.1 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == pitch + 7 and abs(e.onset - onset) <= 0.1] == []


@pytest.mark.parametrize(("piece", "pitch", "onset", "step"), [
    (renders.melody("organ-line", renders.ORGAN, 36, 55, seed=503, beat=0.4), 45, 1.4, 12),
    (renders.melody("organ-line", renders.ORGAN, 36, 55, seed=503, beat=0.4), 52, 8.6, 24),
    (renders.melody("choir-line", renders.CHOIR, 48, 64, seed=511, beat=0.45), 64, 4.7, 12),
    (renders.melody("strings-line", renders.STRINGS, 45, 65, seed=513, beat=0.4), 48, 5.4, 19),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_single_lines_upper_partial_begun_with_its_note_is_no_note(render, piece, pitch, onset, step):
    # The pipes' octave ranks and the voices' formants speak with each note of the line.
    assert any(n.pitch == pitch and abs(n.onset - onset) < 1e-9 for n in piece.notes)
    assert not any(n.pitch == pitch + step and abs(n.onset - onset) <= 0.1 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == pitch + step and abs(e.onset - onset) <= 0.1] == []


def test_a_bowed_low_note_heard_first_in_its_octave_is_not_played_again_as_it_grows(render):
    # D minor from 5.2 s: the strings' F3 speaks in its octave at once, and its fundamental
    # grows only half a second later, under its octave heard since the chord began.
    piece = renders.chords_and_melody("triads-strings", seed=26, program=renders.STRINGS)
    assert any(n.pitch == 53 and n.onset == 5.2 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == 53 and 5.3 < e.onset < 6.1] == []


def loud_then_soft(name, program, base):
    """A line up and down from `base`, loud for four notes and soft for four, each alone."""
    steps = (0, 4, 7, 12, 7, 4, 0, 2)
    return renders.Piece(name, tuple(
        renders.Note(round(0.2 + 0.4 * i, 2), round(0.56 + 0.4 * i, 2), base + step, 110 if i < 4 else 30, program)
        for i, step in enumerate(steps)))


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    (loud_then_soft("organ-low", renders.ORGAN, 36), 43, 1.0),
    (loud_then_soft("strings-low", renders.STRINGS, 36), 38, 3.0),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_low_note_alone_heard_first_in_its_octave_is_one_note_from_its_onset(render, piece, pitch, onset):
    # The pipe's G2 and the bow's soft D2 speak in their octave, their fundamentals growing
    # only within the delay: one note at their own pitch, from where the octave began.
    assert any(n.pitch == pitch and n.onset == onset for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == pitch + 12 and abs(e.onset - onset) <= 0.1] == []
    assert [e for e in events if e.pitch == pitch and abs(e.onset - onset) <= 0.05] != []


def dyads(name, program, base, interval, steps):
    """Two notes `interval` apart, struck or bowed together, on each of `steps` over `base`."""
    return renders.Piece(name, tuple(
        renders.Note(round(0.2 + 0.5 * i, 2), round(0.65 + 0.5 * i, 2), base + step + upper, 80, program)
        for i, step in enumerate(steps) for upper in (0, interval)))


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    # A harp's octave plucked at once: the lower string's channel only settles later.
    (dyads("harp-octaves", renders.HARP, 36, 12, (0, 4, 7, 5, 2, 0)), 55, 1.2),
    # A fifth bowed low: no note under its lower one, on whose twelfth the upper one lies.
    (dyads("strings-fifths", renders.STRINGS, 36, 7, (0, 2, 4, 5, 7)), 29, 1.7),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_note_is_not_handed_to_one_an_octave_under_it_that_is_no_low_note_alone(render, piece, pitch, onset):
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    played = any(n.pitch == pitch and n.onset == onset for n in piece.notes)
    found = [e for e in events if e.pitch == pitch and abs(e.onset - onset) <= (0.05 if played else 0.3)]
    assert found if played else found == []


@pytest.mark.parametrize(("pitch", "onset"), [(74, 0.2), (72, 3.8)])
def test_an_octave_struck_with_its_lower_note_is_a_note(render, pitch, onset):
    # Its strings' partials fall on the lower note's even ones alone, and stand over the odd ones
    # beside them while both ring: no attack of the lower note's partials.
    piece = renders.doubled("octave-tune-piano", renders.PIANO, 48, 72, seed=210)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == pitch and abs(e.onset - onset) <= 0.05], events


def test_a_voice_an_octave_under_a_held_one_is_a_note():
    # Its second partial adds to the held note's channel as it enters.
    partials = [1.0, 0.8, 0.5, 0.3, 0.2]
    samples = harmonic_tone(72, partials, seconds=2.0) + harmonic_tone(60, partials, seconds=1.2, start=1.0)
    events = transcribe_blocks([samples], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(72, 0.2), (60, 1.0)], events


def test_a_voice_a_fifth_over_a_held_one_is_a_note():
    # A second voice with partials of its own enters a fifth over a held note, as loud as it.
    partials = [1.0, 0.5, 0.33, 0.25, 0.2, 0.17]
    samples = harmonic_tone(60, partials, seconds=2.0) + harmonic_tone(67, partials, seconds=1.3, start=0.9)
    events = transcribe_blocks([samples], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(60, 0.2), (67, 0.9)], events


def harmonic_tone(pitch, amplitudes, seconds=1.0, rate=48_000, start=0.2):
    t = np.arange(int((start + seconds + 0.3) * rate)) / rate
    f0 = 440.0 * 2 ** ((pitch - 69) / 12)
    tone = sum(a * np.sin(2 * np.pi * h * f0 * t) for h, a in enumerate(amplitudes, 1) if h * f0 < rate / 2)
    fade = np.clip(np.minimum(t - start, start + seconds - t) / 0.01, 0.0, 1.0)  # 10 ms, as a player would
    return (tone * fade).astype(np.float32)


@pytest.mark.parametrize("level_db", [0, -40, -70])
@pytest.mark.parametrize(("pitch", "amplitudes"), [
    (60, [1.0, 0.5, 0.3, 0.2]),  # C4 with overtones: one note, not C4 C5 G5
    (55, [0.3, 1.0, 0.5, 0.4, 0.2]),  # a second partial stronger than the fundamental
    (50, [0.03, 0.24, 1.0, 0.3, 0.04, 0.06]),  # a formant on the third partial (bassoon): D3, not A4
    (100, [1.0]),  # E7, alone above the others' partials
])
def test_one_tone_is_one_note_at_its_fundamental_at_any_level(pitch, amplitudes, level_db):
    amplitudes = np.array(amplitudes) * 0.5 * 10 ** (level_db / 20)
    events = transcribe_blocks([harmonic_tone(pitch, amplitudes)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]
    assert abs(events[0].onset - 0.2) <= 0.05 and abs(events[0].offset - 1.2) <= 0.05
    # The General MIDI square law on the partials' power, full scale 127: the same touch gives
    # the same velocity whatever the timbre.
    hz = 440.0 * 2 ** ((pitch - 69) / 12) * np.arange(1, len(amplitudes) + 1)
    power = float(np.sum(amplitudes[(hz < 24_000)[: len(amplitudes)]] ** 2))
    assert abs(events[0].velocity - max(127 * power ** 0.25, 1)) <= 1


def test_a_loud_accent_does_not_silence_the_recording_for_good():
    # One loud note (or a knock on a live input's microphone), then a melody 50 dB softer.
    partials = np.array([1.0, 0.5, 0.3, 0.2])
    samples = harmonic_tone(57, 0.5 * partials, seconds=0.3, start=0.1)
    melody = [(64, 11.0), (67, 11.6), (72, 12.2)]
    samples = np.concatenate([samples, np.zeros(48_000 * 13 - len(samples), np.float32)])
    for pitch, start in melody:
        tone = harmonic_tone(pitch, 0.5 * 10 ** (-50 / 20) * partials, seconds=0.5, start=start)
        samples[: len(tone)] += tone
    events = transcribe_blocks([samples], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(57, 0.1)] + melody, events


@pytest.mark.parametrize("piece", [p for p in renders.shapes() if p.name.startswith("dynamics")],
                         ids=lambda p: p.name)
def test_velocities_follow_the_touch_on_every_key(render, piece):
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    heard = {}
    for note in piece.notes:
        found = [e.velocity for e in events if e.pitch == note.pitch and abs(e.onset - note.onset) <= 0.05]
        heard.setdefault(note.velocity, []).extend(found)
    loud, soft = heard[110], heard[35]
    assert len(loud) >= 6 and len(soft) >= 4
    # One touch, one velocity on every key; and the synthesizer's square law gives back the
    # played ratio of the loud phrases to the soft ones.
    assert max(loud) <= 1.5 * min(loud) and max(soft) <= 1.5 * min(soft)
    assert 2.0 <= np.median(loud) / np.median(soft) <= 5.0


def offset(level, hz, seconds=2.0, rate=48_000):
    """A DC offset of `level` that rises from 0 without a step (over 0.2 s), or, at `hz` > 0, a
    drift that swings from 0 to `level` and back as slowly."""
    t = np.arange(int(seconds * rate)) / rate
    if not hz:
        rise = np.clip(t / 0.2, 0.0, 1.0)
        return level * rise * rise * (3.0 - 2.0 * rise)
    return level * (0.5 - 0.5 * np.cos(2.0 * np.pi * hz * t))


@pytest.mark.parametrize("level", [1e-3, 0.5, -0.9])
@pytest.mark.parametrize("hz", [0.0, 0.3, 3.0])
def test_an_offset_or_a_slow_drift_alone_is_no_note(level, hz):
    # Its leak falls smoothly from the lowest channel up, so it peaks there at any level.
    events = transcribe_blocks([offset(level, hz).astype(np.float32)], 48_000, Options())
    assert events == []


@pytest.mark.parametrize("rate", [44_100, 48_000, 96_000])
def test_a_click_is_no_note(rate):
    # The low channels, of one time constant, ring after it alike.
    signal = np.zeros(rate * 3 // 2, dtype=np.float32)
    signal[rate // 2] = 0.9
    assert transcribe_blocks([signal], rate, Options()) == []


@pytest.mark.parametrize("lowest", [28, 36])
def test_an_offset_is_no_note_whatever_the_banks_lowest_note(lowest):
    numbers = np.arange(lowest, 97, dtype=np.float64)
    frames = FrameStream(bank_for(numbers, 48_000), 480).push(offset(0.5, 0.3).astype(np.float32))
    assert transcribe(frames, numbers, 48_000, 480) == []


@pytest.mark.parametrize(("pitch", "amplitudes"), [
    (21, [0.01, 0.1, 0.3, 0.2, 0.1]),  # a piano's A0, heard by its partials
    (21, [0.3, 0.1]),  # a synthesiser's A0, heard by its fundamental
    (21, [0.3]),  # a pure A0, over whose partials' channels only leak beats
    (24, [0.3, 0.1, 0.05]),  # an organ pedal's C1
    (28, [0.3, 0.15]),  # a bass's low E
    (28, [0.3]),  # a pure low E: its octave channel holds only the offset's leak
])
def test_a_low_note_over_an_offset_is_heard(pitch, amplitudes):
    signal = harmonic_tone(pitch, amplitudes, start=0.5) + offset(0.3, 0.0, seconds=1.8)
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert any(e.pitch == pitch and abs(e.onset - 0.5) <= 0.05 and e.offset >= 1.4 for e in events), events


def hum(mains, level, seconds, rate=48_000):
    """Mains hum at `mains` Hz and its harmonics, steady from the first sample to the last."""
    t = np.arange(int(seconds * rate)) / rate
    return level * sum(a * np.sin(2 * np.pi * h * mains * t + h) for h, a in enumerate([1, 0.5, 0.3, 0.2, 0.1], 1))


def over_hum(tones, mains):
    """`tones` (pitch, start) of 0.6 s each over a hum 40 dB under them."""
    parts = [harmonic_tone(pitch, [0.3, 0.15, 0.1, 0.05], seconds=0.6, start=start) for pitch, start in tones]
    signal = hum(mains, 0.003, max(map(len, parts)) / 48_000)
    for part in parts:
        signal[: len(part)] += part
    return transcribe_blocks([signal.astype(np.float32)], 48_000, Options())


@pytest.mark.parametrize("mains", [50.0, 60.0])
def test_mains_hum_is_no_note(mains):
    # 50 Hz lies 35 cents over G1, 60 Hz 14 under B1: the hum turns its channels at the mains'
    # frequency, which no note tuned to the scale has.
    melody = [(60, 0.4), (64, 1.1), (67, 1.8), (72, 2.5)]
    events = over_hum(melody, mains)
    assert [e.pitch for e in events] == [pitch for pitch, _ in melody], events


@pytest.mark.parametrize(("mains", "pitch"), [(50.0, 31), (60.0, 35), (60.0, 34), (50.0, 43)])
def test_a_note_in_tune_on_the_hums_semitone_is_heard(mains, pitch):
    events = over_hum([(pitch, 0.5), (pitch, 1.5)], mains)
    assert [e.pitch for e in events] == [pitch, pitch], events
    assert all(abs(e.onset - start) <= 0.06 for e, start in zip(events, [0.5, 1.5])), events


@pytest.mark.parametrize(("pitch", "amplitudes"), [(40, [0.3, 0.1]), (21, [0.01, 0.1, 0.3, 0.2, 0.1])])
def test_a_low_tone_ending_over_an_offset_leaves_no_note_under_it(pitch, amplitudes):
    # Its end rings in the low channels, which then beat with the offset's leak into swells.
    signal = harmonic_tone(pitch, amplitudes, start=0.5) + offset(0.3, 0.0, seconds=1.8)
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch], events


def test_a_low_tone_cut_off_over_an_offset_names_no_note_by_its_ring():
    # The low channels ring after the cut and beat with the offset's leak: no partials of a lower note.
    t = np.arange(int(1.8 * 48_000)) / 48_000
    f0 = 440.0 * 2 ** ((40 - 69) / 12)
    tone = 0.5 * np.sin(2 * np.pi * f0 * t) + 0.2 * np.sin(4 * np.pi * f0 * t)
    signal = tone * ((t >= 0.5) & (t < 1.5)) + 0.2
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [40], events


def test_frames_over_a_drift_one_at_a_time_give_the_events_of_the_whole():
    # The drift is told by how the lowest channel turns over the last frames, kept across pushes:
    # where a quiet drift and its harmonics beat, one frame's turn can be anything.
    signal = harmonic_tone(28, [0.3, 0.15], start=1.0, seconds=0.5) + offset(1e-3, 8.0, seconds=1.8)
    frames = FrameStream(bank_for(PIANO, 48_000), 480).push(signal.astype(np.float32))
    tracker = NoteTracker(PIANO, 48_000, 480)
    events = [event for frame in frames for event in tracker.push(frame[None])]
    whole = transcribe(frames, PIANO, 48_000, 480)
    assert sorted(events + tracker.finish()) == whole and 28 in {e.pitch for e in whole}


@pytest.mark.parametrize("bad", [math.inf, math.nan])
def test_a_bank_fed_a_number_that_is_none_ends_its_notes_quietly(bad):
    # The bank holds it for ever: every channel from there on is silent to the tracker.
    signal = harmonic_tone(60, [0.5, 0.2])
    signal[40_000] = bad
    frames = bank_for(PIANO, 48_000).resonate(signal, 480)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        events = transcribe(frames, PIANO, 48_000, 480)
    assert [(e.pitch, e.onset, round(e.offset, 2)) for e in events] == [(60, 0.2, 0.83)]


@pytest.mark.parametrize("threshold_db", [0.0, 200.0])
def test_frames_past_single_precision_are_silent(threshold_db):
    # A bank's frames are single precision; larger numbers pushed directly overflow a channel's
    # turn, and a raised threshold over them.
    frames = np.zeros((50, 10), complex)
    frames[10:20, 0] = 1e300
    tracker = NoteTracker(np.arange(21, 31), 48_000, 480, threshold_db=threshold_db)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tracker.push(frames) + tracker.finish() == []


@pytest.mark.parametrize("frames", [20, 60])
def test_a_note_that_rang_for_many_minutes_ends(frames):
    # Frames of 50 s: its decay since its loudest asks a fall of thousands of decibels.
    levels = np.zeros((frames + 20, 10), complex)
    levels[5 : 5 + frames, 3] = 0.5 * 10 ** (-0.05 * np.arange(frames) / 20)
    tracker = NoteTracker(np.arange(21, 31), 100.0, 5000)
    events = tracker.push(levels) + tracker.finish()
    assert [(e.pitch, e.onset, e.offset) for e in events] == [(24, 250.0, 250.0 + 50.0 * frames)]


def in_a_room(dry, seed, level, db_per_second=40.0, rate=48_000):
    """`dry` with a room's reverberation: an impulse response of noise that decays at
    `db_per_second` (a diffuse field, whose reflections beat into swells and dips)."""
    t = np.arange(int(60.0 / db_per_second * rate)) / rate
    response = np.random.default_rng(seed).standard_normal(len(t)) * 10.0 ** (-db_per_second * t / 20.0)
    n = len(dry) + len(response)
    wet = np.fft.irfft(np.fft.rfft(dry, n) * np.fft.rfft(response * level / math.sqrt(0.05 * rate), n), n)
    return (dry + wet[: len(dry)]).astype(np.float32)


# Notes 0.8 s apart are held on into their tails, which swell as if struck again; 1.2 s apart
# they have ended, and a swell of a tail, or of its octave, is found as a new note.
@pytest.mark.parametrize(("step", "seed", "level"), [(0.8, 1, 0.3), (0.8, 2, 0.3), (0.8, 3, 0.3),
                                                     (1.2, 4, 0.5), (1.2, 6, 0.3)])
def test_a_melody_in_a_room_gives_no_notes_in_its_tails(step, seed, level):
    # Each note let go keeps sounding in the room, decaying with swells: once the recording's
    # releases have shown how fast its tails fall, a swell in one is no new note.
    pitches, rate = [72, 76, 79, 74, 77, 81, 72, 76, 79, 74], 48_000
    dry = np.zeros(int((step * len(pitches) + 1.5) * rate))
    for k, pitch in enumerate(pitches):
        tone = harmonic_tone(pitch, [0.3, 0.15, 0.1, 0.05], seconds=0.3, rate=rate, start=0.0)
        dry[int((0.2 + step * k) * rate) :][: len(tone)] += tone
    events = transcribe_blocks([in_a_room(dry, seed, level)], rate, Options())
    later = [e for e in events if e.onset > 0.1 + step * 5]
    assert [e.pitch for e in later] == pitches[5:]
    assert all(abs(e.onset - (0.2 + step * k)) <= 0.05 for k, e in enumerate(later, 5))


# A tone whose second partial outweighs its fundamental (a reed, a voice's formant): in the room
# each partial's channel swells and dips on its own, and once the note has ended its octave, or
# its double octave, may swell over the fundamental's fading tail as if played.
@pytest.mark.parametrize(("seed", "level"), [(11, 0.5), (12, 0.3)])
def test_a_partial_swelling_in_a_tail_is_no_note(seed, level):
    pitches, rate, step = [60, 64, 67, 62, 65, 69, 60, 64, 67, 62], 48_000, 1.2
    dry = np.zeros(int((step * len(pitches) + 1.5) * rate))
    for k, pitch in enumerate(pitches):
        tone = harmonic_tone(pitch, [0.2, 0.4, 0.15, 0.1], seconds=0.3, rate=rate, start=0.0)
        dry[int((0.2 + step * k) * rate) :][: len(tone)] += tone
    events = transcribe_blocks([in_a_room(dry, seed, level)], rate, Options())
    # (The first releases show the tails' fall; from then on a swell is told.)
    assert [e.pitch for e in events if e.onset > 0.1 + step * 5] == pitches[5:]


def shaped_tone(pitch, partials, rate=48_000, start=0.2, seconds=1.2):
    """Partials h = 1, 2, ... as (amplitude, envelope of the time since `start`)."""
    t = np.arange(int((start + seconds + 0.3) * rate)) / rate
    f0 = 440.0 * 2 ** ((pitch - 69) / 12)
    return sum(a * env(t - start) * np.sin(2 * np.pi * h * f0 * t) for h, (a, env) in enumerate(partials, 1))


def gate(rise, seconds=1.2):
    return lambda u: np.clip(np.minimum(u / rise, (seconds - u) / 0.01), 0.0, 1.0)


@pytest.mark.parametrize("rise", [0.15, 0.25])
@pytest.mark.parametrize("pitch", [48, 67])
def test_a_slow_attack_is_one_note_from_its_start(pitch, rise):
    signal = shaped_tone(pitch, [(0.3, gate(rise)), (0.15, gate(rise)), (0.1, gate(rise))])
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch] and abs(events[0].onset - 0.2) <= 0.05


@pytest.mark.parametrize(("piece", "shift", "pitch", "onset"), [
    (renders.melody("bassoon-2", renders.BASSOON, 34, 62, seed=115), 0, 53, 2.0),
    # The same with the onsets a quarter of a hop off the frames' grid.
    (renders.melody("clarinet-low", renders.CLARINET, 50, 74, seed=31), 110, 59, 5.9),
], ids=lambda value: getattr(value, "name", str(value)))
def test_an_onset_is_not_traced_back_past_a_held_floor(render, piece, shift, pitch, onset):
    # The note's channel held the leak of the note before for a while, far under it, and lower
    # still before that: its rise began after that floor, not where the note before began.
    samples = np.concatenate([np.zeros(shift, np.float32), render(piece)])
    events = transcribe_blocks([samples], renders.SAMPLE_RATE, Options())
    found = [round(e.onset - shift / renders.SAMPLE_RATE, 3) for e in events
             if e.pitch == pitch and abs(e.onset - shift / renders.SAMPLE_RATE - onset) <= 0.15]
    assert len(found) == 1 and abs(found[0] - onset) <= 0.05, found


def swelling(quiet_db, soft=0.08, seconds=1.2):
    """A quiet start for `soft` s, then a swell to full level in 80 ms, as a bow's pressure builds."""
    quiet = 10 ** (quiet_db / 20)
    return lambda u: (np.interp(u, [0.0, 0.01, soft, soft + 0.08], [0.0, quiet, 2 * quiet, 1.0], left=0.0)
                      * np.clip((seconds - u) / 0.01, 0.0, 1.0))


@pytest.mark.parametrize("quiet_db", [-40, -30])
@pytest.mark.parametrize("chord", [(48, 52, 55), (60, 64, 67)])
def test_a_chord_that_swells_after_a_quiet_start_starts_with_it(chord, quiet_db):
    envelope = swelling(quiet_db)
    signal = sum(shaped_tone(pitch, [(a, envelope) for a in (0.2, 0.1, 0.07, 0.05)]) for pitch in chord)
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert sorted(e.pitch for e in events) == list(chord)
    assert all(abs(e.onset - 0.2) <= 0.05 for e in events)


def held(begin, end, rise, release=0.4):
    """Swells in over `rise` s from `begin` and fades over `release` s from `end`, as an organ's
    pipes do."""
    return lambda u: np.clip((u - begin) / rise, 0, 1) * np.clip(1 - (u - end) / release, 0, 1)


@pytest.mark.parametrize(("release", "started"), [(0.2, {53, 57, 60, 79}), (0.4, {53, 57, 79})])
def test_a_chord_that_enters_as_another_fades_starts_with_it(release, started):
    # C major fading as F major enters under a louder melody: A3 is a tone above the fading G3,
    # and C4 on the second partial of the fading C3, which still hides it if it fades slowly.
    partials = (0.2, 0.1, 0.07, 0.05)
    chords = [(chord, held(begin, begin + 0.9, 0.1, release))
              for chord, begin in (((48, 52, 55), 0.0), ((53, 57, 60), 1.0))]
    signal = sum(shaped_tone(pitch, [(a, envelope) for a in partials], seconds=2.4)
                 for chord, envelope in chords for pitch in chord)
    signal += sum(shaped_tone(pitch, [(4 * a, held(begin, begin + 0.9, 0.01, 0.05)) for a in partials], seconds=2.4)
                  for pitch, begin in ((76, 0.0), (79, 1.0)))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert started <= {e.pitch for e in events if abs(e.onset - 1.2) <= 0.05}


@pytest.mark.parametrize(("piece", "pitch"), [
    (renders.chords_and_melody("triads-strings", seed=26, program=renders.STRINGS), 55),
    (renders.chords_and_melody("strings-chords", seed=108, program=renders.STRINGS), 55),
    (renders.chords_and_melody("organ-chords-2", seed=107, program=renders.ORGAN), 52),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_held_chords_note_is_one_note_before_it_is_decided(render, piece, pitch):
    # C major from 0.2 s to 1.1 s: the strings' G3 swings as the chord grows, and the organ's E3
    # is no voice for a while, its partials taken for the other notes'. Neither is played again.
    assert any(n.pitch == pitch and n.onset == 0.2 and n.offset > 1.0 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [round(e.onset, 1) for e in events if e.pitch == pitch and e.onset < 1.0] == [0.2]


ORGAN_CHORDS = renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN)
STRINGS_CHORDS = renders.chords_and_melody("strings-chords", seed=108, program=renders.STRINGS)
TRIADS_STRINGS = renders.chords_and_melody("triads-strings", seed=26, program=renders.STRINGS)


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    # The chord note's channel stands well above its neighbours', but the melody's leak into a
    # neighbour's partial channels makes that neighbour's harmonic sum the larger one.
    (ORGAN_CHORDS, 55, 0.2), (ORGAN_CHORDS, 57, 5.2), (ORGAN_CHORDS, 48, 7.2),
    # The chord note's channel stands only a few dB over the semitones beside it, neither of them
    # a note, whose harmonic sums the other notes' partials fill: the organ's E3 of C major ...
    (ORGAN_CHORDS, 52, 7.2),
    # ... and the strings' B3 of G major, a semitone under the C4 of the chord before, fading.
    (STRINGS_CHORDS, 59, 2.2), (TRIADS_STRINGS, 59, 2.2),
    # C major bowed from silence: G3 is heard at once, while C3 climbs for a quarter of a second
    # before it stands as a note alone, with no third note begun to make a chord of it.
    (STRINGS_CHORDS, 48, 0.2), (TRIADS_STRINGS, 48, 0.2),
    # The strings' C3 and E3 of C major: two semitones above each lies the skirt of the chord's
    # next note up, beyond a dip, and not as far under the note as a tone's own skirt falls.
    (TRIADS_STRINGS, 48, 7.2), (TRIADS_STRINGS, 52, 7.2),
    # The choir's C3 rises with the chord, sinks into a notch where it beats with the others, and
    # comes over the floor of a note alone only after.
    (renders.chords_and_melody("choir-pad", seed=33, program=renders.CHOIR), 48, 0.2),
    (renders.chords_and_melody("choir-chords", seed=109, program=renders.CHOIR), 48, 0.2),
    # The organ's E3 of C major speaks in its octave, a note that falls away undecided as the
    # fundamental grows, and its own level climbs only a decision window later.
    (renders.chords_and_melody("organ-chords-3", seed=451, program=renders.ORGAN), 52, 3.2),
    # The flute's D5 sits on the leak of the note before, its level flat, until it is played: the
    # cello's note that began before is no chord for it to be traced back to.
    (renders.two_voices("flute-cello", seed=25, programs=(renders.FLUTE, renders.CELLO)), 74, 3.95),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_note_of_a_chord_starts_with_its_chord_and_no_earlier(render, piece, pitch, onset):
    assert any(n.pitch == pitch and n.onset == onset for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == pitch and abs(e.onset - onset) <= 0.05 for e in events), \
        [e for e in events if e.pitch == pitch]


@pytest.mark.parametrize(("piece", "pitch", "onset"), [
    # Falls out of the voices for a while, its level still near its loudest, as the chord beats.
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 59, 2.2),
    # Its fundamental falls into a notch and comes back, and its third partial into another,
    # while its second partial holds: no new attack.
    (renders.chords_and_melody("organ-chords-2", seed=107, program=renders.ORGAN), 55, 3.2),
    # Its fundamental falls and rises again by `RESTRIKE_DB`, its partials over it not with it.
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 59, 6.2),
    # Its partials' level dips and comes back while the chord's other notes hold round it.
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 55, 3.2),
    (renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN), 64, 4.2),
], ids=lambda value: getattr(value, "name", str(value)))
def test_a_decided_note_of_a_held_chord_is_one_note_to_its_end(render, piece, pitch, onset):
    note = next(n for n in piece.notes if n.pitch == pitch and n.onset == onset)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    played = [e for e in events if e.pitch == pitch and onset - 0.05 <= e.onset < note.offset - 0.1]
    assert [round(e.onset, 1) for e in played] == [onset] and played[0].offset >= note.offset - 0.2, played


def test_a_bowed_chords_note_that_beats_is_not_played_again_while_its_chord_holds(render):
    # D minor from 5.2 s to 6.1 s: the strings' A3 falls and rises again by `RESTRIKE_DB` halfway
    # through as it beats with the chord's other notes, which hold; it decays no faster than a
    # bow holds it, as no struck string would.
    piece = renders.chords_and_melody("triads-strings", seed=26, program=renders.STRINGS)
    assert any(n.pitch == 57 and n.onset == 5.2 and n.offset == 6.1 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == 57 and 5.3 < e.onset < 6.0] == []


def test_a_choir_voice_named_by_its_octave_is_one_note_to_its_end(render):
    # C major from 0.2 s to 1.1 s: the choir's C3 is heard among the voices as its octave, which
    # is louder and holds, while its own level swings; it is not let go and played again.
    piece = renders.chords_and_melody("choir-pad", seed=33, program=renders.CHOIR)
    assert any(n.pitch == 48 and n.onset == 0.2 and n.offset == 1.1 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    played = [e for e in events if e.pitch == 48 and e.onset < 1.0]
    assert [round(e.onset, 1) for e in played] == [0.2] and played[0].offset >= 0.9, played


def test_a_melody_note_is_not_traced_back_into_the_leak_of_the_note_before(render):
    # B3 then C4 at 0.5 s: C4's channel holds B3's leak, which dips as B3 ends.
    piece = renders.melody("viola", renders.VIOLA, 50, 78, seed=102, vibrato=True)
    assert any(n.pitch == 60 and abs(n.onset - 0.5) < 1e-9 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [round(e.onset, 1) for e in events if e.pitch == 60 and e.onset < 1.0] == [0.5], events


@pytest.mark.parametrize("onset", [0.2, 3.2])
def test_a_melody_note_struck_with_its_chord_on_the_chords_partials_is_a_note(render, onset):
    # E6 over C major: the eighth partial of E3 and the tenth of C3, but far above their
    # partials beside it.
    piece = renders.chords_and_melody("triads-melody", seed=7)
    assert {n.pitch for n in piece.notes if n.onset == onset} == {48, 52, 55, 88}
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == 88 and abs(e.onset - onset) <= 0.05 for e in events), events


@pytest.mark.parametrize("onset", [0.2, 3.2])
def test_a_melody_note_beating_with_its_chords_partials_is_not_played_again(render, onset):
    # E6's channel holds the chord's partials too, and dips 30 dB where they beat.
    piece = renders.chords_and_melody("triads-melody", seed=7)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [round(e.onset, 1) for e in events if e.pitch == 88 and onset - 0.05 <= e.onset < onset + 0.4] == [onset]


@pytest.mark.parametrize(("pitch", "onset", "under"), [(79, 4.2, 60), (86, 6.2, 62)])
def test_a_melody_note_louder_than_the_timbre_makes_a_chord_notes_partial_is_a_note(render, pitch, onset, under):
    # A twelfth and two octaves over a chord note struck with it, louder than those partials
    # of the notes decided before.
    piece = renders.chords_and_melody("chords-epiano", seed=455, program=renders.ELECTRIC_PIANO)
    assert {n.pitch for n in piece.notes if n.onset == onset} >= {pitch, under}
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == pitch and abs(e.onset - onset) <= 0.05 for e in events), events


def bowed(pitch, strokes, attack=0.15, release=0.08, vibrato=0.0, rate=48_000, seconds=2.6):
    """Eight partials falling as 1/h; each stroke (start, end) swells in over `attack` s and
    fades over `release` s after its end; `vibrato` semitones at 5.5 Hz."""
    t = np.arange(int(seconds * rate)) / rate
    envelope = np.zeros_like(t)
    for start, end in strokes:
        envelope = np.maximum(envelope, np.clip((t - start) / attack, 0, 1) * np.clip(1 - (t - end) / release, 0, 1))
    f0 = 440.0 * 2 ** ((pitch - 69) / 12) * 2 ** (vibrato / 12 * np.sin(2 * np.pi * 5.5 * t))
    phase = 2 * np.pi * np.cumsum(f0) / rate
    return (envelope * sum(0.2 / h * np.sin(h * phase) for h in range(1, 9))).astype(np.float32)


@pytest.mark.parametrize("pitch", [55, 67])
def test_a_bow_change_on_one_pitch_is_a_second_note(pitch):
    events = transcribe_blocks([bowed(pitch, [(0.2, 1.14), (1.2, 2.2)])], 48_000, Options())
    assert [e.pitch for e in events] == [pitch, pitch]
    assert abs(events[0].onset - 0.2) <= 0.05 and abs(events[1].onset - 1.2) <= 0.05


def test_a_tongued_repeat_is_a_second_note(render):
    # A flute's 90 ms notes on one pitch: between them its fundamental's channel dips 15 dB, its
    # partials' level in all only 5, for the upper partials ring through the tongue stroke.
    piece = renders.fast("90ms-flute", seed=27, program=renders.FLUTE)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == 72 and abs(e.onset - 1.5) <= 0.05 for e in events)


def test_a_reed_repeating_one_key_legato_plays_each_note(render):
    # An oboe's C6s 25 ms apart over a cello: at each stroke of the tongue its own channel dips
    # only 5 to 8 dB, its octave's 10 to 13, and its partials' level in all about 4.
    piece = renders.two_voices("oboe-cello", seed=461, programs=(renders.OBOE, renders.CELLO))
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    for onset in (3.95, 4.2):
        assert any(e.pitch == 84 and abs(e.onset - onset) <= 0.05 for e in events), onset


@pytest.mark.parametrize("pitch", [55, 67])
def test_a_held_note_with_vibrato_is_one_note(pitch):
    events = transcribe_blocks([bowed(pitch, [(0.2, 2.2)], vibrato=0.3)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize(("pitch", "vibrato"), [(91, 0.5), (86, 0.5)])
def test_a_wide_vibrato_starts_no_note_on_the_keys_beside_it(pitch, vibrato):
    # Half a semitone off, a tone reads 13 dB low in both channels it lies between: a vibrato
    # that wide sweeps the fundamental into the channel beside it and back, again and again.
    events = transcribe_blocks([bowed(pitch, [(0.2, 2.2)], vibrato=vibrato)], 48_000, Options())
    assert any(e.pitch == pitch and abs(e.onset - 0.2) <= 0.05 for e in events)
    assert not [e for e in events if 0.5 < e.onset < 2.0 and abs(e.pitch - pitch) == 1]


def test_a_wide_vibrato_is_not_played_again():
    # Its level swings 10 dB and more as the pitch crosses between the channels, no fall.
    events = transcribe_blocks([bowed(86, [(0.2, 2.2)], vibrato=0.4)], 48_000, Options())
    assert any(e.pitch == 86 and abs(e.onset - 0.2) <= 0.05 for e in events)
    assert not [e for e in events if 0.5 < e.onset < 2.0 and e.pitch == 86]


@pytest.mark.parametrize("pitch", [76, 81])
def test_bow_changes_under_a_wide_vibrato_one_frame_at_a_time_give_the_events_of_the_whole(pitch):
    # The level swings in and out of dips whose fall is traced back from their bottom further
    # than the dip itself is looked for: a push of one frame must still see those frames.
    frames = bank_for(PIANO, 48_000).resonate(
        bowed(pitch, [(0.2, 0.7), (0.72, 1.3), (1.32, 2.2)], attack=0.05, vibrato=0.6), 480)
    tracker = NoteTracker(PIANO, 48_000, 480)
    events = [event for frame in frames for event in tracker.push(frame[None])]
    assert sorted(events + tracker.finish()) == transcribe(frames, PIANO, 48_000, 480)


def test_a_violins_vibrato_is_no_new_strike(render):
    # The E6s' level swings by 8 dB with the vibrato within a tenth of a second of the bow's
    # attack, and rises again: no string plucked anew, whose level rises once to its loudest.
    piece = renders.melody("violin-high", renders.VIOLIN, 55, 93, seed=401, vibrato=True)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e for e in events if e.pitch == 88 and 5.8 < e.onset < 6.0]
    assert not [e for e in events if e.pitch == 88 and (4.8 < e.onset < 5.0 or 6.0 < e.onset < 6.2)]


@pytest.mark.parametrize(("piece", "pitch", "at"), [
    # The attack overshoots, dips a few dB and swells again over several time constants of the
    # channel, before the note is decided: a string struck again renews its partials at once.
    (renders.melody("horn-swell", renders.HORN, 41, 77, seed=408), 65, 5.72),
    (renders.melody("cello-swell", renders.CELLO, 36, 69, seed=403, vibrato=True), 64, 3.37),
    (renders.melody("viola-swell", renders.VIOLA, 48, 81, seed=422, vibrato=True, beat=0.4), 64, 1.65),
    # The vibrato takes all the partials into the channels a semitone to one side at once: the
    # note's partials' level dips as deep as at a bow change, while that beside it rises.
    (renders.melody("violin-high", renders.VIOLIN, 55, 93, seed=401, vibrato=True), 81, 2.92),
    (renders.melody("cello-vibrato", renders.CELLO, 36, 69, seed=423, vibrato=True, beat=0.4), 69, 6.25),
], ids=lambda value: getattr(value, "name", value))
def test_a_bowed_or_blown_note_that_swells_or_swings_is_not_played_again(render, piece, pitch, at):
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == pitch and e.onset < at - 0.1 for e in events)
    assert not [e for e in events if e.pitch == pitch and abs(e.onset - at) <= 0.05]


def test_a_note_let_go_that_comes_back_a_little_is_not_played_again(render):
    # The viola's last G3 falls 16 dB as it is let go and its partials come back 5 dB: a new
    # stroke would bring them back near where they fell from.
    piece = renders.melody("viola-swell", renders.VIOLA, 48, 81, seed=422, vibrato=True, beat=0.4)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == 55 and abs(e.onset - 7.4) <= 0.05 for e in events)
    assert not [e for e in events if e.onset > 7.9]


@pytest.mark.parametrize("piece", [
    renders.melody("cello-swell", renders.CELLO, 36, 69, seed=403, vibrato=True),
    renders.melody("cello-vibrato", renders.CELLO, 36, 69, seed=423, vibrato=True, beat=0.4),
], ids=lambda piece: piece.name)
def test_the_octave_partial_of_a_held_note_that_swells_is_no_note(render, piece):
    # The A3's octave partial swells 20 dB under the bow while its other partials grow by 5 to
    # 10: no A4, which would bring a second partial of its own.
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events, {81}) == []


def test_the_octave_partial_of_a_held_horn_note_is_no_short_note(render):
    # The F5's octave partial swells for a tenth of a second and ends before it is decided.
    piece = renders.melody("horn-octave", renders.HORN, 41, 77, seed=428, beat=0.4)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events, {89}) == [] and any(e.pitch == 77 for e in events)


def test_a_note_that_starts_flat_is_no_note_on_the_key_under_it(render):
    # The viola's A5s start flat and scoop up into their pitch: the key under them sounds
    # first, for a few hundredths of a second, and falls as theirs rises.
    piece = renders.melody("viola-scoop", renders.VIOLA, 48, 81, seed=402, vibrato=True)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events, {80}) == [] and any(e.pitch == 81 for e in events)


def scooped(pitch, amplitudes, scoop, glide, rate=48_000, start=0.2, seconds=1.0):
    """A tone of partials h = 1, 2, ... at `amplitudes` that starts `scoop` semitones flat and
    glides up into its pitch over `glide` s, as a reed's attack does."""
    t = np.arange(int((start + seconds + 0.3) * rate)) / rate
    u = t - start
    f0 = 440.0 * 2 ** ((pitch - scoop * np.clip(1 - u / glide, 0, 1) - 69) / 12)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    envelope = np.clip(u / 0.03, 0, 1) * np.clip((seconds - u) / 0.05, 0, 1)
    return (envelope * sum(a * np.sin(h * phase) for h, a in enumerate(amplitudes, 1))).astype(np.float32)


@pytest.mark.parametrize(("amplitudes", "scoop", "glide"), [
    ([0.1, 0.3, 0.1, 0.05], 0.8, 0.15), ([0.2, 0.4, 0.2, 0.1, 0.05], 1.0, 0.08)])
def test_a_scoop_starts_no_note_beside_its_second_partial(amplitudes, scoop, glide):
    # Its second partial, stronger than the fundamental, crosses the key under its octave with
    # the fundamental, which crosses the key under the note.
    events = transcribe_blocks([scooped(60, amplitudes, scoop, glide)], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(60, 0.2)]


def test_a_saxophones_scoop_is_no_note_under_its_octave(render):
    # The alto's C4s start flat: the B4 channel reads their second partial louder than the C5's
    # for 50 ms while the B3's and C4's read the fundamental between them.
    piece = renders.melody("sax-scoop", renders.ALTO_SAX, 49, 84, seed=409)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    starts = [e.onset for e in events if e.pitch == 60]
    assert len(starts) == 3 and not [e for e in events if e.pitch == 71 and min(abs(e.onset - s) for s in starts) < 0.1]


@pytest.mark.parametrize(("pitch", "depth", "hz"), [(76, 0.7, 2.0), (84, 0.75, 1.5)])
def test_a_held_note_that_beats_is_one_note(pitch, depth, hz):
    # Two voices of a choir, or two of a chord's partials, slightly apart: the level swings
    # slowly by 10 to 12 dB, again and again.
    t = np.arange(int(2.6 * 48_000)) / 48_000
    beating = 1 - depth * (0.5 - 0.5 * np.cos(2 * np.pi * hz * np.maximum(t - 0.5, 0.0)))
    events = transcribe_blocks([bowed(pitch, [(0.2, 2.2)]) * beating.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize(("pitch", "beat"), [(43, 0.5), (48, 1.2), (55, 0.8), (60, 0.5)])
def test_a_fundamental_that_beats_under_steady_partials_is_one_note(pitch, beat):
    # Two voices of an organ or a section on one pitch, `beat` Hz apart, where the other
    # partials hold: the fundamental fades out and back once per beat, with no new attack.
    def beating(u):
        return gate(0.08, 2.2)(u) * np.cos(np.pi * beat * u)

    signal = shaped_tone(pitch, [(0.2, beating)] + [(0.2 / h, gate(0.08, 2.2)) for h in range(2, 9)], seconds=2.2)
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize(("pitch", "at"), [(76, 0.2), (84, 0.25)])
def test_a_fundamental_that_dips_while_a_slow_attack_settles_is_no_new_note(pitch, at):
    # As a string section's or a choir's voices come in: the fundamental dips 20 dB and comes
    # back while the other partials hold.
    def dipping(u):
        return gate(0.15)(u) * (1 - 0.9 * np.clip(1 - np.abs(u - at) / 0.06, 0.0, 1.0))

    signal = shaped_tone(pitch, [(0.3, dipping), (0.15, gate(0.15)), (0.1, gate(0.15)), (0.07, gate(0.15))])
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("pitch", [60, 67])
def test_a_partial_that_outlasts_its_fundamental_is_no_new_note(pitch):
    def fading(u):
        return np.exp(-np.maximum(u, 0.0) / 0.12) * gate(0.01)(u)

    signal = shaped_tone(pitch, [(0.4, fading), (0.1, gate(0.01)), (0.05, fading)])
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("level_db", [0, -40])
@pytest.mark.parametrize("pitch", [43, 52])
def test_a_fundamental_far_under_a_formant_names_the_note(pitch, level_db):
    # As a bassoon's: the third partial 30 dB over the fundamental.
    signal = harmonic_tone(pitch, np.array([0.015, 0.1, 0.5, 0.2, 0.05]) * 10 ** (level_db / 20))
    events = transcribe_blocks([signal], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize(("ringing", "new"), [(40, 45), (38, 45)])
def test_a_ringing_note_and_a_new_one_make_no_note_under_them(ringing, new):
    # The second partial of the one and the fundamental of the other are a lower note's 2nd and
    # 3rd partials (E2's octave and A2 are A1's), with the fundamental out of hearing.
    def ringing_out(u):
        return np.exp(-np.maximum(u, 0.0) / 0.8) * gate(0.01, 1.3)(u)

    amplitudes = [0.3, 0.3, 0.1, 0.05]
    signal = (shaped_tone(ringing, [(a, ringing_out) for a in amplitudes], seconds=1.3)
              + shaped_tone(new, [(a, gate(0.01, 0.9)) for a in amplitudes], start=0.6, seconds=0.9))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [ringing, new]


@pytest.mark.parametrize(("pitch", "knock"), [(55, 36), (48, 38), (84, 72), (76, 64), (81, 65), (77, 69)])
def test_the_knock_of_an_attack_is_no_note(pitch, knock):
    # A low resonance struck with the note, under it, and dying in a tenth of a second; higher
    # up, an octave under the note, whose partials the note's own make a harmonic series of, or
    # a body's resonance anywhere under it, struck by the attack of a note alone.
    def dying(u):
        return np.exp(-np.maximum(u, 0.0) / 0.06) * (u >= 0)

    signal = (shaped_tone(pitch, [(0.3, gate(0.01)), (0.15, gate(0.01)), (0.08, gate(0.01))])
              + shaped_tone(knock, [(0.15, dying)]))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("pitch", [40, 43])
def test_a_partial_that_a_guitars_body_lifts_is_no_note(pitch):
    # The eighth partial 16 dB over the seventh and ninth, with no partials of its own above it.
    def plucked(u):
        return np.clip(u / 0.005, 0.0, 1.0) * np.exp(-np.maximum(u, 0.0) / 0.5)

    amplitudes = [0.03, 0.3, 0.35, 0.1, 0.07, 0.035, 0.04, 0.3, 0.04, 0.02,
                  0.005, 0.005, 0.003, 0.003, 0.002, 0.002, 0.001]
    signal = shaped_tone(pitch, [(a, plucked) for a in amplitudes])
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize(("pitch", "knock"), [(55, 46), (52, 43)])
def test_a_knock_that_beats_and_comes_back_is_no_note(pitch, knock):
    # A body's resonance beating with the string: it dies into a dip and swells once more.
    def beating(u):
        return np.cos(2 * np.pi * 2.5 * u) * np.exp(-np.maximum(u, 0.0) / 0.15) * (u >= 0)

    signal = (shaped_tone(pitch, [(0.3, gate(0.01)), (0.15, gate(0.01)), (0.08, gate(0.01))])
              + shaped_tone(knock, [(0.15, beating)]))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("pitch", [50, 53, 55])
def test_a_resonance_as_loud_as_the_note_it_starts_with_is_no_note(pitch):
    # An acoustic bass's pickup and body: two pure modes under the string (a major third and a
    # major seventh down), struck by its attack as loud as it and dying while it still grows.
    def dying(u):
        return np.exp(-np.maximum(u, 0.0) / 0.06) * (u >= 0)

    signal = (shaped_tone(pitch, [(0.3, gate(0.1)), (0.15, gate(0.1)), (0.08, gate(0.1))])
              + shaped_tone(pitch - 4, [(0.6, dying)]) + shaped_tone(pitch - 11, [(0.3, dying)]))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("pitch", [48, 53])
def test_a_resonance_struck_with_a_slower_one_is_no_note(pitch):
    # The mode a seventh down dies three times slower: it is still within 12 dB of its loudest
    # when the one a third down is decided, but no note of a chord ringing on with the string.
    def dying(tau):
        return lambda u: np.exp(-np.maximum(u, 0.0) / tau) * (u >= 0)

    signal = (shaped_tone(pitch, [(a, gate(0.1)) for a in (0.3, 0.15, 0.08)])
              + shaped_tone(pitch - 4, [(0.6, dying(0.06))]) + shaped_tone(pitch - 11, [(0.4, dying(0.15))]))
    pitches = [e.pitch for e in transcribe_blocks([signal.astype(np.float32)], 48_000, Options())]
    assert pitch in pitches and pitch - 4 not in pitches


@pytest.mark.parametrize(("before", "pitch"), [(53, 52), (56, 55)])
def test_a_resonance_an_octave_under_a_fading_note_is_no_note(before, pitch):
    # The note before rings down in the lower resonance's octave as the next one is plucked:
    # that octave only falls, and is no partial of the resonance.
    def dying(u):
        return np.exp(-np.maximum(u, 0.0) / 0.06) * (u >= 0)

    first = shaped_tone(before, [(a, gate(0.01, 0.4)) for a in (0.3, 0.15, 0.08)], seconds=1.6)
    second = (shaped_tone(pitch, [(a, gate(0.1)) for a in (0.3, 0.15, 0.08)], start=0.6)
              + shaped_tone(pitch - 4, [(0.6, dying)], start=0.6) + shaped_tone(pitch - 11, [(0.6, dying)], start=0.6))
    size = min(len(first), len(second))
    events = transcribe_blocks([(first[:size] + second[:size]).astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [before, pitch]


@pytest.mark.parametrize(("low", "high"), [(41, 53), (46, 53), (45, 57)])
def test_a_short_low_note_struck_with_a_higher_one_is_a_note(low, high):
    # As loud and as short-lived in its own channel as a resonance, but with partials of its own.
    tone = [(0.3, gate(0.01, 0.15)), (0.15, gate(0.01, 0.15)), (0.08, gate(0.01, 0.15))]
    signal = (shaped_tone(high, [(0.3, gate(0.01)), (0.15, gate(0.01)), (0.08, gate(0.01))])
              + shaped_tone(low, tone))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert sorted(e.pitch for e in events) == [low, high]


def test_a_knock_that_swells_back_before_it_is_decided_is_no_note(render):
    # The bass's A3 pluck lifts every low channel. The C3's is dropped as a knock once it has
    # fallen, then taken again as it swells once more, its onset traced back to the pluck: decided
    # two frames after it is taken, it has not fallen yet.
    piece = renders.melody("bass-thump", renders.BASS, 28, 60, seed=431, beat=0.4)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == 57 and abs(e.onset - 3.4) <= 0.05 for e in events)
    assert not [e for e in events if e.pitch == 48 and 3.3 < e.onset < 3.8]


def unplayed(piece, events, pitches=None):
    """The events (pitch, onset) that start no note of `piece` at their pitch within 50 ms."""
    return [(e.pitch, round(e.onset, 2)) for e in events if (pitches is None or e.pitch in pitches)
            and not any(n.pitch == e.pitch and abs(n.onset - e.onset) <= 0.05 for n in piece.notes)]


# A harp melody whose strings ring on under the next notes: the attack of a note a tone away
# (69 under 71, 72 under 74) spills into the semitones round it, and that of a note a fourth
# below raises a ringing note's partials (77 over 72), but neither strikes the string again.
HARP_MELODY = renders.melody("harp-ringing", renders.HARP, 36, 96, seed=414)


@pytest.mark.parametrize("pitch", [69, 72, 77])
def test_a_ringing_string_is_not_struck_again_by_another_notes_attack(render, pitch):
    events = transcribe_blocks([render(HARP_MELODY)], renders.SAMPLE_RATE, Options())
    assert unplayed(HARP_MELODY, events, {pitch}) == []


def test_a_string_taken_out_of_the_voices_while_loud_is_not_struck_again(render):
    # The G4 plucked at 2.9 s rings on under the next notes, within 12 dB of its loudest as they
    # take it out of the voices; the A4 a tone over it, plucked at 4.4 s, spills into its channel.
    events = transcribe_blocks([render(HARP_MELODY)], renders.SAMPLE_RATE, Options())
    assert any(e.pitch == 67 and abs(e.onset - 2.9) <= 0.05 for e in events)
    assert not [e for e in events if e.pitch == 67 and 4.3 < e.onset < 4.7]


# Harp strings left to ring under louder notes: each drops out of the voices while they sound
# and comes back as they fade or as the next attack spills into its channel (72 and 74 under
# 76, 62 under 64), though its own level has only decayed.
HARP_RETURNS = renders.melody("harp-returns", renders.HARP, 36, 96, seed=434, beat=0.4)


def test_a_ringing_string_that_comes_back_is_no_new_note(render):
    events = transcribe_blocks([render(HARP_RETURNS)], renders.SAMPLE_RATE, Options())
    assert unplayed(HARP_RETURNS, events, {62, 72, 74}) == []


@pytest.mark.parametrize("piece", [
    renders.melody("bass", renders.BASS, 28, 55, seed=105, beat=0.4),
    renders.melody("bass-quick", renders.BASS, 28, 60, seed=411),
], ids=lambda piece: piece.name)
def test_the_beating_skirts_of_low_strings_are_no_notes(render, piece):
    # Below about 110 Hz the channels are wider than a semitone: a bass note's skirt and its
    # neighbour's, still ringing, beat into levels that swell as notes do, a few semitones
    # away or (their peaks) as the partials of the lowest keys.
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events) == []


def test_the_beating_partial_of_a_struck_string_is_no_note(render):
    # High piano notes whose second partial beats into a notch and back while the fundamental
    # decays faster: the partial outgrows the fundamental but not what it was.
    piece = renders.melody("piano-high", renders.PIANO, 21, 108, seed=435, beat=0.4)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events) == []


def octave_leaps(name, program, base):
    """A bass line leaping an octave up from each note and down again: C C' G G' F F' C C'."""
    steps = (0, 12, 7, 19, 5, 17, 0, 12)
    return renders.Piece(name, tuple(renders.Note(0.2 + 0.3 * k, 0.47 + 0.3 * k, base + step, 80, program)
                                     for k, step in enumerate(steps)), monophonic=True)


@pytest.mark.parametrize("piece", [
    octave_leaps("piano-leaps", renders.PIANO, 60),
    octave_leaps("guitar-leaps", renders.GUITAR, 60),
    octave_leaps("epiano-leaps", renders.ELECTRIC_PIANO, 36),
], ids=lambda piece: piece.name)
def test_a_note_an_octave_over_one_let_go_is_played(render, piece):
    # As the upper note begins, the lower note's fundamental falls while the channels of its
    # second and fourth partials grow: a partial does not grow while its fundamental falls.
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    leaps = [n for before, n in zip(piece.notes, piece.notes[1:]) if n.pitch == before.pitch + 12]
    assert [(n.pitch, n.onset) for n in leaps
            if not any(e.pitch == n.pitch and abs(e.onset - n.onset) <= 0.05 for e in events)] == []


@pytest.mark.parametrize(("pitch", "gap"), [(69, 0.15), (76, 0.12)])
def test_a_plucked_note_struck_again_while_it_rings_is_two_notes(pitch, gap):
    # As a harp's string plucked again before it has fallen far: its upper partials, which die
    # within tens of milliseconds, come back at once; its fundamental rises a few dB.
    def plucked(tau):
        return lambda u: np.clip(u / 0.005, 0.0, 1.0) * np.exp(-np.maximum(u, 0.0) / tau)

    partials = [(0.3, plucked(0.3))] + [(a, plucked(0.03)) for a in (0.1, 0.08, 0.05, 0.03)]
    first = shaped_tone(pitch, partials, seconds=1.0)
    again = shaped_tone(pitch, partials, start=0.2 + gap, seconds=1.0 - gap)
    signal = first + np.pad(again, (0, len(first) - len(again)))
    signal += 1e-4 * np.random.default_rng(0).standard_normal(len(signal))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [(e.pitch, round(e.onset, 2)) for e in events] == [(pitch, 0.2), (pitch, round(0.2 + gap, 2))]


def repeated(name, program, pitch, beat, rest=None, count=5):
    """`count` notes of one pitch, each let go `rest` (10% of its beat unless given) before the
    next, as a pianist or a guitarist repeats a note legato."""
    rest = 0.1 * beat if rest is None else rest
    notes = tuple(renders.Note(0.2 + k * beat, 0.2 + (k + 1) * beat - rest, pitch, 80, program) for k in range(count))
    return renders.Piece(name, notes, monophonic=True)


@pytest.mark.parametrize(("piece", "found"), [
    (repeated("piano-A2-repeated", renders.PIANO, 45, 0.5), 5),
    (repeated("piano-A3-repeated", renders.PIANO, 57, 0.3), 5),
    (repeated("guitar-A3-repeated", renders.GUITAR, 57, 0.3), 4),
    # Let go 50 ms before: the fundamental's channel, slow at 110 Hz, still falls 10 dB from
    # the damper as the new attack begins, and rises out of that fall only after.
    (repeated("piano-A2-let-go", renders.PIANO, 45, 0.35, rest=0.05), 5),
], ids=lambda value: getattr(value, "name", value))
def test_a_note_let_go_and_struck_again_at_once_is_played_again(render, piece, found):
    # What still rings of the note let go hides most of the new attack: its fundamental rises
    # only 2 dB, its partials 2 to 8 dB out of the damper's fall; but the attack's transient
    # lifts both semitones beside it 6 to 18 dB.
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert unplayed(piece, events) == []
    assert sum(any(e.pitch == n.pitch and abs(e.onset - n.onset) <= 0.05 for e in events)
               for n in piece.notes) >= found


@pytest.mark.parametrize("beat", [0.25, 0.3])
def test_a_tongued_repeat_begins_where_its_level_turns_up(render, beat):
    # A flute's E6 tongued again 25 to 30 ms after each note stops: the old tone's release and
    # the new attack overlap, and the partials' level falls 10 dB to turn up at once 40 to 50 ms
    # after the new note began; it is back near where it fell from only 10 ms later still.
    piece = repeated(f"flute-E6-tongued-{beat}", renders.FLUTE, 88, beat)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    late = [n.onset for n in piece.notes
            if not any(e.pitch == n.pitch and abs(e.onset - n.onset) <= 0.05 for e in events)]
    assert late == []


@pytest.mark.parametrize(("pitch", "gap"), [(69, 0.25), (76, 0.2)])
def test_a_string_struck_again_over_its_pure_ringing_fundamental_is_two_notes(pitch, gap):
    # Its faint upper partials have died when it is struck again more softly: the fundamental
    # rises about 4 dB over what still rings, its partials by tens of dB.
    def plucked(tau):
        return lambda u: np.clip(u / 0.005, 0.0, 1.0) * np.exp(-np.maximum(u, 0.0) / tau)

    upper = [(a, plucked(0.03)) for a in (0.02, 0.015, 0.01, 0.005)]
    first = shaped_tone(pitch, [(0.3, plucked(0.3))] + upper, seconds=1.0)
    again = shaped_tone(pitch, [(0.15, plucked(0.3))] + upper, start=0.2 + gap, seconds=1.0 - gap)
    signal = first + np.pad(again, (0, len(first) - len(again)))
    signal += 1e-4 * np.random.default_rng(0).standard_normal(len(signal))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [(e.pitch, round(e.onset, 2)) for e in events] == [(pitch, 0.2), (pitch, round(0.2 + gap, 2))]


def deep_struck_twice(pitch, gap):
    """As the piano's lowest strings: the fundamental 50 dB under the partials, which ring on."""
    def struck(u):
        return np.clip(u / 0.005, 0.0, 1.0) * np.exp(-np.maximum(u, 0.0) / 0.3)

    partials = [(a, struck) for a in (0.001, 0.3, 0.3, 0.2, 0.15, 0.1, 0.05)]
    signal = (shaped_tone(pitch, partials, seconds=1.5)
              + shaped_tone(pitch, partials, start=0.2 + gap, seconds=1.5 - gap))
    return signal.astype(np.float32)


@pytest.mark.parametrize("gap", [0.6, 1.0])
@pytest.mark.parametrize("pitch", [21, 24, 28])
def test_a_deep_note_struck_twice_is_two_notes_at_its_pitch(pitch, gap):
    events = transcribe_blocks([deep_struck_twice(pitch, gap)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch, pitch]
    assert [round(e.onset, 1) for e in events] == [0.2, round(0.2 + gap, 1)]


@pytest.mark.parametrize("pitch", [24, 28])
def test_a_deep_note_struck_twice_in_gated_frames_is_two_notes(pitch):
    # Frames whose cells 20 dB under the loudest were set to zero, as a noise gate does: the
    # fundamental's channel and the highest partials' are silent, and a note is named by the
    # partials that are left.
    frames = bank_for(PIANO, 48_000).resonate(deep_struck_twice(pitch, 0.6), 480)
    frames[np.abs(frames) < 0.1 * np.abs(frames).max()] = 0.0
    events = transcribe(frames, PIANO, 48_000, 480)
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(pitch, 0.2), (pitch, 0.8)]


def released(decay_db_per_second, until=1.0, release=0.15):
    """Struck at 0, decaying at a steady rate, then let go at `until`: a fade to silence over
    `release` seconds, linear in amplitude as synthesisers do it."""
    def envelope(u):
        fade = np.clip(1.0 - (u - until) / release, 0.0, 1.0)
        return gate(0.01, 10.0)(u) * 10.0 ** (-decay_db_per_second * np.maximum(u, 0.0) / 20.0) * fade
    return envelope


@pytest.mark.parametrize("decay_db_per_second", [0, 6, 20])  # held (bowed, blown), a piano's mid and top notes
@pytest.mark.parametrize("pitch", [57, 74])
def test_a_note_ends_where_its_release_begins(pitch, decay_db_per_second):
    envelope = released(decay_db_per_second)
    signal = shaped_tone(pitch, [(0.3, envelope), (0.1, envelope), (0.05, envelope)], seconds=1.5)
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch] and abs(events[0].offset - 1.2) <= 0.05, events


@pytest.mark.parametrize("pitch", [48, 55])
def test_a_partial_that_dips_and_comes_back_is_no_new_note(pitch):
    # A strong fifth partial, as a formant makes it, that fades out and back mid-note.
    def dipping(u):
        return gate(0.01)(u) * np.clip(np.abs(u - 0.35) / 0.05, 0.02, 1.0)

    partials = [(0.05, gate(0.01)), (0.1, gate(0.01)), (0.08, gate(0.01)), (0.08, gate(0.01)), (0.2, dipping),
                (0.08, gate(0.01))]
    events = transcribe_blocks([shaped_tone(pitch, partials).astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in events] == [pitch]


@pytest.mark.parametrize("level", [0.2, 0.4])
def test_a_note_on_a_high_partial_of_a_held_note_is_heard(level):
    # G5 on the sixth partial of a held C3, its fundamental weaker than its second partial (a
    # violin over a cello).
    lower = shaped_tone(48, [(0.4 / h, gate(0.01)) for h in range(1, 13)])
    upper = shaped_tone(79, [(level / 3, gate(0.01, 0.5)), (level, gate(0.01, 0.5)), (level / 2, gate(0.01, 0.5))],
                        start=0.7, seconds=0.5)
    signal = lower + np.pad(upper, (0, len(lower) - len(upper)))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(48, 0.2), (79, 0.7)]


# An octave up, on the third and on the fifth partial, louder than the partial.
@pytest.mark.parametrize(("lower", "upper", "level"), [(48, 60, 0.4), (52, 64, 0.4), (48, 67, 0.3), (55, 74, 0.3),
                                                       (48, 76, 0.2), (52, 80, 0.2)])
def test_a_note_on_a_low_partial_of_a_held_note_is_heard(lower, upper, level):
    # The new note fills the held note's partial and adds partials of its own at twice and
    # three times its frequency, which stand out of the held note's spectrum there.
    held = shaped_tone(lower, [(0.4 / h, gate(0.01)) for h in range(1, 9)])
    new = shaped_tone(upper, [(level / h, gate(0.01, 0.5)) for h in range(1, 4)], start=0.7, seconds=0.5)
    signal = held + np.pad(new, (0, len(held) - len(new)))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [(e.pitch, round(e.onset, 1)) for e in events] == [(lower, 0.2), (upper, 0.7)]


@pytest.mark.parametrize("hop", [4800, 7200])  # 100 and 150 ms: a decision window of one frame
def test_a_note_on_a_partial_of_a_held_note_is_heard_at_a_long_hop(hop):
    # The octave begins one frame after the held note: no frame of the held note's own lies
    # between them to compare the octave's level with.
    held = shaped_tone(48, [(0.4 / h, gate(0.01)) for h in range(1, 9)])
    new = shaped_tone(60, [(0.4 / h, gate(0.01, 0.5)) for h in range(1, 4)], start=0.55, seconds=0.5)
    signal = (held + np.pad(new, (0, len(held) - len(new)))).astype(np.float32)
    events = transcribe(bank_for(PIANO, 48_000).resonate(signal, hop), PIANO, 48_000, hop)
    assert sorted(e.pitch for e in events) == [48, 60]


@pytest.mark.parametrize(("lower", "upper"), [(48, 60), (48, 76), (53, 81)])  # second, fifth and sixth partials
def test_a_note_on_a_partial_of_a_bowed_note_begins_at_its_own_attack(lower, upper):
    # The bowed note's partial grows through its attack, under the new note's channel, before
    # the new note begins: that climb is no part of the new note.
    held = bowed(lower, [(0.2, 1.8)], attack=0.2)
    new = shaped_tone(upper, [(0.4 / h, gate(0.02, 0.5)) for h in range(1, 4)], start=0.35, seconds=0.5)
    signal = held + np.pad(new, (0, len(held) - len(new)))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert [e.pitch for e in sorted(events)] == [lower, upper]
    assert np.allclose([e.onset for e in sorted(events)], [0.2, 0.35], rtol=0, atol=0.05)


def test_a_high_bowed_note_heard_first_as_its_octave_begins_there(render):
    # The violin's C6 over a cello: its second partial speaks some 150 ms before its fundamental
    # grows, and is taken for a note of its own until the fundamental takes its place.
    piece = renders.two_voices("violin-cello", seed=116, programs=(renders.VIOLIN, renders.CELLO))
    assert any(n.pitch == 84 and n.onset == 4.2 for n in piece.notes)
    events = transcribe_blocks([render(piece)], renders.SAMPLE_RATE, Options())
    assert [e.pitch for e in events if 4.1 <= e.onset < 4.3 and e.pitch > 64] == [84]
    assert any(e.pitch == 84 and abs(e.onset - 4.2) <= 0.05 for e in events)


@pytest.mark.parametrize(("lower", "upper"), [(48, 76), (52, 83), (48, 84)])  # fifth, sixth and eighth partials
def test_a_note_struck_with_a_lower_one_on_its_partial_is_heard(lower, upper):
    # A melody note struck with a chord, decaying as a piano's high notes do: it falls under the
    # threshold while it is still a voice, and is no attack of the lower note.
    def decaying(tau):
        return lambda u: np.exp(-np.maximum(u, 0.0) / tau) * gate(0.005)(u)

    signal = (shaped_tone(lower, [(0.3 / h, decaying(1.0)) for h in range(1, 9)])
              + shaped_tone(upper, [(0.3 / h, decaying(0.15)) for h in range(1, 4)]))
    events = transcribe_blocks([signal.astype(np.float32)], 48_000, Options())
    assert sorted((e.pitch, round(e.onset, 1)) for e in events) == [(lower, 0.2), (upper, 0.2)]


def test_channels_above_nyquist_are_ignored():
    rate = 8000  # C8 is 4186 Hz, above this rate's Nyquist frequency
    signal = harmonic_tone(69, [1.0], rate=rate)
    events = transcribe_blocks([signal], rate, Options())
    assert [e.pitch for e in events] == [69]


@pytest.mark.parametrize(("tuning", "heard"), [(440.0, [107]), (450.0, [])])
def test_the_nyquist_frequency_is_judged_at_the_banks_tuning(tuning, heard):
    # B7 is 3951 Hz at A4 = 440 Hz and 4041 Hz at 450 Hz, on either side of 4000 Hz.
    rate, numbers = 8000, np.arange(100, 108, dtype=np.float64)
    frames = np.zeros((100, len(numbers)), dtype=np.complex64)
    frames[10:80, -1] = 0.1
    events = transcribe(frames, numbers, rate, 80, tuning=tuning)
    assert [e.pitch for e in events] == heard


# Two voices, held organ chords whose quiet low notes are heard late, first as their partials, and
# a choir's, whose voices sink into notches and come back.
@pytest.fixture(scope="module", params=[renders.two_voices("two-voices", seed=6),
                                        renders.chords_and_melody("organ-chords", seed=32, program=renders.ORGAN),
                                        renders.chords_and_melody("choir-chords", seed=109, program=renders.CHOIR)],
                ids=lambda piece: piece.name)
def played_frames(render, request):
    samples = render(request.param)
    hop = Options().hop(renders.SAMPLE_RATE)
    return bank_for(PIANO, renders.SAMPLE_RATE).resonate(samples, hop), hop


@pytest.mark.parametrize("seed", range(6))
def test_any_chunking_gives_the_events_of_the_whole(played_frames, seed):
    frames, hop = played_frames
    whole = transcribe(frames, PIANO, renders.SAMPLE_RATE, hop)
    rng = np.random.default_rng(seed)
    # Empty chunks too, and short ones at the start, before the tracker has a full history.
    cuts = np.sort(np.r_[rng.integers(0, len(frames), size=rng.integers(1, 60)), rng.integers(0, 64, size=8)])
    tracker = NoteTracker(PIANO, renders.SAMPLE_RATE, hop)
    events, onsets, chroma = [], [], []
    for chunk in np.split(frames, cuts):
        events += tracker.push(chunk)
        onsets.append(tracker.onset_strength)
        chroma.append(tracker.chroma)
    assert sorted(events + tracker.finish()) == whole and len(whole) > 20
    whole_onsets, whole_chroma = features(frames, PIANO, renders.SAMPLE_RATE, hop)
    assert np.concatenate(onsets).tobytes() == whole_onsets.tobytes()
    assert np.concatenate(chroma).tobytes() == whole_chroma.tobytes()


def test_samples_in_any_blocks_give_the_same_events(render):
    samples = render(renders.fast("90ms-notes", seed=8))
    whole = transcribe_blocks([samples], renders.SAMPLE_RATE, Options())
    cuts = np.sort(np.random.default_rng(1).integers(0, len(samples), size=40))
    assert transcribe_blocks(np.split(samples, cuts), renders.SAMPLE_RATE, Options()) == whole


def test_each_note_on_is_decided_within_the_delay(played_frames):
    frames, hop = played_frames
    tracker = NoteTracker(PIANO, renders.SAMPLE_RATE, hop)
    decided = {}
    for i in range(len(frames)):
        tracker.push(frames[i : i + 1])
        for note in tracker.sounding:
            decided.setdefault((note.pitch, round(note.onset / tracker.frame_seconds)), i)
    delays = [frame - onset for (_, onset), frame in decided.items()]
    assert len(delays) > 20 and set(delays) == {tracker.delay_frames}


# The salience's own medians and mask entries, which it finds faster than NumPy: NumPy's, to the bit.
@pytest.mark.parametrize("shape", [(0, 88), (5, 1), (7, 2), (9, 87), (594, 88)])
def test_the_salience_finds_numpys_medians_and_mask_entries(shape):
    values = np.random.default_rng(shape[1]).random(shape)
    values[::2] = np.round(values[::2] * 8)  # ties, as silent semitones give
    assert transcribe_module._median(values).tobytes() == np.median(values, axis=1).tobytes()
    mask = values > 2
    for ours, numpys in zip(transcribe_module._nonzero(mask), np.nonzero(mask)):
        assert ours.tolist() == numpys.tolist()


def test_chroma_of_the_demo_chord_is_its_three_pitch_classes():
    hop = 480
    frames = bank_for(PIANO, demo.SAMPLE_RATE).resonate(demo.signal(), hop)
    onsets, chroma = features(frames, PIANO, demo.SAMPLE_RATE, hop)
    alone = chroma[30:60]  # 0.3 s to 0.6 s: the chord before the melody
    assert chroma.shape == (len(frames), 12) and onsets.shape == (len(frames),)
    assert (np.sort(np.argsort(alone, axis=1)[:, -3:], axis=1) == sorted(n % 12 for n in demo.CHORD)).all()
    assert onsets[:5].max() > 10 * np.median(onsets)  # the chord's start


@pytest.fixture(scope="module")
def demo_frames():
    return bank_for(PIANO, demo.SAMPLE_RATE).resonate(demo.signal(), 480)


@pytest.mark.parametrize(("make", "cause"), [
    (lambda: NoteTracker(PIANO, math.inf, 480), "sample rate"),
    (lambda: NoteTracker(PIANO, 48_000, 480.5), "hop"),
    (lambda: NoteTracker(PIANO, 48_000, 480, threshold_db=math.nan), "threshold"),
    (lambda: NoteTracker(PIANO, 48_000, 480, threshold_db=1e4), "threshold"),
    (lambda: NoteTracker(PIANO, 48_000, 480, threshold_db=-1e4), "threshold"),
    (lambda: NoteTracker(PIANO, 48_000, 480, pitches=(80, 20)), "pitches"),
    (lambda: NoteTracker([60.0, math.nan], 48_000, 480), "finite"),
    (lambda: NoteTracker([-1e6, -1e6 + 1], 48_000, 480), "too low"),
    (lambda: bank_for(PIANO, 0.0), "sample rate"),
    (lambda: bank_for([60.0, math.nan], 48_000), "finite frequency"),
], ids=["infinite rate", "fractional hop", "NaN threshold", "threshold too high",
        "threshold too low", "pitches reversed", "NaN note", "0 Hz note",
        "bank at 0 Hz", "bank with a NaN note"])
def test_bad_tracker_or_bank_arguments_are_refused(make, cause):
    with pytest.raises(ValueError, match=cause):
        make()


@pytest.mark.parametrize(("bad", "error"), [
    (lambda f: f.astype("U8"), TypeError), (lambda f: f.astype(object), TypeError),
    (lambda f: f[:, 1:], ValueError), (lambda f: f[0], ValueError),
], ids=["text", "objects", "a channel short", "one dimension"])
def test_refused_frames_leave_the_tracker_as_it_was(demo_frames, bad, error):
    tracker = NoteTracker(PIANO, demo.SAMPLE_RATE, 480)
    events = tracker.push(demo_frames[:100])
    with pytest.raises(error, match="frames must"):
        tracker.push(bad(demo_frames[100:200]))
    events += tracker.push(demo_frames[100:]) + tracker.finish()
    assert sorted(events) == transcribe(demo_frames, PIANO, demo.SAMPLE_RATE, 480)
    # Finished, it takes no more frames (their notes would have lost their start) and ends nothing.
    with pytest.raises(ValueError, match="finished"):
        tracker.push(demo_frames[:1])
    assert tracker.finish() == []


@pytest.mark.parametrize("call", [lambda t, f: t.sounding, lambda t, f: t.push(f), lambda t, f: t.finish()],
                         ids=["sounding", "push", "finish"])
def test_a_tracker_shared_by_threads_takes_one_call_at_a_time(monkeypatch, demo_frames, call):
    tracker = NoteTracker(PIANO, demo.SAMPLE_RATE, 480)
    inside, release = threading.Event(), threading.Event()
    real = transcribe_module.salience

    def paused(*args):  # the first call waits, inside a push, until released
        if not inside.is_set():
            inside.set()
            release.wait(60)
        return real(*args)

    monkeypatch.setattr(transcribe_module, "salience", paused)
    pushing = threading.Thread(target=tracker.push, args=(demo_frames[:50],))
    pushing.start()
    assert inside.wait(60)
    done = []
    other = threading.Thread(target=lambda: done.append(call(tracker, demo_frames[50:51])))
    other.start()
    other.join(0.5)  # only long enough for the call to have got through, had it not waited
    got_through = bool(done)
    release.set()
    pushing.join(60)
    other.join(60)
    assert not got_through and done


@pytest.fixture(scope="module")
def demo_notes(tmp_path_factory):
    folder = tmp_path_factory.mktemp("notes")
    done = run_marlune("notes", "--out", folder)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return done.stdout, folder / "marlune-demo.mid", folder / "marlune-demo.csv"


def test_demo_prints_its_melody_and_chord(demo_notes):
    stdout, _, _ = demo_notes
    rows = [line.split() for line in stdout.splitlines()[1:]]
    notes = [(float(row[0]), number(row[4])) for row in rows]
    chord = sorted(pitch for onset, pitch in notes if onset < 0.05)
    assert chord == sorted(demo.CHORD)
    # Held whole under the melody, however its notes' partials fall on the chord's neighbours.
    held = [(float(row[2]), number(row[4])) for row in rows if number(row[4]) in demo.CHORD]
    assert sorted(pitch for _, pitch in held) == sorted(demo.CHORD)
    assert all(abs(offset - demo.CHORD_END) <= 0.1 for offset, _ in held), held
    melody = [pitch for onset, pitch in notes if demo.MELODY_START - 0.05 <= onset < demo.CHORD_END and pitch > 64]
    assert melody == list(demo.MELODY)
    # A glide has no attacks, but each semitone's channel rises as the glide reaches it.
    low, high, start, _ = demo.GLIDE
    assert sorted(pitch for onset, pitch in notes if onset >= start - 0.05) == list(range(low, high + 1))


def number(name):
    from marlune_tools.notes import note_number

    return note_number(name)


def test_csv_and_midi_hold_the_printed_notes(demo_notes):
    stdout, midi_path, csv_path = demo_notes
    with open(csv_path, newline="") as f:
        reader = csv.reader(f)
        assert tuple(next(reader)) == CSV_HEADER
        rows = [(float(a), float(b), int(p), name, int(v)) for a, b, p, name, v in reader]
    printed = [line.split() for line in stdout.splitlines()[1:]]
    assert [(r[0], r[1], r[3], r[4]) for r in rows] == [
        (float(p[0]), float(p[2]), p[4], int(p[6])) for p in printed]
    assert all(number(name) == pitch for _, _, pitch, name, _ in rows)
    sounding, heard = {}, []
    seconds = 0.0
    for message in mido.MidiFile(midi_path):
        seconds += message.time
        if message.type == "note_on" and message.velocity:
            sounding[message.note] = (seconds, message.velocity)
        elif message.type in ("note_on", "note_off"):
            onset, velocity = sounding.pop(message.note)
            heard.append((onset, seconds, message.note, velocity))
    expected = sorted((a, b, p, v) for a, b, p, _, v in rows)
    assert len(heard) == len(expected) and np.allclose(sorted(heard), expected, rtol=0, atol=0.0011)


BAD = {
    "empty file": (lambda d: (d / "empty.wav").write_bytes(b""), "empty.wav: empty file"),
    "text named .wav": (lambda d: (d / "notes.wav").write_text("not audio\n"), "notes.wav: not an audio file"),
    "shorter than one hop": (lambda d: write_audio(d / "short.wav", np.zeros(100, np.float32), 48_000),
                             "short.wav: shorter than one hop"),
    "folder without audio": (lambda d: None, "no audio files in this folder"),
    "not a number": (lambda d: write_audio(d / "nan.wav", np.full(4800, np.nan, np.float32), 48_000, "FLOAT"),
                     "nan.wav: sample 0 (at 0.000 s) is not a finite number"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input_gives_one_line_status_2_and_no_output(tmp_path, case):
    inputs = tmp_path / "in"
    inputs.mkdir()
    make, cause = BAD[case]
    make(inputs)
    target = next(inputs.iterdir(), inputs)
    done = run_marlune("notes", target, "--out", tmp_path / "out")
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1), done.stderr
    assert done.stderr.startswith("marlune: ") and cause in done.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize(("rate", "notes"), [(50, "A0:C8"), (8000, "C8:C8")])
def test_a_range_wholly_above_a_files_nyquist_is_refused(tmp_path, rate, notes):
    path = write_audio(tmp_path / "slow.wav", np.zeros(10 * rate), rate)
    done = run_marlune("notes", path, "--hop-ms", "50", "--range", notes, "--out", tmp_path / "out")
    assert_refused(done, "slow.wav: every note of --range is at or above the Nyquist frequency")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("args", [["--range", "H2:C8"], ["--range", "C5:C4"], ["--hop-ms", "0"],
                                  ["--hop-ms", "nan"], ["--threshold-db", "inf"], ["--threshold-db=1e308"], ["--midi", "a.mid", "--csv", "a.mid"],
                                  ["--frobnicate"], ["--midi", ""], ["--csv", ""], ["--range", "G9:G9"]])
def test_bad_options_give_one_line_and_status_2(tmp_path, args):
    done = run_marlune("notes", *args, "--out", tmp_path, cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1), done.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", [b"b\nc.wav", b"caf\xe9.wav"])
def test_each_file_is_reported_on_one_line_whatever_its_name(tmp_path, name):
    path = os.path.join(os.fsencode(tmp_path), name)
    os.rename(write_audio(tmp_path / "w.wav", np.zeros(4800), 48_000), path)
    done = run_marlune("notes", path, "--out", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    shown = name.decode("ascii", "backslashreplace").replace("\n", "\\n")
    assert done.stdout.count("\n") == 1 and f"{shown}: 0.10 s, 0 notes -> " in done.stdout, done.stdout


def test_missing_mido_is_named(tmp_path):
    # None in sys.modules makes the import fail as if the package were not installed.
    code = "import sys; sys.modules['mido'] = None; from marlune_tools.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", code, "notes"], capture_output=True, text=True, cwd=tmp_path,
                          timeout=120)
    assert (done.returncode, done.stdout, list(tmp_path.iterdir())) == (2, "", [])
    assert done.stderr == 'marlune: mido is missing; install the tools: pip install "marlune[tools]"\n'


def _held_note_levels(lifted, pitches, low_starts=False):
    """Levels (100 frames of 10 ms) of a steady note on D3 with partials 1/h, the semitones
    `pitches` raised by `lifted` from frame 60 on (and the note itself begun there too, if
    `low_starts`), with the grid of the piano's semitones."""
    grid = transcribe_module._Grid(PIANO, 44100.0, 440.0)
    levels = np.full((100, grid.count), 1e-6)
    for h in range(1, 17):
        levels[:, 50 - grid.low + round(12 * math.log2(h))] = 1e-2 / h
    if low_starts:
        levels[:60] = 1e-6
    for pitch in pitches:
        levels[60:, pitch - grid.low] *= lifted
    return grid, levels


# A melody note attacked on a held note's fourth partial (its own second partial rising with
# it) is a voice of its own; not so when the lower note began with it, or where the partial
# swells alone, as a held note's spectrum does.
@pytest.mark.parametrize("pitches, low_starts, kept", [
    ((74, 86), False, True),
    ((74, 86), True, False),
    ((74,), False, False),
])
def test_a_note_on_a_held_notes_partial_is_kept_where_it_rose_alone(pitches, low_starts, kept):
    grid, levels = _held_note_levels(4.0, pitches, low_starts)
    strength, _, _ = transcribe_module.salience(grid, levels[40:], None, levels[:40])
    alone, _, _ = transcribe_module.salience(grid, levels[40:])
    assert (strength[20:30, 74 - grid.low] > 0).all() == kept
    assert (alone[20:30, 74 - grid.low] == 0).all() and (strength[20:30, 50 - grid.low] > 0).all()
