#pragma once
// Reproducible inputs for the benchmarks.
#include <cstddef>
#include <random>

#include "base/float_seq.h"

namespace kestrix {

// n floats drawn uniformly from [lo, hi) by a generator seeded with `seed`.
inline FloatSeq random_floats(std::size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    FloatSeq v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

}  // namespace kestrix
