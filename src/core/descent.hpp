// Steepest descent over a contiguous CSR graph: the step both k = 1 searches
// share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "errors.hpp"
#include "neighbour_memo.hpp"
#include "points.hpp"
#include "scan.hpp"
#include "stop_limits.hpp"

namespace tevu {

// How a descent treats a vertex whose two offsets are equal: the greedy
// search stops there without looking further; the blocked descent gathers
// the (empty) range, and so checks it against the neighbour array first.
enum class EmptyRange { stop, check };

// Moves from `cur` to the nearest neighbour while it is strictly nearer, or
// equally near with a smaller index. Returns the end vertex; `d2` receives
// its squared distance to q. Every index is checked when it is read.
// `facts` may hold the target's stop limits (a vertex nearer to q than its
// limit is where the descent ends, without reading its neighbours) and say
// that its neighbour ids need no checks. `memo`, if given, keeps the
// neighbours of the vertices scanned last; a vertex it holds was read and
// checked when it was kept, so its scan reads nothing more.
template <class T, EmptyRange kEmpty>
inline std::size_t descend_contiguous(const Vec4<T>* points, std::size_t n_points, IdRun indptr,
                                      IdRun indices, const Vec4<T>& q, std::size_t cur, T& d2_out,
                                      TargetFacts<T> facts = {},
                                      NeighbourMemo<T>* memo = nullptr) {
    const T* const stop = facts.stop_limits;
    const std::size_t id_limit = facts.ids_in_range ? kIdsChecked : n_points;
    T d2 = dist2(points[checked_index(cur, n_points)], q);
    for (;;) {
        // cur is below n_points: checked above, or an id the scan checked.
        if (stop != nullptr && d2 < stop[cur]) break;
        if (const auto* kept = memo != nullptr ? memo->find(cur) : nullptr) {
            std::size_t best = cur;
            NeighbourMemo<T>::scan(*kept, q, d2, best);
            if (best == cur) break;
            cur = best;
            continue;
        }
        const std::size_t lo = indptr[checked_index(cur, indptr.len)];
        const std::size_t hi = indptr[checked_index(cur + 1, indptr.len)];
        if (kEmpty == EmptyRange::stop && lo == hi) break;
        check_range(lo, hi, indices.len);
        if (lo == hi) break;
        const IdRun neighbours{indices.base + lo * sizeof(std::uint32_t), hi - lo,
                               indices.len - lo};
        std::size_t best = cur;
        scan_neighbours(points, id_limit, neighbours, q, d2, best);
        if (memo != nullptr) memo->keep(cur, points, neighbours);
        if (best == cur) break;
        cur = best;
    }
    d2_out = d2;
    return cur;
}

}  // namespace tevu
