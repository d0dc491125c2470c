// The order in which a Delaunay build inserts a cloud's points, and the
// cloud's exact duplicates.
//
// Points are inserted in biased randomised rounds (BRIO: about half of
// them in the last round, a quarter in the one before, and so on), each
// round along a space-filling curve, so that a walk from the previous
// insertion to the next is short while the rounds keep the randomisation
// that bounds the expected work. Everything here depends on the
// coordinates and the point numbers only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "predicates.hpp"

namespace tevu::delaunay {

struct InsertionOrder {
    // Original indices of the distinct points, in insertion order.
    std::vector<std::uint32_t> order;
    // The same indices in the order of the curve alone (without rounds).
    std::vector<std::uint32_t> curve;
    // Where each round starts in `order`.
    std::vector<std::size_t> rounds;
    // For every point, the original index of its first copy: the smallest
    // index of a point at exactly the same position (itself if none).
    std::vector<std::uint32_t> first_copy;
};

// `points` are finite. `points.size()` is below 2^32. Up to `workers`
// threads share the work; the result does not depend on them.
InsertionOrder insertion_order(std::span<const geom::Vec3> points, std::size_t workers);

}  // namespace tevu::delaunay
