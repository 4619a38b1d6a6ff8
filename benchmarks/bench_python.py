"""Throughput of marlune from Python.

Prints, for a few bank sizes, how many channel-samples per second each way of feeding the
bank achieves, and the ratios between them:

  - process_sample, one Python call per sample;
  - process_samples on the whole block;
  - resonate on the whole block with a hop of 256 (frames returned);
  - a plain NumPy float32 model of the same update, vectorised over channels, for reference;
  - two threads on two banks at once (the block loops run without the interpreter lock).

Run:  python benchmarks/bench_python.py [--seconds 1.0]
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np

import marlune

RATE = 48_000.0


def best_of(repeats, fn):
    """Shortest wall time of `repeats` runs of fn()."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def make_bank(channels):
    freqs = np.geomspace(30.0, 16_000.0, channels).astype(np.float32)
    return marlune.ResonatorBank(freqs, RATE)


def numpy_model(freqs, signal):
    """The same recurrences in NumPy float32 (not bit-exact: NumPy does not fuse), per sample."""
    alphas = marlune.heuristic_alphas(freqs, RATE)
    betas = alphas
    theta = (freqs * np.float32(-6.2831855)) / np.float32(RATE)
    rot = (np.cos(theta) + 1j * np.sin(theta)).astype(np.complex64)
    phasor = np.ones_like(rot)
    accum = np.zeros_like(rot)
    smooth = np.zeros_like(rot)
    ca = np.float32(1) - alphas
    cb = np.float32(1) - betas
    for x in signal:
        accum = ca * accum + (alphas * x) * phasor
        smooth = cb * smooth + betas * accum
        phasor = phasor * rot
    return smooth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="signal length in seconds")
    args = parser.parse_args()

    n = int(RATE * args.seconds)
    rng = np.random.default_rng(7)
    signal = rng.standard_normal(n).astype(np.float32)
    print(f"signal: {n} samples ({args.seconds} s at {RATE:.0f} Hz); figures in channel-samples per second")
    header = f"{'channels':>8} {'process_sample':>15} {'process_samples':>16} {'resonate':>12} {'numpy model':>12} {'block/sample':>13} {'block/numpy':>12} {'2 threads':>10}"
    print(header)
    for channels in (16, 64, 256, 1024):
        bank = make_bank(channels)
        work = channels * n

        short = signal[: max(1, n // 20)]
        t_single = best_of(2, lambda: [bank.process_sample(x) for x in short.tolist()])
        single_rate = channels * len(short) / t_single

        t_block = best_of(3, lambda: bank.process_samples(signal))
        block_rate = work / t_block

        t_res = best_of(3, lambda: bank.resonate(signal, 256))
        res_rate = work / t_res

        short_np = signal[: max(1, n // 50)]
        t_np = best_of(1, lambda: numpy_model(bank.frequencies(), short_np))
        np_rate = channels * len(short_np) / t_np

        other = make_bank(channels)

        def both():
            worker = threading.Thread(target=other.process_samples, args=(signal,))
            worker.start()
            bank.process_samples(signal)
            worker.join()

        t_two = best_of(3, both)
        two_ratio = (2 * work / t_two) / block_rate

        print(
            f"{channels:>8} {single_rate:>15.3e} {block_rate:>16.3e} {res_rate:>12.3e} {np_rate:>12.3e} "
            f"{block_rate / single_rate:>12.1f}x {block_rate / np_rate:>11.1f}x {two_ratio:>9.2f}x"
        )


if __name__ == "__main__":
    main()
