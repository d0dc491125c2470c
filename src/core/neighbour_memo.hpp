// The neighbours of one vertex, with their coordinates laid out axis by axis,
// kept by a run of descents that keeps scanning that vertex.
//
// Descents seeded from the previous query point's answer start where it
// ended: in a run of points sorted along a curve, many points in a row end at
// (and so scan) the same target vertex. The first scan of a vertex reads its
// neighbour list and gathers the points, four to a vector; once a vertex is
// scanned twice in a row the memo holds its neighbours' x, y and z in
// separate arrays, and further scans of it are straight vector arithmetic
// without reading the graph. The answers are the same bit for bit: each
// distance is summed as (dx² + dy²) + dz², and the minimum is the same
// lexicographic minimum over (distance, id).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "points.hpp"
#include "scan.hpp"

namespace tevu {

template <class T>
class NeighbourMemo {
    using V = simd::Value<T>;
    using Id = simd::Id<T>;
    using IdLane = std::remove_reference_t<decltype(Id{}[0])>;
    static constexpr std::size_t kLanes = sizeof(V) / sizeof(T);

public:
    // Longer lists are never kept.
    static constexpr std::size_t kMaxNeighbours = 32;

    bool holds(std::size_t v) const noexcept { return v == held_; }

    // Notes a scan of v over its neighbours `ids`, which that scan has
    // checked (or which are known to be in range); keeps them when v was
    // also the vertex scanned before.
    void scanned(std::size_t v, const Vec4<T>* points, IdRun ids) noexcept {
        if (v != last_ || ids.len > kMaxNeighbours) {
            last_ = v;
            return;
        }
        held_ = v;
        count_ = ids.len;
        for (std::size_t e = 0; e < ids.len; ++e) {
            const std::uint32_t id = ids[e];
            const Vec4<T>& p = points[id];
            x_[e] = p.lane[0];
            y_[e] = p.lane[1];
            z_[e] = p.lane[2];
            ids_[e] = static_cast<IdLane>(id);
        }
        // Padding lanes measure NaN, which no scan takes.
        for (std::size_t e = ids.len; e < padded(ids.len); ++e) {
            x_[e] = y_[e] = z_[e] = std::numeric_limits<T>::quiet_NaN();
            ids_[e] = 0;
        }
    }

    // scan_min over the held vertex's neighbours: (d2, best) becomes the
    // lexicographic minimum of itself and every (distance, id).
    void scan(const Vec4<T>& q, T& d2, std::size_t& best) const noexcept {
        const V qx = V{} + q.lane[0];
        const V qy = V{} + q.lane[1];
        const V qz = V{} + q.lane[2];
        V bd = V{} + d2;
        Id bi = Id{} + static_cast<IdLane>(best);
        for (std::size_t e = 0; e < count_; e += kLanes) {
            const V dx = load(x_, e) - qx;
            const V dy = load(y_, e) - qy;
            const V dz = load(z_, e) - qz;
            Id id;
            std::memcpy(&id, ids_ + e, sizeof id);
            simd::take_smaller<T>(bd, bi, (dx * dx + dy * dy) + dz * dz, id);
        }
        simd::fold_lanes<T>(bd, bi);
        d2 = bd[0];
        best = static_cast<std::size_t>(bi[0]);
    }

private:
    static constexpr std::size_t padded(std::size_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

    static V load(const T* values, std::size_t e) noexcept {
        V v;
        std::memcpy(&v, values + e, sizeof v);
        return v;
    }

    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::size_t held_ = kNone;  // whose neighbours are kept
    std::size_t last_ = kNone;  // the vertex scanned last
    std::size_t count_ = 0;
    alignas(32) T x_[kMaxNeighbours];
    alignas(32) T y_[kMaxNeighbours];
    alignas(32) T z_[kMaxNeighbours];
    alignas(32) IdLane ids_[kMaxNeighbours];
};

}  // namespace tevu
