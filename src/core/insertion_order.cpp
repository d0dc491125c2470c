#include "insertion_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "morton.hpp"
#include "parts.hpp"

namespace tevu::delaunay {

namespace {

// Threads split the keys and their sort only from this many points per
// thread on.
constexpr std::size_t kPointsPerPart = 16384;
// Slices this long are sorted by radix, shorter ones by comparison.
constexpr std::size_t kRadixFrom = 1024;

using geom::Vec3;

struct KeyedPoint {
    std::uint64_t key;
    std::uint32_t index;
};
// Written in full by the parts that fill them, so not cleared beforehand.
using KeyedPoints = std::vector<KeyedPoint, UninitialisedGrowth<KeyedPoint>>;

// The position along a Hilbert curve of the 21-bit cell (x, y, z), by
// Skilling's transform ("Programming the Hilbert curve", 2004): undo the
// rotations and reflections level by level, Gray-encode, then interleave
// the bits with x the most significant of each level. Unlike the Z-order,
// the curve never jumps: cells consecutive along it share a face.
//
// The transform is run as a state machine, one level (one octant) at a
// time from the top. What the levels above do to the bits below is an
// exchange and reflection of axes; with the parity of the Gray code's
// running sum, that is the state. The level's octant and the state give the
// level's three key bits and the next state, looked up in a table made at
// compile time by applying the transform's rules to every pair.
struct HilbertState {
    std::uint32_t axis[3];  // the original axis that each transformed axis reads
    std::uint32_t flip;     // bit i: transformed axis i is reflected
    std::uint32_t parity;   // of the Gray code's sum over the levels above

    constexpr std::uint32_t index() const {
        return ((axis[0] + 3 * axis[1] + 9 * axis[2]) * 8 + flip) * 2 + parity;
    }
};

constexpr HilbertState kHilbertStart{{0, 1, 2}, 0, 0};
constexpr std::uint32_t kHilbertStates = 27 * 8 * 2;

// The table entry of state s at a level whose octant (x in bit 0, z in
// bit 2) is `octant`: the next state times 8, plus the level's three key
// bits.
constexpr std::uint16_t hilbert_entry(const HilbertState& s, std::uint32_t octant) {
    // The level's bits as the levels above left them.
    std::uint32_t b[3];
    for (int i = 0; i < 3; ++i) b[i] = ((octant >> s.axis[i]) & 1u) ^ ((s.flip >> i) & 1u);
    // Gray code, then the running parity.
    const std::uint32_t g0 = b[0], g1 = b[0] ^ b[1], g2 = b[0] ^ b[1] ^ b[2];
    const std::uint32_t digit = (g2 ^ s.parity) | (g1 ^ s.parity) << 1 | (g0 ^ s.parity) << 2;
    // What this level does to the bits below: per axis i, a set bit
    // reflects axis 0, a clear one exchanges axes 0 and i.
    HilbertState next = s;
    next.parity = s.parity ^ g2;
    for (int i = 0; i < 3; ++i) {
        if (b[i] != 0) {
            next.flip ^= 1u;
            continue;
        }
        const std::uint32_t axis = next.axis[0];
        next.axis[0] = next.axis[i];
        next.axis[i] = axis;
        const std::uint32_t f0 = next.flip & 1u, fi = (next.flip >> i) & 1u;
        next.flip = (next.flip & ~(1u | 1u << i)) | fi | f0 << i;
    }
    return static_cast<std::uint16_t>(next.index() * 8 + digit);
}

// Rows of every state whose axes form a permutation; only those are reached.
constexpr std::array<std::uint16_t, kHilbertStates * 8> make_hilbert_table() {
    constexpr std::uint32_t kPermutations[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                                   {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    std::array<std::uint16_t, kHilbertStates * 8> table{};
    for (const auto& axes : kPermutations) {
        for (std::uint32_t flip = 0; flip < 8; ++flip) {
            for (std::uint32_t parity = 0; parity < 2; ++parity) {
                const HilbertState s{{axes[0], axes[1], axes[2]}, flip, parity};
                for (std::uint32_t octant = 0; octant < 8; ++octant) {
                    table[s.index() * 8 + octant] = hilbert_entry(s, octant);
                }
            }
        }
    }
    return table;
}

constexpr std::array<std::uint16_t, kHilbertStates * 8> kHilbertTable = make_hilbert_table();

// The Hilbert keys of a few points' Morton keys (their octants from the
// top level down). Each key is a chain of 21 dependent table reads; the
// chains of several points are walked side by side, so that their reads
// overlap.
constexpr std::size_t kKeysAtOnce = 4;

void hilbert_keys(const std::uint64_t (&octants)[kKeysAtOnce], std::uint64_t (&keys)[kKeysAtOnce]) {
    std::uint32_t at[kKeysAtOnce];
    for (std::size_t k = 0; k < kKeysAtOnce; ++k) {
        at[k] = kHilbertStart.index() * 8;
        keys[k] = 0;
    }
    for (int level = 20; level >= 0; --level) {
        for (std::size_t k = 0; k < kKeysAtOnce; ++k) {
            const std::uint32_t entry = kHilbertTable[at[k] + ((octants[k] >> (3 * level)) & 7u)];
            keys[k] = keys[k] << 3 | (entry & 7u);
            at[k] = entry & ~7u;
        }
    }
}

// The bounding cube of some points, cut into 2^21 cells a side: one scale
// for all three axes, so that a flat or elongated cloud keeps its shape
// along the curve.
class CurveCube {
public:
    // `at(k)` gives the k-th of `count` points.
    template <class At>
    CurveCube(std::size_t count, At&& at) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        double hi[3] = {-inf, -inf, -inf};
        for (double& lo : lo_) lo = inf;
        for (std::size_t k = 0; k < count; ++k) {
            const Vec3& p = at(k);
            const double c[3] = {p.x, p.y, p.z};
            for (int a = 0; a < 3; ++a) {
                lo_[a] = std::min(lo_[a], c[a]);
                hi[a] = std::max(hi[a], c[a]);
            }
        }
        // Halving each extent first keeps their maximum finite for any
        // finite coordinates.
        for (int a = 0; a < 3; ++a) half_ = std::max(half_, hi[a] * 0.5 - lo_[a] * 0.5);
    }

    // Whether the points are all at one position.
    bool single_position() const { return half_ == 0.0; }

    // The cell of p, as the octants of its levels.
    std::uint64_t octants(const Vec3& p) const {
        return morton_key(cell(p.x, 0), cell(p.y, 1), cell(p.z, 2));
    }

private:
    std::uint64_t cell(double c, int a) const {
        const double half = half_ == 0.0 ? 1.0 : half_;
        const double t = std::floor((c * 0.5 - lo_[a] * 0.5) / half * 2097151.0);
        return static_cast<std::uint64_t>(std::clamp(t, 0.0, 2097151.0));
    }

    double lo_[3];
    double half_ = 0.0;
};

// Hilbert keys of the points `at(0)`, ... `at(count - 1)` in `cube`, handed
// to `write(k, key)`: four at a time (a last batch short of points repeats
// the last point).
template <class At, class Write>
void hilbert_keys_of(const CurveCube& cube, std::size_t count, At&& at, Write&& write) {
    for (std::size_t i = 0; i < count; i += kKeysAtOnce) {
        std::uint64_t octants[kKeysAtOnce], keys[kKeysAtOnce];
        for (std::size_t k = 0; k < kKeysAtOnce; ++k) {
            octants[k] = cube.octants(at(std::min(i + k, count - 1)));
        }
        hilbert_keys(octants, keys);
        for (std::size_t k = 0; k < kKeysAtOnce && i + k < count; ++k) write(i + k, keys[k]);
    }
}

// Hilbert keys over the cloud's bounding cube.
KeyedPoints curve_keys(std::span<const Vec3> points, std::size_t parts) {
    const CurveCube cube(points.size(), [&](std::size_t k) -> const Vec3& { return points[k]; });
    KeyedPoints keyed(points.size());
    run_ranges(parts, points.size(), [&](std::size_t, std::size_t begin, std::size_t end) {
        hilbert_keys_of(
            cube, end - begin, [&](std::size_t k) -> const Vec3& { return points[begin + k]; },
            [&](std::size_t k, std::uint64_t key) {
                keyed[begin + k] = {key, static_cast<std::uint32_t>(begin + k)};
            });
    });
    return keyed;
}

// Sorts a slice that is in index order by key, in the order of keyed_less:
// a least-significant-digit radix sort, which is stable (equal keys stay
// in index order), over the 63 bits of a key in digits of 11 bits (six
// passes between the slice and a scratch copy), whose counters fit the
// first-level cache.
void radix_sort_keyed(std::span<KeyedPoint> slice) {
    constexpr unsigned kDigitBits = 11, kPasses = 6;
    constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
    KeyedPoints scratch(slice.size());
    std::span<KeyedPoint> from = slice, to = scratch;
    std::vector<std::size_t> place(kDigits);
    for (unsigned pass = 0; pass < kPasses; ++pass) {
        const unsigned shift = pass * kDigitBits;
        std::fill(place.begin(), place.end(), 0);
        for (const KeyedPoint& k : from) ++place[(k.key >> shift) & (kDigits - 1)];
        std::size_t at = 0;
        for (std::size_t& count : place) at += std::exchange(count, at);
        for (const KeyedPoint& k : from) to[place[(k.key >> shift) & (kDigits - 1)]++] = k;
        std::swap(from, to);
    }
    // An even number of passes ends in the slice itself.
    static_assert(kPasses % 2 == 0 && kPasses * kDigitBits >= 63);
}

// By key, then index: a total order, so the result does not depend on
// the parts.
bool keyed_less(const KeyedPoint& a, const KeyedPoint& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
}

// Merges the sorted a and b into out, in `pieces` stretches of out, each on
// a thread of its own. The stretch from out[k] on starts at a[i] and
// b[k - i], for the one i that puts every element before them ahead of
// both (the order is total), found by bisection.
void merge_in_pieces(std::span<const KeyedPoint> a, std::span<const KeyedPoint> b,
                     std::span<KeyedPoint> out, std::size_t pieces) {
    auto from_a = [&](std::size_t k) {
        std::size_t lo = k > b.size() ? k - b.size() : 0, hi = std::min(k, a.size());
        while (lo < hi) {
            const std::size_t i = lo + (hi - lo) / 2;
            // With i from a, a[i] still precedes the last of the k - i
            // from b: more come from a.
            if (keyed_less(a[i], b[k - i - 1])) {
                lo = i + 1;
            } else {
                hi = i;
            }
        }
        return lo;
    };
    run_parts(pieces, [&](std::size_t piece) {
        const std::size_t k0 = out.size() * piece / pieces, k1 = out.size() * (piece + 1) / pieces;
        const std::size_t i0 = from_a(k0), i1 = from_a(k1);
        std::merge(a.begin() + i0, a.begin() + i1, b.begin() + (k0 - i0), b.begin() + (k1 - i1),
                   out.begin() + k0, keyed_less);
    });
}

// Sorts by keyed_less. Each part sorts a slice (short ones with std::sort);
// slices are then merged in pairs, every merge shared by all parts.
void sort_keyed(KeyedPoints& keyed, std::size_t parts) {
    const std::size_t n = keyed.size();
    auto bound = [&](std::size_t part) { return n * std::min(part, parts) / parts; };
    run_parts(parts, [&](std::size_t part) {
        const auto slice = std::span(keyed).subspan(bound(part), bound(part + 1) - bound(part));
        if (slice.size() < kRadixFrom) {
            std::sort(slice.begin(), slice.end(), keyed_less);
        } else {
            radix_sort_keyed(slice);
        }
    });
    if (parts == 1) return;
    KeyedPoints merged(n);
    for (std::size_t width = 1; width < parts; width *= 2) {
        for (std::size_t lo_part = 0; lo_part < parts; lo_part += 2 * width) {
            const std::size_t lo = bound(lo_part), mid = bound(lo_part + width),
                              hi = bound(lo_part + 2 * width);
            const std::span<const KeyedPoint> all(keyed);
            merge_in_pieces(all.subspan(lo, mid - lo), all.subspan(mid, hi - mid),
                            std::span(merged).subspan(lo, hi - lo), parts);
        }
        keyed.swap(merged);
    }
}

// A cell of the curve holding more points than this is cut again, over the
// bounding cube of its own points, at most kRefineLevels times over: a far
// outlier would otherwise leave the rest of a cloud in one cell, in index
// order, and their insertions would walk far.
constexpr std::size_t kRefineFrom = 64;
constexpr int kRefineLevels = 4;

// The end of the run of equal keys from `begin` on.
std::size_t run_end(std::span<const KeyedPoint> keyed, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < keyed.size() && keyed[end].key == keyed[begin].key) ++end;
    return end;
}

// Orders each crowded cell's points along the curve of their own cube; the
// cells keep their places. Keys are then only compared within a cell.
void refine_crowded_cells(std::span<const Vec3> points, std::span<KeyedPoint> keyed,
                          int levels) {
    for (std::size_t begin = 0; begin < keyed.size();) {
        const std::size_t end = run_end(keyed, begin);
        const std::span<KeyedPoint> run = keyed.subspan(begin, end - begin);
        begin = end;
        if (run.size() <= kRefineFrom || levels == 0) continue;
        auto at = [&](std::size_t k) -> const Vec3& { return points[run[k].index]; };
        const CurveCube cube(run.size(), at);
        if (cube.single_position()) continue;  // copies of one point
        hilbert_keys_of(cube, run.size(), at,
                        [&](std::size_t k, std::uint64_t key) { run[k].key = key; });
        std::sort(run.begin(), run.end(), keyed_less);
        refine_crowded_cells(points, run, levels - 1);
    }
}

// Within a run of points sharing a cell of the curve (sorted by index), points at
// one position are exact duplicates; the first of them is kept. Small runs
// compare pairwise; large ones (many copies of few points) sort.
void mark_duplicates(std::span<const Vec3> points, std::span<KeyedPoint> run,
                     std::vector<std::uint32_t>& first_copy) {
    if (run.size() <= 16) {
        for (std::size_t i = 0; i < run.size(); ++i) {
            const std::uint32_t a = run[i].index;
            for (std::size_t j = 0; j < i; ++j) {
                const std::uint32_t b = run[j].index;
                if (first_copy[b] == b && geom::same_position(points[a], points[b])) {
                    first_copy[a] = b;
                    break;
                }
            }
        }
        return;
    }
    std::vector<std::uint32_t> ids(run.size());
    for (std::size_t i = 0; i < run.size(); ++i) ids[i] = run[i].index;
    std::sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (geom::position_less(points[a], points[b])) return true;
        if (geom::position_less(points[b], points[a])) return false;
        return a < b;
    });
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (geom::same_position(points[ids[i]], points[ids[i - 1]])) {
            first_copy[ids[i]] = first_copy[ids[i - 1]];
        }
    }
}

std::uint32_t mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Rounds of BRIO: point i goes to the last round with probability 1/2, to
// the one before with 1/4, and so on; the first round takes what is left,
// a few dozen points.
std::vector<std::uint32_t> biased_rounds(std::span<const std::uint32_t> curve_order,
                                         std::vector<std::size_t>& starts) {
    const std::size_t m = curve_order.size();
    const int rounds = std::max(1, static_cast<int>(std::bit_width(m)) - 6);
    std::vector<std::uint32_t> round_size(rounds + 1, 0);
    std::vector<std::uint8_t> round(m);
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t h = mix(curve_order[k] ^ 0x5BD1E995u);
        const int from_last = std::min(std::countr_zero(h | (1u << 31)), rounds - 1);
        round[k] = static_cast<std::uint8_t>(rounds - 1 - from_last);
        ++round_size[round[k] + 1];
    }
    for (int r = 0; r < rounds; ++r) round_size[r + 1] += round_size[r];
    starts.assign(round_size.begin(), round_size.end() - 1);
    std::vector<std::uint32_t> order(m);
    for (std::size_t k = 0; k < m; ++k) order[round_size[round[k]]++] = curve_order[k];
    return order;
}

}  // namespace

InsertionOrder insertion_order(std::span<const Vec3> points, std::size_t workers) {
    InsertionOrder result;
    const std::size_t n = points.size();
    result.first_copy.resize(n);
    for (std::size_t i = 0; i < n; ++i) result.first_copy[i] = static_cast<std::uint32_t>(i);
    const std::size_t parts = part_count(workers, n, kPointsPerPart);
    KeyedPoints keyed = curve_keys(points, parts);
    sort_keyed(keyed, parts);
    refine_crowded_cells(points, keyed, kRefineLevels);
    for (std::size_t s = 0; s < n;) {
        const std::size_t e = run_end(keyed, s);
        if (e - s > 1) mark_duplicates(points, std::span(keyed).subspan(s, e - s), result.first_copy);
        s = e;
    }
    std::vector<std::uint32_t> curve_order;
    curve_order.reserve(n);
    for (const KeyedPoint& k : keyed) {
        if (result.first_copy[k.index] == k.index) curve_order.push_back(k.index);
    }
    result.order = biased_rounds(curve_order, result.rounds);
    result.curve = std::move(curve_order);
    return result;
}

}  // namespace tevu::delaunay
