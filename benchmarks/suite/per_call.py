"""process_sample per call, against the cheapest function of the same calling convention.

The floor is a limited-API extension function built beside the suite: METH_VARARGS |
METH_KEYWORDS, one float parsed from the tuple or from the keyword "sample", None returned.
Both are called through bound callables from a loop unrolled 16 times, so that the loop's own
cost is spread thin; positional and keyword calls are timed separately.
"""

from __future__ import annotations

import importlib.util
from pathlib import Path
from typing import Callable

import workload

UNROLL = 16
ROUNDS = 2_000  # loop iterations per timed call
CALLS_PER_JOB = ROUNDS * UNROLL


def load_floor(native_dir: Path):
    spec = None
    for path in sorted(native_dir.glob("call_floor*.so")):
        spec = importlib.util.spec_from_file_location("call_floor", path)
        break
    if spec is None or spec.loader is None:
        raise FileNotFoundError(f"{native_dir}: no call_floor extension (run scripts/bench)")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _unrolled(keyword: bool) -> Callable:
    call = "        f(sample=v)\n" if keyword else "        f(v)\n"
    source = "def loop(f, v, n):\n    for _ in range(n):\n" + call * UNROLL
    namespace: dict = {}
    exec(compile(source, "<unrolled calls>", "exec"), namespace)
    return namespace["loop"]


def contenders(floor_module) -> dict[str, Callable[[], object]]:
    """Timed callables; each makes ROUNDS * UNROLL calls."""
    bank = workload.channels(1).bank()
    jobs = {}
    for keyword in (False, True):
        loop = _unrolled(keyword)
        form = "keyword" if keyword else "positional"
        for name, fn in (("marlune", bank.process_sample), ("floor", floor_module.process_sample)):
            jobs[f"{name} {form}"] = (lambda loop=loop, fn=fn: loop(fn, 0.25, ROUNDS))
    return jobs

