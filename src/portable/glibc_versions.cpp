// Keeps the module loadable on glibc 2.28 when the C++ runtime is linked in statically.
//
// A static libstdc++ built on a newer glibc refers to two glibc symbols that 2.28 does not have:
//
//   __libc_single_threaded (GLIBC_2.32)  read by libstdc++ to skip atomic operations while the
//                                        process has one thread (reference counts, local statics);
//   arc4random (GLIBC_2.36)              called only by std::random_device, which the module never
//                                        constructs but which comes along with the string code.
//
// Defining both here, hidden, makes the linker bind those references inside the module, so the
// module asks glibc for neither. `__libc_single_threaded` stays 0 ("there may be other threads"):
// libstdc++ then always takes its atomic paths, which are correct in every process; only the
// single-thread shortcut is lost. `arc4random` draws from the kernel with getrandom (glibc 2.25),
// as glibc's own does, and like glibc's it ends the process if the kernel cannot supply entropy.
//
// The unwinder is not linked in (libgcc stays the system's shared libgcc_s, which every manylinux
// policy allows): the static one needs _dl_find_object (GLIBC_2.35) and the pthread symbols of
// GLIBC_2.34. The test suite checks with auditwheel that no newer symbol version is left.
#include <cstdint>  // first: it brings in <features.h>, which says whether this is glibc

#if defined(__GLIBC__)

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

extern "C" {

__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

__attribute__((visibility("hidden"))) std::uint32_t arc4random() {
    std::uint32_t value = 0;
    auto* out = reinterpret_cast<unsigned char*>(&value);
    std::size_t have = 0;
    while (have < sizeof value) {
        const ssize_t got = getrandom(out + have, sizeof value - have, 0);
        if (got > 0) {
            have += static_cast<std::size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            std::abort();
        }
    }
    return value;
}

}  // extern "C"

#endif
