"""The include graph of src/ against the layers written down in src/layers.txt."""

import fnmatch
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.MULTILINE)
SOURCES = {".h", ".hpp", ".c", ".cpp"}


def read_layers(path):
    """The rooms ({name: patterns}, in order) and the arrows ({room: rooms it may include})."""
    rooms, arrows, last = {}, {}, None
    for line in path.read_text().splitlines():
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if words[0] == "room" and len(words) >= 3:
            last = words[1]
            rooms[last] = words[2:]
        elif len(words) >= 3 and words[1] == "->":
            arrows[words[0]] = set(words[2:])
        elif line[0].isspace() and last is not None:
            rooms[last] += words
        else:
            raise ValueError(f"{path}: unreadable line {line!r}")
    named = set(arrows).union(*arrows.values())
    if not named <= set(rooms):
        raise ValueError(f"{path}: arrows name unknown rooms {sorted(named - set(rooms))}")
    return rooms, arrows


def room_of(relative, rooms):
    return next((room for room, patterns in rooms.items()
                 if any(fnmatch.fnmatchcase(relative, pattern) for pattern in patterns)), None)


def wrong_includes(src, layers):
    """Every include in `src` that the layers do not allow, and every file in no room."""
    rooms, arrows = read_layers(layers)
    wrong = []
    for path in sorted(p for p in src.rglob("*") if p.suffix in SOURCES):
        relative = path.relative_to(src).as_posix()
        room = room_of(relative, rooms)
        if room is None:
            wrong.append(f"{relative} is in no room")
            continue
        for name in INCLUDE.findall(path.read_text()):
            target = next((t.resolve() for t in (path.parent / name, src / name) if t.is_file()), None)
            if target is None or src.resolve() not in target.parents:
                wrong.append(f"{relative} includes {name}, which is not in {src.name}/")
                continue
            to = room_of(target.relative_to(src.resolve()).as_posix(), rooms)
            if to != room and to not in arrows.get(room, ()):
                wrong.append(f"{relative} ({room}) includes {name} ({to})")
    return wrong


def test_src_keeps_to_its_layers():
    assert wrong_includes(SRC, SRC / "layers.txt") == []


LAYERS = """\
# a picture
room low   low/*
room high  high/*.hpp
           high/*.cpp
high -> low
"""


@pytest.mark.parametrize(("path", "text", "wrong"), [
    ("high/b.cpp", '#include "low/a.hpp"\n#include <vector>\n', None),
    ("high/b.cpp", '#include "../low/a.hpp"\n', None),
    ("low/c.hpp", '#include "a.hpp"\n', None),
    ("low/c.hpp", '// no #include "high/b.hpp" here\n', None),
    ("low/c.hpp", '  #  include "high/b.hpp"\n', "low/c.hpp (low) includes high/b.hpp (high)"),
    ("low/c.hpp", '#include "missing.hpp"\n', "low/c.hpp includes missing.hpp, which is not in src/"),
    ("low/c.hpp", '#include "../../outside.hpp"\n', "low/c.hpp includes ../../outside.hpp, which is not in src/"),
    ("other/d.cpp", "", "other/d.cpp is in no room"),
])
def test_the_check_finds_each_wrong_include(tmp_path, path, text, wrong):
    src = tmp_path / "project" / "src"
    for name, body in {"low/a.hpp": "", "high/b.hpp": '#include "low/a.hpp"\n', path: text}.items():
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text(body)
    (tmp_path / "outside.hpp").write_text("")
    (src / "layers.txt").write_text(LAYERS)
    assert wrong_includes(src, src / "layers.txt") == ([wrong] if wrong else [])


@pytest.mark.parametrize("layers", ["room low low/*\nlow -> nowhere\n", "low/* is low\n"])
def test_an_unreadable_picture_is_refused(tmp_path, layers):
    (tmp_path / "layers.txt").write_text(layers)
    with pytest.raises(ValueError):
        read_layers(tmp_path / "layers.txt")
