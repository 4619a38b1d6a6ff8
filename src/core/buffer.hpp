// An owned, fixed-capacity heap buffer of trivially copyable values.
//
// Result arrays are handed to Python without copying: the buffer's memory becomes the array's
// memory, and whoever ends up owning it frees it with `free_storage`. A std::vector cannot give
// its storage away, hence this small type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "storage.hpp"

namespace marlune {

// The largest allocation, in bytes, that a buffer may have (the largest signed size, rounded
// down to a multiple of four so that float storage stays aligned).
inline constexpr std::uint64_t max_allocation_bytes = (std::uint64_t{1} << 63) - 4;

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    // Reserves room for `capacity` elements; the buffer starts empty. Sizes that cannot be
    // represented fail with "capacity overflow", storage that cannot be had with bad_alloc.
    static Buffer with_capacity(std::uint64_t capacity) {
        Buffer b;
        if (capacity == 0) return b;
        if (capacity > max_allocation_bytes / sizeof(T)) throw InternalFailure(capacity_overflow_message);
        void* p = allocate_storage(static_cast<std::size_t>(capacity) * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        b.data_ = static_cast<T*>(p);
        b.capacity_ = static_cast<std::size_t>(capacity);
        return b;
    }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            free_storage(data_, size_, capacity_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { free_storage(data_, size_, capacity_); }

    // Appends within the reserved capacity; the caller reserved enough.
    void push_back_unchecked(const T& value) noexcept { data_[size_++] = value; }
    // Takes the first `count` reserved elements, written through data(), as the contents.
    void assume_filled(std::size_t count) noexcept { size_ = count; }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Gives up ownership; the storage must later go to `free_storage` with the same values.
    struct Released {
        T* data;
        std::size_t size;
        std::size_t capacity;
    };
    Released release() noexcept {
        Released r{data_, size_, capacity_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        return r;
    }

    // Frees storage given up by `release`. The size and capacity are part of the signature so
    // that the routine can be stored beside them in a generic owner.
    static void free_storage(T* data, std::size_t /*size*/, std::size_t /*capacity*/) noexcept {
        std::free(data);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace marlune
