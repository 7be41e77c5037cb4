// Deterministic pseudo-random numbers for generated benchmark data: splitmix64, small, fast,
// and the same sequence on every platform for a given seed.
#pragma once

#include <cstdint>

namespace bench {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
    std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + Below(hi - lo + 1); }

private:
    std::uint64_t state_;
};

}  // namespace bench
