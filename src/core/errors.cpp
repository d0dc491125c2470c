#include "errors.hpp"

#include <string>

namespace tevu {

void fail(const char* message) { throw CoreError(message); }

void fail_index(std::size_t len, std::size_t index) {
    throw CoreError("index out of bounds: the len is " + std::to_string(len) +
                    " but the index is " + std::to_string(index));
}

void fail_range(std::size_t start, std::size_t end, std::size_t len) {
    if (start > end) {
        throw CoreError("slice index starts at " + std::to_string(start) +
                        " but ends at " + std::to_string(end));
    }
    throw CoreError("range end index " + std::to_string(end) +
                    " out of range for slice of length " + std::to_string(len));
}

}  // namespace tevu
