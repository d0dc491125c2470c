// The graph builder's threads under ThreadSanitizer. Threads that share a
// round of insertions change one mesh without locks, each in its own cells;
// a cell read by one thread while another writes it is reported here, and
// a graph that depends on the number of threads fails the run.
//
// Builds clouds of every kind that makes the threads meet in another way
// (clustered, a grid with duplicates, flat, a sphere's surface with every
// point on the hull, a cylinder's surface with its long walks, a larger
// clustered cloud with duplicates), large enough for rounds to be shared,
// with 1, 2 and 3 threads, and compares the graphs. Exits non-zero on a
// difference; ThreadSanitizer aborts on a race (TSAN_OPTIONS=halt_on_error=1,
// as fuzz/builder_threads.sh sets).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/delaunay_graph.hpp"

namespace {

using tevu::CsrGraph;
using tevu::StridedView2D;

struct Cloud {
    std::string name;
    std::vector<double> xyz;  // rows of x, y, z
    std::size_t most_workers;
};

// The points come from a generator seeded with `seed`, so that every
// compiler and standard library draws the same clouds.
template <class Point>
Cloud make(std::string name, std::uint64_t seed, std::size_t n, std::size_t most_workers,
           Point point) {
    std::mt19937_64 rng(seed);
    Cloud cloud{std::move(name), {}, most_workers};
    for (std::size_t i = 0; i < n; ++i) {
        const auto [x, y, z] = point(rng, i);
        cloud.xyz.insert(cloud.xyz.end(), {x, y, z});
    }
    return cloud;
}

struct Xyz {
    double x, y, z;
};

std::vector<Cloud> clouds() {
    constexpr double kPi = 3.141592653589793;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<Xyz> centres;
    std::mt19937_64 seed(1);
    for (int k = 0; k < 40; ++k) centres.push_back({unit(seed), unit(seed), unit(seed)});
    std::vector<Cloud> out;
    out.push_back(make("clustered", 2, 60000, 3, [&](auto& rng, std::size_t) {
        const Xyz& c = centres[rng() % centres.size()];
        return Xyz{c.x + 0.02 * normal(rng), c.y + 0.02 * normal(rng), c.z + 0.02 * normal(rng)};
    }));
    out.push_back(make("grid with duplicates", 3, 60000, 3, [&](auto& rng, std::size_t) {
        return Xyz{std::floor(36 * unit(rng)), std::floor(36 * unit(rng)), std::floor(36 * unit(rng))};
    }));
    out.push_back(make("flat", 4, 60000, 3, [&](auto& rng, std::size_t) {
        return Xyz{unit(rng), unit(rng), 0.25};
    }));
    out.push_back(make("sphere", 5, 60000, 3, [&](auto& rng, std::size_t) {
        const double x = normal(rng), y = normal(rng), z = normal(rng);
        const double r = std::sqrt(x * x + y * y + z * z);
        return Xyz{x / r, y / r, z / r};
    }));
    out.push_back(make("cylinder", 6, 40000, 2, [&](auto& rng, std::size_t) {
        const double t = 2 * kPi * unit(rng);
        return Xyz{std::cos(t), std::sin(t), 3 * unit(rng)};
    }));
    // Reading, ordering, renumbering, extracting and assembling split
    // between threads from 2 x 16,384 distinct points, in the clouds above
    // too; in this larger one every tenth point repeats an earlier one, so
    // that the links to copies are split as well.
    std::vector<Xyz> drawn;
    out.push_back(make("clustered with duplicates", 7, 160000, 2, [&](auto& rng, std::size_t i) {
        if (i % 10 == 9) return drawn[rng() % drawn.size()];
        const Xyz& c = centres[rng() % centres.size()];
        drawn.push_back({c.x + 0.05 * normal(rng), c.y + 0.05 * normal(rng), c.z + 0.05 * normal(rng)});
        return drawn.back();
    }));
    return out;
}

CsrGraph build(const Cloud& cloud, std::size_t workers) {
    const StridedView2D<double> view{reinterpret_cast<const std::byte*>(cloud.xyz.data()),
                                     cloud.xyz.size() / 3, 3, 3 * sizeof(double), sizeof(double)};
    return tevu::delaunay_graph_f64(view, workers);
}

bool same(const CsrGraph& a, const CsrGraph& b) {
    if (a.indptr.size() != b.indptr.size() || a.indices.size() != b.indices.size()) return false;
    for (std::size_t i = 0; i < a.indptr.size(); ++i) {
        if (a.indptr[i] != b.indptr[i]) return false;
    }
    for (std::size_t i = 0; i < a.indices.size(); ++i) {
        if (a.indices[i] != b.indices[i]) return false;
    }
    return true;
}

}  // namespace

int main() {
    int failures = 0;
    for (const Cloud& cloud : clouds()) {
        const CsrGraph want = build(cloud, 1);
        for (std::size_t workers = 2; workers <= cloud.most_workers; ++workers) {
            const bool ok = same(build(cloud, workers), want);
            std::printf("%s, %zu points, %zu threads: %s\n", cloud.name.c_str(),
                        cloud.xyz.size() / 3, workers, ok ? "same graph" : "DIFFERENT GRAPH");
            std::fflush(stdout);
            failures += ok ? 0 : 1;
        }
    }
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
