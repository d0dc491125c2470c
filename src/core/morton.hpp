// Z-order (Morton) ordering of a 3-D point set.
//
// Points close in space end up close in the order, so a run of consecutive
// points is a compact patch of space; the blocked descent relies on this to
// share start vertices and gathered neighbour lists within a block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"

namespace tevu {

using Coord3 = std::array<double, 3>;

// Bit k of a 21-bit value moved to bit 3k.
constexpr std::uint64_t morton_spread(std::uint64_t v) noexcept {
    v &= 0x1FFFFF;
    v = (v | v << 32) & 0x001F00000000FFFF;
    v = (v | v << 16) & 0x001F0000FF0000FF;
    v = (v | v << 8) & 0x100F00F00F00F00F;
    v = (v | v << 4) & 0x10C30C30C30C30C3;
    v = (v | v << 2) & 0x1249249249249249;
    return v;
}

// The key of three 21-bit cell numbers; x owns the lowest bit.
constexpr std::uint64_t morton_key(std::uint64_t qx, std::uint64_t qy, std::uint64_t qz) noexcept {
    return morton_spread(qx) | morton_spread(qy) << 1 | morton_spread(qz) << 2;
}

// The permutation (sorted position -> original index) that puts `points`
// in ascending key order; equal keys end in no particular order. Each axis
// is scaled to its own NaN-ignoring extent (1.0 when flat); a NaN
// coordinate falls into cell 0 of its axis. Requires at least one point.
Buffer<std::size_t> morton_perm(std::span<const Coord3> points);

}  // namespace tevu
