// The content of a grouped query set, and the two pieces of numeric work the
// binding does for it: building it (concatenation and Morton sort) and
// mapping a blocked descent's raw answers back to each cloud's original
// order and the target's original indices. No interpreter types here; both
// run with the thread detached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "../core/buffer.hpp"
#include "../core/greedy.hpp"
#include "../core/points.hpp"
#include "../core/views.hpp"

namespace tevu::py {

// A permutation handed in from Python (new position -> original position),
// absent for a cloud that was not reordered.
using PermView = std::optional<StridedView<std::int64_t>>;

// Many query clouds' points, concatenated cloud by cloud and then put in
// Morton order. Never changes once built.
template <class T>
struct GroupedQuerySet {
    PackedPoints<T> points;          // points[s] is concatenated point perm[s]
    Buffer<std::size_t> perm;        // sorted position -> concatenated index
    Buffer<std::size_t> offsets;     // cloud c: offsets[c] .. offsets[c+1] - 1
    std::vector<std::optional<Buffer<std::int64_t>>> query_perms;  // as given, unchecked
    // Position in the finished output (each cloud in its original order) ->
    // sorted position, worked out once when the set is built, so that the
    // answers are gathered into the output in order rather than scattered.
    // With query perms, only there when every such perm's used entries are
    // a permutation of its cloud's positions.
    std::optional<Buffer<std::size_t>> answer_source;

    std::size_t n_points() const noexcept { return points.size(); }
    std::size_t n_clouds() const noexcept { return offsets.size() - 1; }
};

template <class T>
GroupedQuerySet<T> build_grouped_set(std::span<const PointSpan<T>> clouds,
                                     std::span<const PermView> query_perms);

// Turns raw answers in Morton order with internal target indices into
// answers in each cloud's original point order with original target indices
// (misses keep the miss marker). A query perm whose used entries are not a
// permutation of its cloud's positions fails instead of leaving holes.
template <class T>
NearestResult<T> finalize_grouped(const GroupedQuerySet<T>& set, NearestResult<T> raw,
                                  const PermView& target_perm, std::size_t ny);

}  // namespace tevu::py
