// The benchmarks' random numbers: xorshift64*, the same sequence on every platform and
// compiler (unlike <random>'s distributions), so generated audio is the same everywhere.
#pragma once

#include <cstdint>

namespace kestrun::bench {

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    double Between(double lo, double hi) { return lo + (hi - lo) * Unit(); }
    // Uniform in [-1, 1).
    double Signed() { return 2.0 * Unit() - 1.0; }
    int Pick(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
    bool Chance(double p) { return Unit() < p; }

private:
    uint64_t state_;
};

} // namespace kestrun::bench
