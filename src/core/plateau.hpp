// Leaving a plateau: where a descent stops among points that, as rounded,
// are all equally far from the query.
//
// Descents compare rounded squared distances. Distinct points closer together
// than the rounding error of their distances from q (a tight cluster seen from
// afar) look equally far, and a descent that enters such a cluster stops at
// whichever member the tie-break leaves it on. On a Delaunay graph a vertex
// that is not a nearest point has a neighbour exactly nearer to q, but when the
// cluster is tight that neighbour may be another member, rounded to the same
// or a slightly larger distance, and the member that links onwards to the
// nearest point may be several edges away. The descent would end there with an
// answer many times too far.
//
// So a step that does not move, but sees a neighbour within rounding reach of
// its own distance, hands over to a breadth-first search of the plateau: the
// vertices reachable from the end vertex through vertices within reach,
// unless the distances are sure to be exact, so that no neighbour of the end
// vertex is nearer (as with the exact ties of grids and copies, which are
// common). The
// first vertex it meets that is strictly nearer (as rounded) than the end
// vertex is where the descent goes on; if there is none, the descent ends
// where it stopped. Every exactly-nearer vertex on a path to an exact nearest
// point is within reach, so on a Delaunay graph the descent ends at a point
// whose distance lies within rounding of the nearest one.
#pragma once

#include <cstddef>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "errors.hpp"
#include "point_tree.hpp"
#include "points.hpp"

namespace tevu {

// The largest rounded squared distance that may belong to a point exactly
// nearer than one whose rounded squared distance is d2. With u the unit
// roundoff, a rounded squared distance lies within a relative 5u of the exact
// one (plus an absolute error near underflow), so two exactly ordered
// distances can come out swapped by a relative 10u; the reach allows 15u
// after its own rounding. It never exceeds the
// largest finite value (an overflowing reach would take in every infinite
// distance); NaN and infinity give themselves.
template <class T>
inline T plateau_reach(T d2) noexcept {
    constexpr T relative = 8 * std::numeric_limits<T>::epsilon();
    constexpr T absolute = 4 * std::numeric_limits<T>::denorm_min();
    constexpr T largest = std::numeric_limits<T>::max();
    if (!(d2 <= largest)) return d2;
    const T reach = (d2 + d2 * relative) + absolute;
    return reach < largest ? reach : largest;
}

// What a step that measured its neighbours from the pair (plateau_reach(d2),
// cur) found: the lexicographic minimum (e2, best) of that pair and the
// neighbours' (distance, id).
enum class StepOutcome { moved, stopped, on_plateau };

template <class T>
inline StepOutcome step_outcome(std::size_t cur, T d2, std::size_t best, T e2) noexcept {
    // Without branches but the last: whether a step moves is as hard to
    // predict as it ever was, and a plateau is rare or, on grids, the rule.
    const bool other = best != cur;
    const bool nearer = (e2 < d2) | ((e2 == d2) & (best < cur));
    return (other & nearer)    ? StepOutcome::moved
           : (other & !nearer) ? StepOutcome::on_plateau
                               : StepOutcome::stopped;
}

// The vertices of a plateau in the order they were found, each once: a
// linear search finds those already in while there are few, an
// open-addressing table once there are more.
class PlateauList {
public:
    explicit PlateauList(std::uint32_t first) { list_.reserve(kLinear); list_.push_back(first); }

    std::size_t size() const noexcept { return list_.size(); }
    std::uint32_t operator[](std::size_t i) const noexcept { return list_[i]; }

    // Appends v unless it is in already.
    void add(std::uint32_t v) {
        if (list_.size() <= kLinear) {
            for (const std::uint32_t u : list_) {
                if (u == v) return;
            }
            list_.push_back(v);
            if (list_.size() > kLinear) {
                for (const std::uint32_t u : list_) enter(u);
            }
            return;
        }
        if (enter(v)) list_.push_back(v);
    }

private:
    static constexpr std::size_t kLinear = 32;
    // Slots hold id + 1, so that 0 marks an empty one.
    bool enter(std::uint32_t v) {
        if (2 * (entered_ + 1) > table_.size()) grow();
        const std::uint64_t key = std::uint64_t{v} + 1;
        std::size_t at = (key * 0x9E3779B97F4A7C15ull >> 32) & (table_.size() - 1);
        while (table_[at] != 0) {
            if (table_[at] == key) return false;
            at = (at + 1) & (table_.size() - 1);
        }
        table_[at] = key;
        ++entered_;
        return true;
    }

    void grow() {
        std::vector<std::uint64_t> old(table_.empty() ? 4 * kLinear : 2 * table_.size(), 0);
        old.swap(table_);
        entered_ = 0;
        for (const std::uint64_t key : old) {
            if (key != 0) enter(static_cast<std::uint32_t>(key - 1));
        }
    }

    std::vector<std::uint32_t> list_;
    std::vector<std::uint64_t> table_;
    std::size_t entered_ = 0;
};

// Whether dist2(p, q) is sure to be the exact squared distance: every
// difference exact, with few enough significant bits for an exact square, and
// both sums exact. A cheap test that grid and integer coordinates pass; it
// may say no to some exact distances, never yes to an inexact one.
template <class T>
bool distance_is_exact(const Vec4<T>& p, const Vec4<T>& q) noexcept;

// The binary range of a set of coordinates: every one is a whole multiple
// of 2^-bottom and below 2^top in magnitude (zeros count for nothing);
// unusable once one is NaN, infinite or subnormal.
struct BinaryRange {
    static constexpr int kNone = std::numeric_limits<int>::min();  // no nonzero coordinate
    int top = kNone;
    int bottom = kNone;
    bool usable = true;

    template <class T>
    void include(T value) noexcept {
        using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
        constexpr int kFraction = std::numeric_limits<T>::digits - 1;
        constexpr int kExponentMax = 2 * std::numeric_limits<T>::max_exponent - 1;
        constexpr int kBias = std::numeric_limits<T>::max_exponent - 1;
        Bits bits;
        std::memcpy(&bits, &value, sizeof bits);
        const int biased = static_cast<int>(bits >> kFraction) & kExponentMax;
        const Bits significand = bits & ((Bits{1} << kFraction) - 1);
        if (biased == 0 && significand == 0) return;  // a zero
        if (biased == 0 || biased == kExponentMax) {
            usable = false;
            return;
        }
        // |value| = (2^kFraction + significand) 2^(biased - kBias - kFraction)
        const int lowest = biased - kBias - kFraction +
                           std::countr_zero(significand | (Bits{1} << kFraction));
        top = std::max(top, biased - kBias + 1);
        bottom = std::max(bottom, -lowest);
    }

    void include(const BinaryRange& other) noexcept {
        top = std::max(top, other.top);
        bottom = std::max(bottom, other.bottom);
        usable &= other.usable;
    }

    // Whether squared distances between points within the range come out
    // exact: differences are multiples of 2^-bottom below 2^(top + 1), and
    // squares and their sums multiples of 2^(-2 bottom) below 2^(2 top + 4),
    // so 2 (top + bottom) + 4 bits hold them all, as long as the unit does
    // not underflow and the sum does not overflow.
    template <class T>
    bool distances_exact() const noexcept {
        if (!usable) return false;
        if (top == kNone) return true;  // every coordinate 0
        constexpr int kDigits = std::numeric_limits<T>::digits;
        return 2 * (top + bottom) + 4 <= kDigits &&
               -2 * bottom >= std::numeric_limits<T>::min_exponent - kDigits &&
               2 * top + 4 <= std::numeric_limits<T>::max_exponent;
    }
};

template <class T>
BinaryRange binary_range(PointSpan<T> points) noexcept;

// Whether every squared distance from q to a point of the target comes out
// exact (integer grids, say). Then a descent's rounded ties are exact ties,
// and no plateau needs searching.
template <class T>
inline bool distances_exact_from(const Vec4<T>& q, const BinaryRange& target) noexcept {
    BinaryRange r = target;
    for (int k = 0; k < 3; ++k) r.include(q.lane[k]);
    return r.distances_exact<T>();
}

// Whether a target's CSR graph can be read without failing: every vertex's
// offsets are in order and within the neighbour array, and every id they
// cover names a target point.
template <class Offsets, class Ids>
bool graph_reads_cleanly(std::size_t n_points, const Offsets& indptr, const Ids& indices) noexcept {
    if (indptr.size() <= n_points) return false;
    for (std::size_t u = 0; u < n_points; ++u) {
        const std::size_t lo = indptr[u];
        const std::size_t hi = indptr[u + 1];
        if (lo > hi || hi > indices.size()) return false;
        for (std::size_t e = lo; e < hi; ++e) {
            if (indices[e] >= n_points) return false;
        }
    }
    return true;
}

// What the descents of one search call learn of its target to spare plateau
// searches, each worked out the first time a descent needs it, so that calls
// whose descents never end beside a tie pay nothing: whether q's distances
// are exact (distances_exact_from), and whether any target point can be
// strictly nearer than a descent's end (none_nearer).
template <class T>
class ExactDistances {
public:
    // Plateau searches that found nothing nearer may together read the
    // lists of max(kMinVainLists, n / 2) vertices of a target of n points
    // before the call builds a tree over it: by then they cost more than the
    // tree does.
    static constexpr std::size_t kMinVainLists = 256;
    // Larger targets are never indexed whole.
    static constexpr std::size_t kMaxIndexed = std::size_t{1} << 22;

    explicit ExactDistances(PointSpan<T> target) noexcept : target_(target) {}

    bool from(const Vec4<T>& q) noexcept {
        if (!known_) {
            range_ = binary_range(target_);
            known_ = true;
        }
        return distances_exact_from(q, range_);
    }

    // Whether no target point can be strictly nearer to q than d2: the
    // monotone squared gap from q to the target's bounding box is not below
    // d2 (a point with a NaN coordinate, which the box ignores, is never
    // nearer than anything). A query point far from the target for its
    // precision, from which all of it looks equally far, then needs no
    // search of a plateau as large as the cloud.
    //
    // Points at the box's edge are often nearer than the corner only by a
    // rounding step, so the box cannot tell for all such query points; once
    // the call holds a tree over the whole target, the tree answers the rest.
    bool none_nearer(const Vec4<T>& q, T d2) noexcept {
        if (!box_known_) {
            box_ = bounding_box(target_);
            box_known_ = true;
        }
        if (monotone_gap2(q, box_.lo.lane, box_.hi.lane) >= d2) return true;
        return whole_ != nullptr && none_nearer_in_tree(q, d2);
    }

    // Records a plateau search that found nothing nearer after reading the
    // lists of `searched` vertices. Once such searches have read more lists
    // than half the target has points, the call builds a tree over the whole
    // target: then none_nearer spares the searches that would find nothing,
    // and a far query cloud's plateau searches no longer cost O(n) each.
    // Skipping a search that would find nothing changes no answer; it only
    // leaves its reads out. So the tree is built only for a graph that reads
    // cleanly, on which those reads could not have failed either. Running out
    // of memory only means there is no tree.
    template <class Offsets, class Ids>
    void searched_in_vain(std::size_t searched, const Offsets& indptr, const Ids& indices) noexcept {
        if (indexing_tried_) return;
        const std::size_t n = target_.size();
        vain_lists_ += searched;
        if (vain_lists_ < std::max(kMinVainLists, n / 2)) return;
        indexing_tried_ = true;
        if (n > kMaxIndexed || !graph_reads_cleanly(n, indptr, indices)) return;
        try {
            std::vector<std::uint32_t> finite;
            for (std::size_t i = 0; i < n; ++i) {
                if (finite3(target_[i])) finite.push_back(static_cast<std::uint32_t>(i));
            }
            const IdRun ids{reinterpret_cast<const std::byte*>(finite.data()), finite.size()};
            whole_ = std::make_unique<PointListTree<T>>(target_.data(), n, ids);
        } catch (const std::bad_alloc&) {
            whole_.reset();
        }
    }

private:
    // Whether no finite target point's distance comes out below d2 (a point
    // with a coordinate that is not finite is never nearer than a finite
    // d2). A query point that is not finite is left to the search.
    bool none_nearer_in_tree(const Vec4<T>& q, T d2) const noexcept {
        if (!finite3(q) || !(d2 <= std::numeric_limits<T>::max())) return false;
        T nearest = d2;
        std::size_t id = 0;  // so that a point exactly as near is never taken
        whole_->scan(q, nearest, id);
        return !(nearest < d2);
    }

    PointSpan<T> target_;
    BinaryRange range_;
    bool known_ = false;
    Box<T> box_{};
    bool box_known_ = false;
    std::size_t vain_lists_ = 0;
    bool indexing_tried_ = false;
    std::unique_ptr<PointListTree<T>> whole_;  // the finite target points
};

// The breadth-first search of the plateau around `cur`, at squared distance
// d2 from q. Vertices are taken first in, first out, their neighbours in CSR
// order; a neighbour strictly nearer than d2 ends the search, and then `cur`
// and d2 become that neighbour and its distance and the result is true.
// Neighbours within reach join the plateau.
//
// Once cur's own neighbours are read, the search goes on only if one within
// reach may be exactly nearer to q than cur: unless both distances are sure
// to be exact, it may. If none may, cur is exactly nearer than all its
// neighbours, which on a Delaunay graph makes it a nearest point; so ties
// that are exact (grids, copies) end the search at once.
//
// Every offset and id is checked when it is read, as a descent checks them.
// Kept out of line: descents on ordinary clouds do not come here.
template <class T, class Offsets, class Ids>
[[gnu::noinline]] bool leave_plateau(const Vec4<T>* points, std::size_t n_points,
                                     Offsets indptr, Ids indices, const Vec4<T>& q,
                                     std::size_t& cur, T& d2, std::size_t& searched) {
    searched = 0;
    if (!(d2 > 0)) return false;  // nothing is nearer than 0
    const T reach = plateau_reach(d2);
    const bool cur_exact = distance_is_exact(points[cur], q);
    bool may_lead_nearer = false;
    PlateauList plateau(static_cast<std::uint32_t>(cur));
    for (std::size_t next = 0; next < plateau.size(); ++next) {
        searched = next + 1;
        const std::size_t u = plateau[next];
        const std::size_t lo = indptr[checked_index(u, indptr.size())];
        const std::size_t hi = indptr[checked_index(u + 1, indptr.size())];
        check_range(lo, hi, indices.size());
        for (std::size_t e = lo; e < hi; ++e) {
            const std::uint32_t v = indices[e];
            const Vec4<T>& p = points[checked_index(v, n_points)];
            const T e2 = dist2(p, q);
            if (e2 < d2) {
                cur = v;
                d2 = e2;
                return true;
            }
            if (!(e2 <= reach)) continue;
            if (next == 0 && !may_lead_nearer) {
                may_lead_nearer = !cur_exact || !distance_is_exact(p, q);
            }
            plateau.add(v);
        }
        if (next == 0 && !may_lead_nearer) return false;
    }
    return false;
}

// A descent stopped at `cur`, at squared distance d2 from q, beside a
// neighbour within rounding reach: searches the plateau unless `exact` shows
// that nothing can be nearer, and tells `exact` of searches made in vain.
// Returns whether the descent moves on (to the new `cur` and d2).
template <class T, class Offsets, class Ids>
bool search_plateau(const Vec4<T>* points, std::size_t n_points, const Offsets& indptr,
                    const Ids& indices, const Vec4<T>& q, std::size_t& cur, T& d2,
                    ExactDistances<T>& exact) {
    if (exact.from(q) || exact.none_nearer(q, d2)) return false;
    std::size_t searched = 0;
    if (leave_plateau(points, n_points, indptr, indices, q, cur, d2, searched)) return true;
    exact.searched_in_vain(searched, indptr, indices);
    return false;
}

}  // namespace tevu
