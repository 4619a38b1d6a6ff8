"""Calls every entry point of marlune, succeeding and failing, many times over; prints, as JSON, how
much resident memory and which reference counts grew after a warm-up.

    python tests/python/leak_check.py [calls per case]

Run by test_leaks.py in a process of its own, with standard error discarded (internal failures
report themselves there on every call).
"""

import gc
import json
import os
import sys
import traceback

import numpy as np

import marlune

WARM_UP = 2_000
RATE = 48000.0
FREQS = np.linspace(100.0, 4000.0, 8, dtype=np.float32)
SIGNAL = np.linspace(-1.0, 1.0, 64, dtype=np.float32)
bank = marlune.ResonatorBank(FREQS, RATE)
other = marlune.ResonatorBank(FREQS, RATE)
try:
    bank.freq(99)
except BaseException as exc:
    PANIC = type(exc)  # PanicException, whose objects hold a reference to it


class Reentrant:
    """An argument whose conversion calls another entry point first; `swallow`: ignoring how that
    ended, else letting its failure through."""

    def __init__(self, call, value, swallow=True):
        self.call, self.value, self.swallow = call, value, swallow

    def run(self):
        try:
            self.call()
        except BaseException:
            if not self.swallow:
                raise
        return self.value

    __float__ = __index__ = run


# name: (call, objects whose reference counts must not change). Each call takes a new result or
# raises; both are dropped at once.
CASES = {
    "midi_to_hz": (lambda: marlune.midi_to_hz(69.0, 440.0), ()),
    "midi_to_hz failing": (lambda: marlune.midi_to_hz("69", 440.0), ()),
    "alpha_from_tau": (lambda: marlune.alpha_from_tau(0.1, RATE), ()),
    "alpha_from_tau failing": (lambda: marlune.alpha_from_tau(0.1), ()),
    "tau_from_alpha": (lambda: marlune.tau_from_alpha(0.01, RATE), ()),
    "tau_from_alpha failing": (lambda: marlune.tau_from_alpha(0.01, RATE, x=1), ()),
    "heuristic_alpha": (lambda: marlune.heuristic_alpha(440.0, RATE), ()),
    "heuristic_alpha failing": (lambda: marlune.heuristic_alpha(None, RATE), ()),
    "heuristic_alphas": (lambda: marlune.heuristic_alphas(FREQS, RATE), (FREQS,)),
    "heuristic_alphas failing": (lambda: marlune.heuristic_alphas(FREQS[::2], RATE), (FREQS,)),
    "ResonatorBank": (lambda: marlune.ResonatorBank(FREQS, RATE, alphas=FREQS, betas=FREQS), (FREQS,)),
    "ResonatorBank failing": (lambda: marlune.ResonatorBank(FREQS, RATE, alphas=FREQS[:3]), (FREQS,)),
    "process_sample": (lambda: bank.process_sample(0.5), (bank,)),
    "process_sample failing": (lambda: bank.process_sample("0.5"), (bank,)),
    "process_samples": (lambda: bank.process_samples(SIGNAL), (bank, SIGNAL)),
    "process_samples failing": (lambda: bank.process_samples(SIGNAL[::-1]), (bank, SIGNAL)),
    "resonate": (lambda: bank.resonate(SIGNAL, 16), (bank, SIGNAL)),
    "resonate failing": (lambda: bank.resonate(SIGNAL, -1), (bank, SIGNAL)),
    "resonate panicking": (lambda: bank.resonate(SIGNAL, 0), (bank, SIGNAL)),
    "reset": (lambda: bank.reset(), (bank,)),
    "reset failing": (lambda: bank.reset(1), (bank,)),
    "len": (lambda: len(bank), (bank,)),
    "len failing": (lambda: bank.process_sample(Reentrant(lambda: len(bank), 0.5)), (bank,)),
    "nested panic": (lambda: bank.freq(Reentrant(lambda: other.freq(99), 0, swallow=False)), (bank, other)),
}
for name in ("freq", "magnitude", "phase", "power", "complex"):
    CASES[name] = (lambda name=name: getattr(bank, name)(3), (bank,))
    CASES[name + " panicking"] = (lambda name=name: getattr(bank, name)(8), (bank,))
for name in ("frequencies", "magnitudes", "phases", "powers"):
    CASES[name] = (lambda name=name: getattr(bank, name)(), (bank,))
    CASES[name + " failing"] = (lambda name=name: getattr(bank, name)(0), (bank,))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(fn):
    """Calls fn. Returns the reference count of a new result as the caller sees it (2: the local
    name and the argument), else None."""
    try:
        result = fn()
    except BaseException:
        return None
    return sys.getrefcount(result) if isinstance(result, (float, complex, np.ndarray, marlune.ResonatorBank)) else None


def counts(objects):
    return [sys.getrefcount(o) for o in (*objects, PANIC, marlune.ResonatorBank)]


def measure(fn, objects, calls):
    for _ in range(WARM_UP):
        call(fn)
    gc.collect()
    refs, memory = counts(objects), resident_bytes()
    result_refs = set()
    for _ in range(calls):
        result_refs.add(call(fn))
    gc.collect()
    return {
        "resident growth": resident_bytes() - memory,
        "reference growth": [after - before for before, after in zip(refs, counts(objects))],
        "result references": sorted(r for r in result_refs if r is not None),
    }


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    try:
        report = {name: measure(fn, objects, calls) for name, (fn, objects) in CASES.items()}
    except BaseException:
        report = {"error": traceback.format_exc()}
    print(json.dumps(report))


if __name__ == "__main__":
    main()
