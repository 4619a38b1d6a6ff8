"""The strongest peer: the same update as an expertly written numba loop, with the bank's bits.

What makes it expert:
  - the fused multiply-adds come from LLVM's llvm.fma.f32 intrinsic (numba has no fma of its
    own, and without one the result cannot match), every other operation is a separately rounded
    single-precision operation, in the bank's order;
  - channels are padded to a whole number of vector registers and run a group at a time (two
    registers per group where the channels allow, so that two dependency chains overlap); a
    group's state lives in a small stack array that LLVM turns into registers, loaded once and
    stored once per run of samples, so a sample costs the input broadcast and the arithmetic;
  - frames are written from those registers at every hop end, and runs are cut where the
    renormalisation falls (every 256 samples, exactly as the bank counts), so the work is tiled
    in time and the frame rows are written in order;
  - LLVM is allowed to use 512-bit registers where the CPU has them (its default tuning for
    AVX-512 CPUs prefers 256-bit ones), worth about 1.5 times the throughput of this loop.
The parallel form runs disjoint channel ranges on numba's thread pool (prange).

configure() must run before numba is imported anywhere (librosa imports it too).
"""

from __future__ import annotations

import os
import re
import sys

import numpy as np

import workload

_configured = False


def configure(lanes: int) -> str:
    """Sets numba's target features before its first import; returns a note for the report."""
    global _configured
    if "numba" in sys.modules:
        raise RuntimeError("numba was imported before its target was configured")
    note = "LLVM host features"
    if lanes >= 16 and "NUMBA_CPU_FEATURES" not in os.environ:
        import llvmlite.binding as llvm

        features = llvm.get_host_cpu_features().flatten()
        os.environ["NUMBA_CPU_FEATURES"] = features + ",-prefer-256-bit"
        note = "LLVM host features, -prefer-256-bit (512-bit vectors)"
    _configured = True
    return note


class NumbaLoop:
    """The numba kernels for a vector width of `lanes` float32 (16 on AVX-512, 8 on AVX2)."""

    def __init__(self, lanes: int):
        if not _configured:
            raise RuntimeError("configure() first")
        self.lanes = max(lanes, 4)
        self._serial, self._parallel = _compile(self.lanes)
        self._warm()

    def padded(self, count: int) -> int:
        return -(-count // self.lanes) * self.lanes

    def prepare(self, ch: workload.Channels) -> tuple[np.ndarray, np.ndarray]:
        """Parameters (4 rows: alphas, betas, rotation re, im) and a fresh state (6 rows: phasor
        re, im, first average re, im, second re, im), padded with quiet channels."""
        n = self.padded(ch.count)
        params = np.zeros((4, n), dtype=np.float32)
        for row, values in enumerate((ch.alphas, ch.betas, ch.rotation_re, ch.rotation_im)):
            params[row, : ch.count] = values
        params[2, ch.count:] = 1.0
        state = np.zeros((6, n), dtype=np.float32)
        state[0] = 1.0
        return params, state

    def bank(self, ch: workload.Channels) -> "NumbaBank":
        return NumbaBank(self, ch)

    def kernel(self, parallel: bool):
        return self._parallel if parallel else self._serial

    def asm(self) -> str:
        return next(iter(self._serial.inspect_asm().values()))

    def _warm(self):
        x = workload.signal(0.01)
        for parallel in (False, True):
            self.bank(workload.channels(3 * self.lanes)).resonate(x, 7, parallel)


class NumbaBank:
    """A bank's worth of state for the numba loop, used the way a ResonatorBank is."""

    def __init__(self, loop: NumbaLoop, ch: workload.Channels):
        self._loop = loop
        self._channels = ch.count
        self._params, self._state = loop.prepare(ch)
        self._counter = 0

    def resonate(self, x: np.ndarray, hop: int, parallel: bool = False) -> np.ndarray:
        """The frames of `resonate(x, hop)`, complex64 (frames, channels); the state moves on
        as the bank's would."""
        frames = len(x) // hop
        out = np.empty((frames, self._params.shape[1]), dtype=np.complex64)
        kernel = self._loop.kernel(parallel)
        kernel(x, frames, hop, self._counter, self._params, self._state, out.view(np.float32))
        self._counter = (self._counter + frames * hop) % workload.RENORMALISE_PERIOD
        return out[:, : self._channels]


def vectorised_with_fma(asm: str, lanes: int) -> bool:
    """Whether the loop's assembly has packed fused multiply-adds on registers of `lanes`
    floats (zmm for 16, ymm for 8)."""
    register = {16: "zmm", 8: "ymm"}.get(lanes, "xmm")
    return re.search(rf"vfmadd\w*ps\s+%{register}", asm) is not None


def _compile(lanes: int):
    # Imported here: numba's target must be configured first.
    import numba
    from llvmlite import ir
    from numba import carray, njit, prange, types
    from numba.core import cgutils
    from numba.extending import intrinsic

    @intrinsic
    def fma(typingctx, a, b, c):
        """a * b + c with one rounding (llvm.fma.f32)."""
        sig = types.float32(types.float32, types.float32, types.float32)

        def codegen(context, builder, signature, args):
            f32 = ir.FloatType()
            fn = builder.module.declare_intrinsic(
                "llvm.fma", [f32], ir.FunctionType(f32, [f32, f32, f32]))
            return builder.call(fn, args)

        return sig, codegen

    @intrinsic
    def stack_floats(typingctx, count):
        """A pointer to `count` (a compile-time constant) floats on the stack."""
        if not isinstance(count, types.IntegerLiteral):
            return None
        size = count.literal_value

        def codegen(context, builder, signature, args):
            return cgutils.alloca_once(builder, ir.FloatType(), size=size)

        return types.CPointer(types.float32)(count), codegen

    period = workload.RENORMALISE_PERIOD
    options = dict(nogil=True, error_model="numpy", boundscheck=False, fastmath=False)

    def make_group(width):
        """Runs `width` channels from c0 through samples [s, end) with their state in registers,
        writing a frame at every hop end and renormalising at the end when asked."""

        @njit(inline="always", **options)
        def group(x, s, end, hop, next_end, params, state, out, c0, renormalise):
            # Indices run from 0 within one-dimensional slices, so that LLVM sees they are never
            # negative: numba then drops its wraparound test, and consecutive channels are moved
            # as whole registers.
            one = np.float32(1.0)
            a = carray(stack_floats(width), width)
            ca = carray(stack_floats(width), width)
            b = carray(stack_floats(width), width)
            cb = carray(stack_floats(width), width)
            rr = carray(stack_floats(width), width)
            ri = carray(stack_floats(width), width)
            pr = carray(stack_floats(width), width)
            pi = carray(stack_floats(width), width)
            ar = carray(stack_floats(width), width)
            ai = carray(stack_floats(width), width)
            sr = carray(stack_floats(width), width)
            si = carray(stack_floats(width), width)
            alphas = params[0, c0 : c0 + width]
            betas = params[1, c0 : c0 + width]
            rotation_re = params[2, c0 : c0 + width]
            rotation_im = params[3, c0 : c0 + width]
            phasor_re = state[0, c0 : c0 + width]
            phasor_im = state[1, c0 : c0 + width]
            accum_re = state[2, c0 : c0 + width]
            accum_im = state[3, c0 : c0 + width]
            smooth_re = state[4, c0 : c0 + width]
            smooth_im = state[5, c0 : c0 + width]
            for j in range(width):
                a[j] = alphas[j]
                b[j] = betas[j]
                ca[j] = one - a[j]
                cb[j] = one - b[j]
                rr[j] = rotation_re[j]
                ri[j] = rotation_im[j]
                pr[j] = phasor_re[j]
                pi[j] = phasor_im[j]
                ar[j] = accum_re[j]
                ai[j] = accum_im[j]
                sr[j] = smooth_re[j]
                si[j] = smooth_im[j]
            row = next_end // hop - 1
            t = s
            while t < end:
                stop = min(end, next_end)
                xs = x[t:stop]
                for u in range(stop - t):
                    xu = xs[u]
                    for j in range(width):
                        ax = a[j] * xu
                        ar[j] = fma(ca[j], ar[j], ax * pr[j])
                        ai[j] = fma(ca[j], ai[j], ax * pi[j])
                        sr[j] = fma(cb[j], sr[j], b[j] * ar[j])
                        si[j] = fma(cb[j], si[j], b[j] * ai[j])
                        re = pr[j] * rr[j] - pi[j] * ri[j]
                        im = pr[j] * ri[j] + pi[j] * rr[j]
                        pr[j] = re
                        pi[j] = im
                t = stop
                if t == next_end:
                    # A trip count LLVM cannot fold keeps this a loop that its vectoriser turns
                    # into interleaving permutes and whole-register stores (fully unrolled, it
                    # would be left as 2 * width scalar stores).
                    frame = out[row, 2 * c0 : 2 * (c0 + width)]
                    for j in range(frame.shape[0] // 2):
                        frame[2 * j] = sr[j]
                        frame[2 * j + 1] = si[j]
                    next_end += hop
                    row += 1
            if renormalise:
                for j in range(width):
                    m = pr[j] * pr[j] + pi[j] * pi[j]
                    scale = one / np.sqrt(m)
                    pr[j] = pr[j] * scale
                    pi[j] = pi[j] * scale
            for j in range(width):
                phasor_re[j] = pr[j]
                phasor_im[j] = pi[j]
                accum_re[j] = ar[j]
                accum_im[j] = ai[j]
                smooth_re[j] = sr[j]
                smooth_im[j] = si[j]

        return group

    pair = make_group(2 * lanes)
    single = make_group(lanes)

    @njit(**options)
    def channel_range(x, frames, hop, counter, params, state, out, c_begin, c_end):
        """Channels [c_begin, c_end) through frames * hop samples, a run between two
        renormalisations at a time, each run two registers of channels at a time."""
        total = frames * hop
        s = 0
        while s < total:
            end = min(total, s + (period - counter % period))
            counter += end - s
            renormalise = counter % period == 0
            next_end = (s // hop + 1) * hop
            c = c_begin
            while c + 2 * lanes <= c_end:
                pair(x, s, end, hop, next_end, params, state, out, c, renormalise)
                c += 2 * lanes
            while c < c_end:
                single(x, s, end, hop, next_end, params, state, out, c, renormalise)
                c += lanes
            s = end

    @njit(**options)
    def serial(x, frames, hop, counter, params, state, out):
        channel_range(x, frames, hop, counter, params, state, out, 0, params.shape[1])

    @njit(parallel=True, **options)
    def parallel(x, frames, hop, counter, params, state, out):
        registers = params.shape[1] // lanes
        parts = min(numba.get_num_threads(), registers)
        for p in prange(parts):
            c_begin = registers * p // parts * lanes
            c_end = registers * (p + 1) // parts * lanes
            channel_range(x, frames, hop, counter, params, state, out, c_begin, c_end)

    return serial, parallel
