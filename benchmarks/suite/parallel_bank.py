"""The multi-core row: the companion package's thread-pool bank against numba's parallel loop,
both on all cores, both checked bit for bit against one single-threaded bank."""

from __future__ import annotations

import importlib
import importlib.util

import workload


def parallel_bank_class():
    """marlune_tools.parallel.ParallelBank, or None when the companion package lacks it."""
    try:
        found = importlib.util.find_spec("marlune_tools.parallel") is not None
    except ModuleNotFoundError:
        found = False
    if not found:
        return None
    return importlib.import_module("marlune_tools.parallel").ParallelBank


def make(cls, ch: workload.Channels):
    return cls(ch.freqs, workload.RATE, alphas=ch.alphas, betas=ch.betas)
