// Subnormal numbers read and written as zero for as long as a guard lives.
//
// Real-time audio code flushes subnormals, and the bank has to as well: on exact digital
// silence every average decays geometrically into the subnormal range, where many CPUs take a
// microcode assist on each operation (tens of times slower), and the slow channels then stick at
// a subnormal fixed point where (1 - alpha) * s rounds back to s, so the bank stays slow for as
// long as the silence lasts. With the floating-point unit told to flush, an operand that is
// subnormal is read as zero and a result that would be subnormal becomes a zero of its sign; the
// hardware does it at no cost, and every value that stays normal keeps its IEEE bits.
//
// The guard sets the control word once per call into a kernel and restores the caller's word on
// every way out. The kernels are reached through function pointers, so the compiler cannot move
// their arithmetic across the guard; nothing may inline a kernel into the guard's scope.
//
// x86-64: MXCSR's flush-to-zero (bit 15) and denormals-are-zero (bit 6); tininess is detected
// after rounding. aarch64: FPCR.FZ (bit 24), which flushes both operands and results; tininess
// is detected before rounding. Other architectures: no flush, the IEEE behaviour throughout.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define MARLUNE_FLUSH_X86 1
#elif defined(__aarch64__)
#define MARLUNE_FLUSH_ARM 1
#endif

namespace marlune {

// True where the guard below flushes; false where the update is plain IEEE.
#if defined(MARLUNE_FLUSH_X86) || defined(MARLUNE_FLUSH_ARM)
inline constexpr bool flushes_subnormals = true;
#else
inline constexpr bool flushes_subnormals = false;
#endif

class FlushToZero {
public:
    FlushToZero() noexcept : saved_(read()) {
        // Written only when it differs: writing the control word costs more than reading it,
        // and a caller that already flushes pays nothing.
        if ((saved_ & flush_bits) != flush_bits) write(saved_ | flush_bits);
    }
    ~FlushToZero() {
        if ((saved_ & flush_bits) != flush_bits) write(saved_);
    }
    FlushToZero(const FlushToZero&) = delete;
    FlushToZero& operator=(const FlushToZero&) = delete;

private:
#if defined(MARLUNE_FLUSH_X86)
    using Word = unsigned int;
    static constexpr Word flush_bits = (Word{1} << 15) | (Word{1} << 6);
    static Word read() noexcept { return _mm_getcsr(); }
    static void write(Word w) noexcept { _mm_setcsr(w); }
#elif defined(MARLUNE_FLUSH_ARM)
    using Word = std::uint64_t;
    static constexpr Word flush_bits = Word{1} << 24;
    static Word read() noexcept {
        Word w;
        asm volatile("mrs %0, fpcr" : "=r"(w) : : "memory");
        return w;
    }
    static void write(Word w) noexcept { asm volatile("msr fpcr, %0" : : "r"(w) : "memory"); }
#else
    using Word = unsigned int;
    static constexpr Word flush_bits = 0;
    static Word read() noexcept { return 0; }
    static void write(Word) noexcept {}
#endif
    Word saved_;
};

}  // namespace marlune
