// Owned, heap-allocated arrays of trivially copyable elements.
//
// A `Buffer` is the form in which the core returns results: its memory comes
// from the C allocator, so the binding can release it and let the Python
// array that wraps it free it later with `std::free`, without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "errors.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tevu {

// Byte size of `n` elements of `elem_size` bytes, failing with
// "capacity overflow" when it exceeds the largest size one allocation may have.
inline std::size_t checked_bytes(std::size_t n, std::size_t elem_size) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / elem_size) fail(kCapacityOverflow);
    return n * elem_size;
}

// Asks Linux to back a large allocation with transparent huge pages, as
// NumPy does for its arrays: the searches read packed points and neighbour
// lists at random, and with 4 KiB pages a cloud of a million points costs a
// TLB miss on most reads. Only whole pages inside the block are advised;
// where the kernel declines (or elsewhere) nothing changes.
inline void advise_huge_pages(void* memory, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kFrom = std::size_t{4} << 20;
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < kFrom) return;
    const auto first = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t start = (first + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (first + bytes) & ~(kPage - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)bytes;
#endif
}

template <class T, std::size_t Align = alignof(T)>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Align >= alignof(T) && (Align & (Align - 1)) == 0);

public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    // `n` elements with indeterminate values (every one must be written).
    static Buffer uninitialized(std::size_t n) {
        Buffer buffer;
        std::size_t bytes = checked_bytes(n, sizeof(T));
        // Never a null pointer, also for n = 0, and a whole number of
        // alignment units as aligned_alloc requires.
        bytes = (bytes + Align - 1) / Align * Align;
        if (bytes == 0) bytes = Align;
        void* memory = Align <= alignof(std::max_align_t) ? std::malloc(bytes)
                                                          : std::aligned_alloc(Align, bytes);
        if (memory == nullptr) throw std::bad_alloc();
        advise_huge_pages(memory, bytes);
        buffer.data_ = static_cast<T*>(memory);
        buffer.size_ = n;
        return buffer;
    }

    static Buffer filled(std::size_t n, const T& value) {
        Buffer buffer = uninitialized(n);
        for (std::size_t i = 0; i < n; ++i) buffer.data_[i] = value;
        return buffer;
    }

    // Takes over `n` elements at `data`, memory from the C allocator with at
    // least this buffer's alignment (for instance released by another Buffer
    // whose storage now holds these elements).
    static Buffer adopt(T* data, std::size_t n) noexcept {
        Buffer buffer;
        buffer.data_ = data;
        buffer.size_ = n;
        return buffer;
    }

    static Buffer copy_of(const T* values, std::size_t n) {
        Buffer buffer = uninitialized(n);
        if (n != 0) std::memcpy(buffer.data_, values, n * sizeof(T));
        return buffer;
    }

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

    // Gives up ownership; the caller frees the memory with std::free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// Leaves elements that a vector grows by without arguments uninitialised,
// for arrays whose new parts are written by the threads that use them (who
// then also take the page faults of first writes).
template <class T>
struct UninitialisedGrowth : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitialisedGrowth<U>;
    };
    UninitialisedGrowth() = default;
    template <class U>
    UninitialisedGrowth(const UninitialisedGrowth<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

}  // namespace tevu
