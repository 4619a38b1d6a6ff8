"""Real sound rather than noise, and whole files rather than capped results.

Real sound: 10 s at 48 kHz, 2 s of a 440 Hz tone and then 8 s of exact zeros (the tail of a
rendered file, a muted input) or 8 s of noise at -96 dBFS RMS (a 16-bit recording's floor);
and 8 s more of zeros once the bank has decayed. Each as a ratio to the throughput on noise at
the same channel count (1.00: as fast). Where subnormal numbers are slow, silence without the
flush would be many times slower; whether the flush works is shown without timing too: after the
silence every channel must read exactly zero (IEEE arithmetic would leave the slow channels
stuck at a subnormal value).

Whole files: `resonate` on 2^20 samples in one call, so that the result is fresh memory that the
system must map, zero and hand over page by page, beside the capped figure of the grid whose
result memory is reused. Each against its own limit: the in-register ceiling for the capped one,
and for the fresh one also the rate at which this machine writes fresh memory (measured here, as
NumPy writes a fresh array of the same size).
"""

from __future__ import annotations

import resource
import time

import numpy as np

import timing
import workload

REAL_CHANNELS = (88, 256, 1024)
REAL_HOP = 480  # 100 frames a second
WHOLE_FILE_CHANNELS = 88
WHOLE_FILE_SAMPLES = 1 << 20


def tone_then(floor_rms: float, seconds: float = 10.0, tone_seconds: float = 2.0) -> np.ndarray:
    """A 440 Hz tone at half scale, then exact zeros or noise at floor_rms, float32."""
    n, tone_n = int(seconds * workload.RATE), int(tone_seconds * workload.RATE)
    x = np.zeros(n, dtype=np.float32)
    x[:tone_n] = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(tone_n) / workload.RATE)
    if floor_rms > 0:
        x[tone_n:] = floor_rms * np.random.default_rng(96).standard_normal(n - tone_n)
    return x


def measure_real_sound(run) -> dict:
    seconds = 10.0
    noise = workload.signal(seconds)
    silence, floor = tone_then(0.0, seconds), tone_then(10 ** (-96 / 20), seconds)
    zeros = np.zeros(len(silence) - int(2 * workload.RATE), dtype=np.float32)
    counts = REAL_CHANNELS[:1] if run.quick else REAL_CHANNELS
    rows = []
    rounds = timing.Rounds(run.target)
    banks = {}
    for channels in counts:
        ch = workload.channels(channels)
        run.progress(f"real sound: {channels} channels")
        # The check that needs no clock: after the tone and the silence, every channel is zero.
        after = ch.bank().resonate(silence, REAL_HOP)[-1]
        awake = int(np.count_nonzero(after))
        run.check(awake == 0, f"real sound, {channels} channels: {awake} channel values not "
                              "zero after 8 s of silence (subnormals not flushed?)")
        decayed = ch.bank()
        decayed.resonate(silence, REAL_HOP)
        banks[channels] = {"noise": ch.bank(), "silence": ch.bank(), "floor": ch.bank(),
                           "decayed": decayed}
        b = banks[channels]
        rounds.add(channels, {
            "noise": lambda b=b: b["noise"].resonate(noise, REAL_HOP),
            "silence": lambda b=b: b["silence"].resonate(silence, REAL_HOP),
            "floor": lambda b=b: b["floor"].resonate(floor, REAL_HOP),
            "decayed": lambda b=b: b["decayed"].resonate(zeros, REAL_HOP)})
        rows.append({"channels": channels, "hop": REAL_HOP, "values_not_zero_after_silence": awake})
    rounds.run(run.repeats, lambda text: run.progress(f"real sound: {text}"))
    for row in rows:
        best = rounds.best[row["channels"]]
        lengths = {"noise": len(noise), "silence": len(silence), "floor": len(floor),
                   "decayed": len(zeros)}
        rate = {name: row["channels"] * (lengths[name] // REAL_HOP * REAL_HOP) / t
                for name, t in best.items()}
        row["channel_samples_per_second"] = rate
        row["ratio_to_noise"] = {name: r / rate["noise"] for name, r in rate.items()
                                 if name != "noise"}
    return {"audio_seconds": seconds, "rows": rows}


def fresh_write_rate(nbytes: int, repeats: int) -> dict:
    """Bytes per second written into a fresh NumPy array of nbytes (page faults, zeroing and
    the writes: what a fresh result costs at the least), and into one already written."""
    fresh, reused = float("inf"), float("inf")
    kept = np.empty(nbytes, dtype=np.uint8)
    kept.fill(1)
    for _ in range(repeats):
        start = time.perf_counter()
        a = np.empty(nbytes, dtype=np.uint8)
        a.fill(1)
        fresh = min(fresh, time.perf_counter() - start)
        del a
        start = time.perf_counter()
        kept.fill(2)
        reused = min(reused, time.perf_counter() - start)
    return {"bytes": nbytes, "fresh_bytes_per_second": nbytes / fresh,
            "reused_bytes_per_second": nbytes / reused}


def measure_whole_file(run, grid: list[dict], ceiling: dict) -> dict:
    channels = WHOLE_FILE_CHANNELS
    samples = WHOLE_FILE_SAMPLES >> (3 if run.quick else 0)
    x = workload.signal(samples / workload.RATE)[:samples]
    ch = workload.channels(channels)
    repeats = max(3, run.repeats // 3)
    largest = samples * channels * 8  # the result at hop 1
    run.progress(f"whole file: write rate of fresh memory ({largest >> 20} MiB)")
    memory = fresh_write_rate(largest, repeats)
    capped = {c["hop"]: c for c in grid if c["channels"] == channels}
    rows = []
    for hop in sorted(capped):
        run.progress(f"whole file: {channels} channels, hop {hop}, {samples} samples")
        bank = ch.bank()
        best, faults = float("inf"), 0
        for _ in range(repeats):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            start = time.perf_counter()
            out = bank.resonate(x, hop)
            elapsed = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            del out
            if elapsed < best:
                best, faults = elapsed, after - before
        rate = channels * (samples // hop * hop) / best
        capped_rate = capped[hop]["marlune"]["channel_samples_per_second"]
        # What writing the result alone allows: 8 bytes per channel and frame.
        write_limit = memory["fresh_bytes_per_second"] * hop / 8
        row = {"hop": hop, "samples": samples, "result_bytes": samples // hop * channels * 8,
               "channel_samples_per_second": rate, "page_faults": faults,
               "capped_channel_samples_per_second": capped_rate,
               "share_of_capped": rate / capped_rate,
               "fresh_write_limit_channel_samples_per_second": write_limit}
        if ceiling.get("available"):
            limit = min(ceiling["channel_samples_per_second"], write_limit)
            row["share_of_own_limit"] = rate / limit
        rows.append(row)
    return {"channels": channels, "memory": memory, "rows": rows}
