"""Which piano keys sound in a recording? A resonator bank tuned to the 88 keys.

Synthesises two seconds of a short melody over a held chord (or reads a mono 16-bit WAV file
given with --wav), runs it through a bank with one channel per piano key, prints the keys that
sound in each quarter second, and writes the magnitudes over time as a greyscale PNG picture
(keys bottom to top, time left to right).

Run:  python examples/piano_roll.py [--wav FILE] [--png piano_roll.png]
"""

from __future__ import annotations

import argparse
import struct
import wave
import zlib

import numpy as np

import marlune

NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def note_name(midi: int) -> str:
    return f"{NOTE_NAMES[midi % 12]}{midi // 12 - 1}"


def synthesise(rate: float) -> np.ndarray:
    """A held A minor chord with a rising melody on top, with a few harmonics and some noise."""
    t = np.arange(int(2.0 * rate)) / rate
    out = np.zeros_like(t)
    for midi in (57, 60, 64):  # A3 C4 E4, held
        f = marlune.midi_to_hz(midi, 440.0)
        for h, gain in ((1, 0.3), (2, 0.1), (3, 0.05)):
            out += gain * np.sin(2 * np.pi * f * h * t)
    for k, midi in enumerate((69, 72, 76, 81)):  # A4 C5 E5 A5, a quarter second each
        on = (t >= 0.5 + 0.25 * k) & (t < 0.75 + 0.25 * k)
        out += on * 0.4 * np.sin(2 * np.pi * marlune.midi_to_hz(midi, 440.0) * t)
    out += 0.01 * np.random.default_rng(1).standard_normal(len(t))
    return (out / np.max(np.abs(out))).astype(np.float32)


def read_wav(path: str) -> tuple[np.ndarray, float]:
    with wave.open(path, "rb") as f:
        if f.getsampwidth() != 2:
            raise SystemExit("only 16-bit WAV files are supported")
        data = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2").astype(np.float32)
        data = data.reshape(-1, f.getnchannels()).mean(axis=1)
        return (data / 32768.0).astype(np.float32), float(f.getframerate())


def write_png(path: str, image: np.ndarray) -> None:
    """Writes an 8-bit greyscale image (rows top to bottom) as a PNG file, with zlib only."""
    height, width = image.shape
    raw = b"".join(b"\x00" + image[row].tobytes() for row in range(height))

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wav", help="a mono or stereo 16-bit WAV file (default: a synthesised example)")
    parser.add_argument("--png", default="piano_roll.png", help="where to write the picture")
    args = parser.parse_args()

    signal, rate = read_wav(args.wav) if args.wav else (synthesise(48_000.0), 48_000.0)

    keys = np.arange(21, 109)  # A0 .. C8
    freqs = np.array([marlune.midi_to_hz(int(k), 440.0) for k in keys], dtype=np.float32)
    # The default smoothing (heuristic_alphas) reacts fast but is wider than a semitone at the
    # low keys; a 50 ms time constant separates neighbouring keys from about C2 upwards.
    alphas = np.full(len(freqs), marlune.alpha_from_tau(0.05, rate), dtype=np.float32)
    bank = marlune.ResonatorBank(freqs, rate, alphas=alphas)  # betas default to the alphas

    hop = int(rate // 100)  # one frame every 10 ms
    frames = bank.resonate(signal, hop)  # complex64, shape (frames, 88)
    magnitudes = np.abs(frames)

    per_quarter = 25  # frames per quarter second
    print(f"{len(signal) / rate:.2f} s of audio, {frames.shape[0]} frames of {frames.shape[1]} keys")
    for start in range(0, frames.shape[0], per_quarter):
        level = magnitudes[start : start + per_quarter].mean(axis=0)
        strongest = np.argsort(level)[::-1][:6]  # loudest first
        loud = [note_name(int(keys[i])) for i in strongest if level[i] > 0.5 * level.max()]
        print(f"{start / 100:5.2f} s  {' '.join(loud)}")

    decibels = 20 * np.log10(np.maximum(magnitudes, 1e-12) / max(float(magnitudes.max()), 1e-12))
    image = (255 * np.clip(1 + decibels.T[::-1] / 50, 0, 1)).astype(np.uint8)  # 50 dB range, top key on top
    image = np.repeat(np.repeat(image, 3, axis=0), 2, axis=1)  # 3 pixel rows per key, 2 columns per frame
    write_png(args.png, image)
    print(f"wrote {args.png} ({image.shape[1]}x{image.shape[0]})")


if __name__ == "__main__":
    main()
