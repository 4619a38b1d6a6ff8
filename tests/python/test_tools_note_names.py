"""Note names and numbers as MIDI defines them: A4 is 69, middle C (C4) is 60."""

import math

import pytest

from marlune_tools.notes import Scale, note_name, note_number, note_range


@pytest.mark.parametrize(("name", "number"), [
    ("A4", 69), ("C4", 60), ("C#5", 73), ("Db5", 73), ("Bb3", 58), ("Cb4", 59), ("B#3", 60), ("E#4", 65),
    ("a4", 69), ("bb3", 58), ("f#2", 42), (" G4 ", 67), ("A0", 21), ("C8", 108), ("C-1", 0), ("G9", 127),
])
def test_names_give_midi_numbers(name, number):
    assert note_number(name) == number


@pytest.mark.parametrize("name", ["", "H2", "A", "#4", "A#", "A4#", "4A", "Ab#4", "A4+33c", "A 4", "Cbb4"])
def test_what_is_not_a_name_is_refused_by_name(name):
    with pytest.raises(ValueError, match="not a note name"):
        note_number(name)


@pytest.mark.parametrize(("number", "name"), [
    (69, "A4"), (73, "C#5"), (0, "C-1"), (127, "G9"), (69.33, "A4+33c"), (68.75, "A4-25c"),
    (69.5, "A4+50c"), (70.5, "A#4+50c"), (59.996, "C4"),
])
def test_numbers_give_names_with_cents_from_the_nearest_note(number, name):
    assert note_name(number) == name


def test_every_midi_number_survives_its_name():
    assert [note_number(note_name(n)) for n in range(128)] == list(range(128))


@pytest.mark.parametrize(("text", "expected"), [("A0:C8", (21, 108)), ("c4:c4", (60, 60)), ("Bb1:d#2", (34, 39))])
def test_ranges(text, expected):
    assert note_range(text) == expected


@pytest.mark.parametrize(("text", "message"), [("A0-C8", "not a note range"), ("C5:C4", "empty note range"),
                                               ("A0:", "not a note name"), (":C8", "not a note name")])
def test_bad_ranges(text, message):
    with pytest.raises(ValueError, match=message):
        note_range(text)


def test_a_scale_steps_by_fractions_of_a_semitone():
    scale = Scale(60, 61, bins_per_semitone=3, tuning=432.0)
    assert len(scale) == len(scale.numbers) == 4
    assert scale.names == ["C4", "C4+33c", "C#4-33c", "C#4"]
    want = [432.0 * 2.0 ** ((n - 69) / 12) for n in (60, 60 + 1 / 3, 60 + 2 / 3, 61)]
    assert scale.frequencies.tolist() == pytest.approx(want, rel=1e-6)


@pytest.mark.parametrize("arguments", [(60, 59), (60, 72, 0), (60, 72, 1, 0.0), (60, 72, 1, -440.0),
                                       (60, 72, 1, math.inf), (60, 72, 1, math.nan)])
def test_impossible_scales_are_refused(arguments):
    with pytest.raises(ValueError):
        Scale(*arguments)
