// A value worked out the first time a search asks for it and kept, for the
// immutable graphs that many searches share.
#pragma once

#include <mutex>
#include <new>
#include <optional>

namespace tevu {

// Safe to share between threads: the first caller makes the value, callers
// at the same time wait for it, later ones read it.
template <class V>
class Kept {
public:
    // The value make() returned on the first call; null when it made none or
    // did not fit in memory (searches then go on without it).
    template <class Make>
    const V* get(Make&& make) const {
        std::call_once(once_, [&] {
            try {
                value_ = make();
            } catch (const std::bad_alloc&) {
                // Nothing is kept.
            }
        });
        return value_ ? &*value_ : nullptr;
    }

private:
    mutable std::once_flag once_;
    mutable std::optional<V> value_;
};

}  // namespace tevu
