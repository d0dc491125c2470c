#include "morton.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace tevu {

static_assert(morton_spread(0x1FFFFF) == 0x1249249249249249);
static_assert(morton_key(0x1FFFFF, 0x1FFFFF, 0x1FFFFF) == 0x7FFFFFFFFFFFFFFF);

namespace {

struct KeyIndex {
    std::uint64_t key;
    std::size_t index;
};

// Truncation toward zero that saturates instead of overflowing: NaN and
// negative values give 0, values beyond the range the largest integer.
std::uint64_t saturating_u64(double t) noexcept {
    if (!(t > 0.0)) return 0;
    if (t >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(t);
}

struct Scale {
    double lo[3];
    double ext[3];
};

// Per axis the NaN-ignoring range; a flat axis (one point included) gets
// extent 1.0 so that its cells stay 0 instead of dividing by zero.
Scale axis_scale(std::span<const Coord3> points) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[3] = {inf, inf, inf};
    double hi[3] = {-inf, -inf, -inf};
    for (const Coord3& p : points) {
        for (int a = 0; a < 3; ++a) {
            // A comparison with NaN is false, so NaN never replaces a bound.
            lo[a] = p[a] < lo[a] ? p[a] : lo[a];
            hi[a] = p[a] > hi[a] ? p[a] : hi[a];
        }
    }
    Scale scale;
    for (int a = 0; a < 3; ++a) {
        scale.lo[a] = lo[a];
        const double ext = hi[a] - lo[a];
        scale.ext[a] = ext == 0.0 ? 1.0 : ext;
    }
    return scale;
}

// Divide first, then multiply: the coordinate at `hi` lands exactly on the
// last cell.
std::uint64_t cell(double c, double lo, double ext) noexcept {
    return saturating_u64((c - lo) / ext * 2097151.0) & 0x1FFFFF;
}

}  // namespace

Buffer<std::size_t> morton_perm(std::span<const Coord3> points) {
    static_assert(sizeof(std::size_t) <= sizeof(KeyIndex));
    const std::size_t n = points.size();
    const Scale scale = axis_scale(points);

    // The one allocation of the call: the pairs, whose front later holds the
    // permutation that is returned.
    auto pairs = Buffer<KeyIndex>::uninitialized(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Coord3& p = points[i];
        pairs[i] = {morton_key(cell(p[0], scale.lo[0], scale.ext[0]),
                               cell(p[1], scale.lo[1], scale.ext[1]),
                               cell(p[2], scale.lo[2], scale.ext[2])),
                    i};
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const KeyIndex& a, const KeyIndex& b) { return a.key < b.key; });

    // Entry s lands in bytes [s·w, (s+1)·w) with w ≤ sizeof(KeyIndex), which
    // belong to pairs at positions ≤ s, all read already. The bytes are
    // copied, so no pair is accessed through a size_t.
    auto* bytes = reinterpret_cast<unsigned char*>(pairs.data());
    for (std::size_t s = 0; s < n; ++s) {
        const std::size_t index = pairs[s].index;
        std::memcpy(bytes + s * sizeof(std::size_t), &index, sizeof(std::size_t));
    }
    auto* perm = std::launder(reinterpret_cast<std::size_t*>(pairs.release()));
    return Buffer<std::size_t>::adopt(perm, n);
}

}  // namespace tevu
