"""Peers for the same goal by the familiar time-frequency transforms of librosa: the constant-Q
transform with one bin per piano key (88 bins from A0) and the short-time Fourier transform, at
the same hop. They compute something else than the bank, so the check is loose: for a test tone,
the strongest bin must be the same note as the bank's strongest channel.
"""

from __future__ import annotations

import math

import numpy as np

import workload

A0 = 27.5
N_FFT = 4096


def cqt(x: np.ndarray, hop: int) -> np.ndarray:
    import librosa

    return librosa.cqt(x, sr=workload.RATE, hop_length=hop, fmin=A0, n_bins=88,
                       bins_per_octave=12)


def stft(x: np.ndarray, hop: int) -> np.ndarray:
    import librosa

    return librosa.stft(x, n_fft=N_FFT, hop_length=hop)


def note_of(freq: float) -> int:
    return round(69 + 12 * math.log2(freq / 440.0))


def check(hop: int) -> list[str]:
    """Failures (empty when none): the strongest bin of each transform for a test tone names the
    same note as the strongest channel of an 88-key bank."""
    freq = 440.0 * 2 ** (7 / 12)  # E5, 659.3 Hz
    x = workload.tone(freq, 1.0)
    keys = workload.channels(88)
    bank_note = 21 + int(np.argmax(np.abs(keys.bank().resonate(x, hop)).mean(axis=0)))
    cqt_note = 21 + int(np.argmax(np.abs(cqt(x, hop)).mean(axis=1)))
    stft_bin = int(np.argmax(np.abs(stft(x, hop)).mean(axis=1)))
    stft_note = note_of(stft_bin * workload.RATE / N_FFT)
    failures = []
    if not bank_note == cqt_note == note_of(freq):
        failures.append(f"librosa.cqt: strongest note {cqt_note}, bank {bank_note}, "
                        f"tone {note_of(freq)}")
    if stft_note != bank_note:
        failures.append(f"librosa.stft: strongest note {stft_note}, bank {bank_note}")
    return failures
