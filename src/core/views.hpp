// Read-only strided views over memory the core does not own (NumPy arrays
// handed in by the binding, or the core's own contiguous buffers).
//
// Strides are in bytes and may be negative or not a multiple of the element
// size, and the base need not be aligned, so elements are loaded with memcpy;
// compilers turn that into a plain load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "errors.hpp"

namespace tevu {

template <class T>
struct StridedView {
    const std::byte* base = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(T);  // bytes between consecutive elements

    static StridedView of(std::span<const T> values) {
        return {reinterpret_cast<const std::byte*>(values.data()), values.size(), sizeof(T)};
    }

    std::size_t size() const noexcept { return len; }

    // Unit stride (or too short for the stride to matter).
    bool contiguous() const noexcept {
        return len < 2 || stride == static_cast<std::ptrdiff_t>(sizeof(T));
    }

    // Unchecked: the caller has established i < len.
    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, base + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return value;
    }

    T at(std::size_t i) const { return (*this)[checked_index(i, len)]; }
};

template <class T>
struct StridedView2D {
    const std::byte* base = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    // Unchecked: the caller has established r < rows and c < cols.
    T operator()(std::size_t r, std::size_t c) const noexcept {
        T value;
        std::memcpy(&value,
                    base + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof(T));
        return value;
    }
};

using IndexView = StridedView<std::uint32_t>;

}  // namespace tevu
