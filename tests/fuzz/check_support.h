#pragma once
// What the fuzz targets and the corpus replay test share: a check runs one input and names the
// first property it breaks, so the fuzzer can stop on it and the replay test can report the file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fuzzcheck {

// Deliberately not a std::exception: code under test that catches those must never swallow it.
struct Broken {
    std::string what;
};

inline void require(bool holds, const char *what)
{
    if (!holds)
        throw Broken{what};
}

template <typename Describe>
void requireOr(bool holds, Describe &&describe)
{
    if (!holds)
        throw Broken{describe()};
}

template <typename Body>
std::optional<std::string> runCheck(Body &&body)
{
    try {
        body();
    } catch (const Broken &broken) {
        return broken.what;
    }
    return std::nullopt;
}

// Cheap and deterministic, so a saved input always replays the same way.
class Chooser {
public:
    explicit Chooser(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u)
    {
        if (state_ == 0)
            state_ = 1;
    }
    uint32_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    // In [0, bound); 0 when bound is 0.
    size_t below(size_t bound) { return bound == 0 ? 0 : next() % bound; }

private:
    uint32_t state_;
};

} // namespace fuzzcheck
