// Work split into parts that run on threads of their own, for builders
// that take a `workers` count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace tevu {

// How many parts `items` make for up to `workers` threads, when a part
// smaller than `least` would cost more in starting a thread than it saves.
inline std::size_t part_count(std::size_t workers, std::size_t items, std::size_t least) {
    return std::clamp<std::size_t>(items / std::max<std::size_t>(least, 1), 1,
                                   std::max<std::size_t>(workers, 1));
}

// Runs work(0), ..., work(count - 1), each on a thread of its own; the
// calling thread does work(0), and after it every part whose thread could
// not be started. When it returns every part has ended; the first
// exception a part threw is then rethrown.
template <class Work>
void run_parts(std::size_t count, const Work& work) {
    std::vector<std::exception_ptr> errors(count);
    auto guarded = [&](std::size_t part) {
        try {
            work(part);
        } catch (...) {
            errors[part] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(count);
    std::size_t started = 1;
    try {
        for (; started < count; ++started) threads.emplace_back(guarded, started);
    } catch (...) {
        // Fewer threads than asked for: the rest runs here.
    }
    guarded(0);
    for (std::size_t part = started; part < count; ++part) guarded(part);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

// Calls work(part, begin, end) for `parts` consecutive ranges that cover
// [0, n), each on a thread of its own as run_parts does.
template <class Work>
void run_ranges(std::size_t parts, std::size_t n, const Work& work) {
    run_parts(parts, [&](std::size_t p) { work(p, n * p / parts, n * (p + 1) / parts); });
}

}  // namespace tevu
