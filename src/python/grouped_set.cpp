#include "grouped_set.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "../core/errors.hpp"
#include "../core/morton.hpp"

namespace tevu::py {
namespace {

template <class T>
PackedPoints<T> concatenate(std::span<const PointSpan<T>> clouds, Buffer<std::size_t>& offsets) {
    offsets = Buffer<std::size_t>::uninitialized(clouds.size() + 1);
    offsets[0] = 0;
    for (std::size_t c = 0; c < clouds.size(); ++c) offsets[c + 1] = offsets[c] + clouds[c].size();
    auto points = PackedPoints<T>::uninitialized(offsets[clouds.size()]);
    for (std::size_t c = 0; c < clouds.size(); ++c) {
        if (!clouds[c].empty()) {
            std::memcpy(points.data() + offsets[c], clouds[c].data(), clouds[c].size_bytes());
        }
    }
    return points;
}

// Keys are always computed in double precision; widening is exact.
template <class T>
Buffer<std::size_t> morton_order(const PackedPoints<T>& points) {
    auto coords = Buffer<Coord3>::uninitialized(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        const Vec4<T>& p = points[k];
        coords[k] = {double(p.lane[0]), double(p.lane[1]), double(p.lane[2])};
    }
    return morton_perm({coords.data(), coords.size()});
}

Buffer<std::int64_t> copy_perm(StridedView<std::int64_t> view) {
    auto out = Buffer<std::int64_t>::uninitialized(view.size());
    for (std::size_t i = 0; i < view.size(); ++i) out[i] = view[i];
    return out;
}

// Which positions of one cloud a query perm has already sent a point to.
class PositionsTaken {
public:
    explicit PositionsTaken(std::size_t capacity) : words_((capacity + 63) / 64) {}

    void reset(std::size_t size) { std::fill_n(words_.begin(), (size + 63) / 64, 0); }

    // Whether `position` lies inside the cloud and was free; takes it if so.
    bool try_take(std::size_t position, std::size_t size) {
        if (position >= size) return false;
        std::uint64_t& word = words_[position / 64];
        const std::uint64_t bit = std::uint64_t{1} << (position % 64);
        if (word & bit) return false;
        word |= bit;
        return true;
    }

    // Fails when `position` lies outside the cloud or was taken before.
    void take(std::size_t position, std::size_t size, std::size_t cloud) {
        checked_index(position, size);
        if (!try_take(position, size)) {
            throw CoreError("query perm of cloud " + std::to_string(cloud) +
                            " repeats the index " + std::to_string(position));
        }
    }

private:
    std::vector<std::uint64_t> words_;
};

std::size_t largest_cloud(const Buffer<std::size_t>& offsets) {
    std::size_t largest = 0;
    for (std::size_t c = 0; c + 1 < offsets.size(); ++c) {
        largest = std::max(largest, offsets[c + 1] - offsets[c]);
    }
    return largest;
}

// Whether any cloud of the set (perms beyond the last cloud do not count)
// came with a query perm.
template <class T>
bool has_query_perms(const GroupedQuerySet<T>& set) {
    const std::size_t used = std::min(set.query_perms.size(), set.n_clouds());
    return std::any_of(set.query_perms.begin(), set.query_perms.begin() + used,
                       [](const auto& perm) { return perm.has_value(); });
}

// Cloud c's query perm, or nullptr when it has none.
template <class T>
const Buffer<std::int64_t>* query_perm_of(const GroupedQuerySet<T>& set, std::size_t c) {
    return c < set.query_perms.size() && set.query_perms[c] ? &*set.query_perms[c] : nullptr;
}

// Which sorted point lands at each place of the finished output, if every
// query perm of the set is a permutation of its cloud's positions; nothing
// otherwise, so that finalizing meets the failure when it happens.
template <class T>
std::optional<Buffer<std::size_t>> compose_answer_sources(const GroupedQuerySet<T>& set) {
    const std::size_t n = set.n_points();
    auto source = Buffer<std::size_t>::uninitialized(n);
    if (!has_query_perms(set)) {
        for (std::size_t s = 0; s < n; ++s) source[set.perm[s]] = s;
        return source;
    }
    auto in_cloud_order = Buffer<std::size_t>::uninitialized(n);
    PositionsTaken taken(largest_cloud(set.offsets));
    for (std::size_t c = 0; c < set.n_clouds(); ++c) {
        const std::size_t start = set.offsets[c];
        const std::size_t size = set.offsets[c + 1] - start;
        const Buffer<std::int64_t>* perm = query_perm_of(set, c);
        if (perm == nullptr) {
            for (std::size_t i = 0; i < size; ++i) in_cloud_order[start + i] = start + i;
            continue;
        }
        if (perm->size() < size) return std::nullopt;
        taken.reset(size);
        for (std::size_t i = 0; i < size; ++i) {
            const auto position = static_cast<std::size_t>((*perm)[i]);
            if (!taken.try_take(position, size)) return std::nullopt;
            in_cloud_order[start + i] = start + position;
        }
    }
    for (std::size_t s = 0; s < n; ++s) source[in_cloud_order[set.perm[s]]] = s;
    return source;
}

// Reads every output answer from its raw position in one pass, writing the
// output in order (random reads overlap; random writes to memory that is not
// cached each wait for their line). No lookup can fail: `source` is a
// permutation, and the target perm, when given, covers every target index.
template <class T>
NearestResult<T> gather_answers(const NearestResult<T>& raw, const Buffer<std::size_t>& source,
                                const PermView& target_perm, std::size_t ny) {
    const std::size_t n = raw.distances.size();
    NearestResult<T> out{Buffer<T>::uninitialized(n), Buffer<std::size_t>::uninitialized(n)};
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t s = source[p];
        const std::size_t r = raw.indices[s];
        out.distances[p] = raw.distances[s];
        out.indices[p] =
            r >= ny ? ny : target_perm ? static_cast<std::size_t>((*target_perm)[r]) : r;
    }
    return out;
}

}  // namespace

template <class T>
GroupedQuerySet<T> build_grouped_set(std::span<const PointSpan<T>> clouds,
                                     std::span<const PermView> query_perms) {
    GroupedQuerySet<T> set;
    PackedPoints<T> concatenated = concatenate(clouds, set.offsets);
    const std::size_t total = concatenated.size();
    set.points = PackedPoints<T>::uninitialized(total);
    if (total == 0) {
        set.perm = Buffer<std::size_t>::uninitialized(0);
    } else {
        set.perm = morton_order(concatenated);
        for (std::size_t s = 0; s < total; ++s) set.points[s] = concatenated[set.perm[s]];
    }
    set.query_perms.reserve(query_perms.size());
    for (const PermView& p : query_perms) {
        set.query_perms.push_back(p ? std::optional(copy_perm(*p)) : std::nullopt);
    }
    set.answer_source = compose_answer_sources(set);
    return set;
}

template <class T>
NearestResult<T> finalize_grouped(const GroupedQuerySet<T>& set, NearestResult<T> raw,
                                  const PermView& target_perm, std::size_t ny) {
    const std::size_t n = set.n_points();
    if (!target_perm || target_perm->len >= ny) {
        if (set.answer_source) return gather_answers(raw, *set.answer_source, target_perm, ny);
    }
    // Some lookup may fail: the answers go to their concatenated positions
    // first, then cloud by cloud through the query perms, which are checked
    // as they are read.
    NearestResult<T> concat{Buffer<T>::uninitialized(n), Buffer<std::size_t>::uninitialized(n)};
    for (std::size_t s = 0; s < n; ++s) {
        concat.distances[set.perm[s]] = raw.distances[s];
        concat.indices[set.perm[s]] = raw.indices[s];
    }
    // The raw buffers are free now and receive the final answers. Every
    // position is written exactly once: a cloud without a query perm maps
    // identically, and one with a perm fails unless its used entries are a
    // permutation of the cloud's positions.
    NearestResult<T>& out = raw;
    PositionsTaken taken(largest_cloud(set.offsets));
    for (std::size_t c = 0; c < set.n_clouds(); ++c) {
        const std::size_t start = set.offsets[c];
        const std::size_t size = set.offsets[c + 1] - start;
        const Buffer<std::int64_t>* perm = query_perm_of(set, c);
        if (perm != nullptr) taken.reset(size);
        for (std::size_t i = 0; i < size; ++i) {
            std::size_t position = i;
            if (perm != nullptr) {
                position = static_cast<std::size_t>((*perm)[checked_index(i, perm->size())]);
                taken.take(position, size, c);
            }
            const std::size_t r = concat.indices[start + i];
            out.distances[start + position] = concat.distances[start + i];
            out.indices[start + position] =
                r >= ny ? ny : target_perm ? static_cast<std::size_t>(target_perm->at(r)) : r;
        }
    }
    return raw;
}

template GroupedQuerySet<float> build_grouped_set(std::span<const PointSpan<float>>,
                                                  std::span<const PermView>);
template GroupedQuerySet<double> build_grouped_set(std::span<const PointSpan<double>>,
                                                   std::span<const PermView>);
template NearestResult<float> finalize_grouped(const GroupedQuerySet<float>&, NearestResult<float>,
                                               const PermView&, std::size_t);
template NearestResult<double> finalize_grouped(const GroupedQuerySet<double>&,
                                                NearestResult<double>, const PermView&,
                                                std::size_t);

}  // namespace tevu::py
