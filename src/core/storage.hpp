// Heap storage for the buffers that results are built in.
//
// Every block is freed with std::free, wherever it ends up. Large blocks (a long signal's
// frames) are aligned to and advised into huge pages where the system offers them, as NumPy
// does for its large arrays: a fresh block is then written at the cost of one page fault per
// 2 MiB instead of one per 4 KiB, which at short hops costs more than the update itself.
#pragma once

#include <cstddef>

namespace marlune {

// A block of `bytes` bytes (more than zero), or nullptr when there is no memory for it.
void* allocate_storage(std::size_t bytes) noexcept;

}  // namespace marlune
