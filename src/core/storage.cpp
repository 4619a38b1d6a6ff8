#include "storage.hpp"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace marlune {

namespace {

// Blocks from this size on are worth huge pages (NumPy's threshold too).
constexpr std::size_t huge_block_bytes = std::size_t{4} << 20;
// From this size on the C library maps every block afresh from the system (glibc's largest
// threshold), so nothing is lost by aligning it: the whole block can then be huge pages.
constexpr std::size_t fresh_block_bytes = std::size_t{32} << 20;
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

}  // namespace

void* allocate_storage(std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    if (bytes >= fresh_block_bytes) {
        // Whole huge pages: at most one partly used one at the end.
        const std::size_t pages = bytes / huge_page_bytes + (bytes % huge_page_bytes != 0);
        void* block = nullptr;
        if (posix_memalign(&block, huge_page_bytes, pages * huge_page_bytes) != 0) return nullptr;
        // Only advice: without huge pages the block works as it is.
        (void)madvise(block, pages * huge_page_bytes, MADV_HUGEPAGE);
        return block;
    }
    void* block = std::malloc(bytes);
    if (block != nullptr && bytes >= huge_block_bytes) {
        // Smaller blocks stay where the C library puts them, where it can hand the same memory
        // out again without new page faults; the system backs whatever huge pages fit inside.
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto begin = (reinterpret_cast<std::uintptr_t>(block) + page - 1) / page * page;
        const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) / page * page;
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
    return block;
#else
    return std::malloc(bytes);
#endif
}

}  // namespace marlune
