#include "simplex_graph.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"

namespace tevu {
namespace {

constexpr std::size_t kCorners = 4;
// Each corner is paired with the three others, so a row enters twelve ids.
constexpr std::size_t kPairsPerCorner = kCorners - 1;
constexpr std::size_t kIdsPerRow = kCorners * kPairsPerCorner;

// Ids are stored in 32 bits, so at most 2^32 vertices. The second term is
// the published limit, that of a table with a three-word header per vertex;
// it binds only on 32-bit platforms.
constexpr std::uint64_t kMaxVertices =
    std::min<std::uint64_t>(std::uint64_t{1} << 32, PTRDIFF_MAX / (3 * sizeof(std::size_t)));

// The raw ids of all rows, before deduplication. Zeroed so that every slot holds a
// defined value even if the input changes under us between the two passes
// (a caller error that must still not read unwritten memory); large zeroed
// allocations come from the system at no extra cost.
struct FreeDeleter {
    void operator()(std::uint32_t* p) const noexcept { std::free(p); }
};
using Slots = std::unique_ptr<std::uint32_t[], FreeDeleter>;

Slots zeroed_slots(std::size_t n) {
    checked_bytes(n, sizeof(std::uint32_t));
    void* memory = std::calloc(n == 0 ? 1 : n, sizeof(std::uint32_t));
    if (memory == nullptr) throw std::bad_alloc();
    return Slots(static_cast<std::uint32_t*>(memory));
}

// The four corner ids of row `t`, converted to pointer width and checked in
// column order, so a failure names the first bad id of the row.
struct Corners {
    std::size_t id[kCorners];
};

Corners checked_corners(const StridedView2D<std::uint64_t>& simplices, std::size_t t,
                        std::size_t n_points) {
    Corners corners;
    for (std::size_t j = 0; j < kCorners; ++j) {
        corners.id[j] = checked_index(static_cast<std::size_t>(simplices(t, j)), n_points);
    }
    return corners;
}

// First pass: validates every id and returns, per vertex, where its raw ids
// begin in the slot array (exclusive prefix sums of its append counts).
std::vector<std::size_t> slot_starts(const StridedView2D<std::uint64_t>& simplices,
                                     std::size_t n_points) {
    std::vector<std::size_t> next(n_points, 0);
    for (std::size_t t = 0; t < simplices.rows; ++t) {
        const Corners corners = checked_corners(simplices, t, n_points);
        for (std::size_t v : corners.id) next[v] += kPairsPerCorner;
    }
    std::size_t start = 0;
    for (std::size_t& slot : next) start += std::exchange(slot, start);
    return next;
}

// Second pass: enters every pair of corners in both directions. Afterwards
// next[v] is the end of v's raw ids (and the start of v + 1's). The checks
// repeat the first pass's, which keeps every write in bounds even if the
// input was changed meanwhile.
void scatter_pairs(const StridedView2D<std::uint64_t>& simplices, std::size_t n_points,
                   std::vector<std::size_t>& next, std::uint32_t* slots, std::size_t n_slots) {
    for (std::size_t t = 0; t < simplices.rows; ++t) {
        const Corners corners = checked_corners(simplices, t, n_points);
        for (std::size_t j = 0; j < kCorners; ++j) {
            std::size_t& cursor = next[corners.id[j]];
            for (std::size_t k = 0; k < kCorners; ++k) {
                if (k == j) continue;
                slots[checked_index(cursor++, n_slots)] =
                    static_cast<std::uint32_t>(corners.id[k]);
            }
        }
    }
}

// Deduplicates and sorts every vertex's raw ids and moves them, in vertex
// order, to the front of the slot array. `next` goes in as the raw range
// ends and comes out as the distinct-id range ends. Returns their total.
//
// A raw range holds each neighbour about five times over (once per shared
// tetrahedron), so the duplicates are dropped first with a mark per vertex
// and only the distinct ids are sorted: much cheaper than sorting the raw
// range. The marks are cleared again after each range, so they need only
// one byte per vertex and no epoch. Every slot holds an id below n_points
// (written after a check, or zero), so the marks are indexed in bounds.
std::size_t compact_neighbours(std::vector<std::size_t>& next, std::uint32_t* slots,
                               std::size_t n_slots) {
    std::vector<std::uint8_t> seen(next.size(), 0);
    std::size_t begin = 0;
    std::size_t written = 0;
    for (std::size_t& end : next) {
        check_range(begin, end, n_slots);  // holds unless the input changed meanwhile
        // Writing never overtakes reading: out <= slots + p.
        std::uint32_t* const first = slots + written;
        std::uint32_t* out = first;
        for (std::size_t p = begin; p < end; ++p) {
            const std::uint32_t u = slots[p];
            if (seen[u] == 0) {
                seen[u] = 1;
                *out++ = u;
            }
        }
        for (const std::uint32_t* q = first; q != out; ++q) seen[*q] = 0;
        std::sort(first, out);
        begin = end;
        written += static_cast<std::size_t>(out - first);
        end = written;
    }
    return written;
}

}  // namespace

CsrGraph graph_from_simplices(const StridedView2D<std::uint64_t>& simplices,
                              std::size_t n_points) {
    if (static_cast<std::uint64_t>(n_points) > kMaxVertices) fail(kCapacityOverflow);
    if (simplices.rows >= 1 && simplices.cols < kCorners) fail(kNdarrayOutOfBounds);
    // Only a broadcast view can be this long; refusing it here spares a
    // pass that could never end in a result.
    constexpr std::size_t kMaxRows = PTRDIFF_MAX / (kIdsPerRow * sizeof(std::uint32_t));
    if (simplices.rows > kMaxRows) fail(kCapacityOverflow);

    // Counting first and filling one flat array keeps the peak at the twelve
    // raw ids per row plus the result (and nine bytes of bookkeeping per
    // vertex), without the overhead and growth slack of per-vertex lists.
    // The slots are taken before the counting pass: a broadcast view with
    // more rows than memory can hold then fails at once instead of after
    // a pass over all of its rows, which could take hours.
    const std::size_t n_slots = simplices.rows * kIdsPerRow;
    const Slots slots = zeroed_slots(n_slots);
    std::vector<std::size_t> next = slot_starts(simplices, n_points);
    scatter_pairs(simplices, n_points, next, slots.get(), n_slots);
    const std::size_t total = compact_neighbours(next, slots.get(), n_slots);
    // Offsets are 32-bit: a larger graph would wrap them.
    if (total > UINT32_MAX) fail(kCapacityOverflow);

    CsrGraph graph;
    graph.indptr = Buffer<std::uint32_t>::uninitialized(n_points + 1);
    graph.indptr[0] = 0;
    for (std::size_t v = 0; v < n_points; ++v) {
        graph.indptr[v + 1] = static_cast<std::uint32_t>(next[v]);
    }
    std::vector<std::size_t>().swap(next);
    graph.indices = Buffer<std::uint32_t>::copy_of(slots.get(), total);
    return graph;
}

}  // namespace tevu
