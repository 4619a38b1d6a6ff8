"""Best-of timing with the contenders interleaved.

The contenders of one comparison are timed in turn within each round (in an order shuffled from
round to round), so that a background load that comes and goes hits them alike; the best round
of each counts. A rotating order would give each contender the same predecessor in every round,
and a contender can slow whatever is timed next: numba's parallel loop leaves its OpenMP threads
spinning on the cores for a while after each call. Several comparisons can share the rounds, so
that each one's repeats are spread over the whole run instead of falling into one busy stretch. A contender that takes less than
`target` seconds per call is called several times per measurement, as timeit does.
"""

from __future__ import annotations

import gc
import random
import statistics
import time
from typing import Callable, Hashable, Mapping

Contenders = Mapping[str, Callable[[], object]]


def calls_for(fn: Callable[[], object], target: float) -> int:
    """Calls per measurement so that one measurement takes at least `target` seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= target or number >= 1 << 24:
            return number
        number *= 2 if elapsed <= 0 else max(2, min(10, int(1.2 * target / elapsed) + 1))


class Rounds:
    """Comparisons timed together: add() each, then run()."""

    def __init__(self, target: float):
        self.target = target
        self._comparisons: dict[Hashable, tuple[Contenders, dict[str, int]]] = {}
        self.best: dict[Hashable, dict[str, float]] = {}
        self._all: dict[Hashable, dict[str, list[float]]] = {}

    def add(self, key: Hashable, contenders: Contenders) -> None:
        numbers = {name: calls_for(fn, self.target) for name, fn in contenders.items()}
        self._comparisons[key] = (contenders, numbers)
        self.best[key] = {name: float("inf") for name in contenders}
        self._all[key] = {name: [] for name in contenders}

    def run(self, rounds: int, progress: Callable[[str], None] | None = None) -> None:
        order = random.Random(0)  # the same orders in every run
        enabled = gc.isenabled()
        gc.disable()
        try:
            for r in range(rounds):
                if progress:
                    progress(f"round {r + 1} of {rounds}")
                for key, (contenders, numbers) in self._comparisons.items():
                    names = list(contenders)
                    order.shuffle(names)
                    for name in names:
                        fn, number = contenders[name], numbers[name]
                        start = time.perf_counter()
                        for _ in range(number):
                            fn()
                        elapsed = (time.perf_counter() - start) / number
                        self.best[key][name] = min(self.best[key][name], elapsed)
                        self._all[key][name].append(elapsed)
        finally:
            if enabled:
                gc.enable()


    def median(self, key: Hashable) -> dict[str, float]:
        """Median seconds per call of each contender: how far the best stands from the typical
        round shows how noisy the machine was."""
        return {name: statistics.median(times) for name, times in self._all[key].items()}


def best_interleaved(contenders: Contenders, repeats: int, target: float) -> dict[str, float]:
    """Best seconds per call of each contender over `repeats` interleaved rounds."""
    rounds = Rounds(target)
    rounds.add(None, contenders)
    rounds.run(repeats)
    return rounds.best[None]
