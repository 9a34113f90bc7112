#pragma once
#include <cstdint>

#include "base/float_seq.h"
#include "pool/pool.h"

namespace kestrix {

// One term: x passed `iterations` times through sinf, cosf, tanf and |.|.
float heavy_term(float x, std::uint64_t iterations) noexcept;

// The parallel_sum of heavy_term over data (-0.0 for no data).
float run_heavy_logic(const FloatSeq& data, std::uint64_t iterations, PoolRef pool = {});

}  // namespace kestrix
