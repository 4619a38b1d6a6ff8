"""Running out of memory: MemoryError, with the bank exactly as it was and nothing left borrowed."""

import os

import pytest

from conftest import run_python, sanitized


@pytest.mark.skipif(sanitized(), reason="AddressSanitizer reserves far more address space than any limit here")
def test_allocations_that_cannot_be_had_raise_memory_error():
    out = run_python(
        """
        import resource
        import numpy as np
        import marlune
        from conftest import CAPSULE_NAME, GRANTED, Registry, multiarray

        def make_bank():
            bank = marlune.ResonatorBank(np.linspace(100.0, 4000.0, 16, dtype=np.float32), 48000.0)
            bank.process_samples(np.linspace(-1.0, 1.0, 1000, dtype=np.float32))
            return bank

        def state(bank):
            probe = np.linspace(1.0, -1.0, 7, dtype=np.float32)
            readouts = [bank.frequencies(), bank.magnitudes(), bank.phases(), bank.powers()]
            return b"".join(r.tobytes() for r in readouts) + bank.resonate(probe, 1).tobytes()

        bank, twin = make_bank(), make_bank()
        signal = np.ones(1 << 22, dtype=np.float32)       # frames of every sample: 512 MiB
        freqs = np.full(1 << 24, 440.0, dtype=np.float32)  # eleven per-channel arrays: 704 MiB
        registry = Registry(getattr(multiarray(), CAPSULE_NAME))

        page = resource.getpagesize()
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * page
        limits = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (256 << 20), limits[1]))
        outcomes = []
        for call in (lambda: bank.resonate(signal, 1), lambda: marlune.ResonatorBank(freqs, 48000.0)):
            try:
                call()
            except MemoryError:
                outcomes.append("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, limits)

        print(outcomes, state(bank) == state(twin))
        print([registry.exclusive(a) == GRANTED for a in (signal, freqs)])
        """,
        cwd=os.path.dirname(__file__),
    )
    assert out == "['MemoryError', 'MemoryError'] True\n[True, True]\n"
