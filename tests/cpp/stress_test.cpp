#include "stress/stress.h"

#include <gtest/gtest.h>
#include <math.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

namespace kestrix {
namespace {

// Called through volatile pointers so that the compiler cannot fold the
// oracle's calls at its own precision: the terms are libm's.
float (*volatile lib_sin)(float) = ::sinf;
float (*volatile lib_cos)(float) = ::cosf;
float (*volatile lib_tan)(float) = ::tanf;

float term_oracle(float x, std::uint64_t iterations) {
    for (std::uint64_t k = 0; k < iterations; ++k) x = std::fabs(lib_tan(lib_cos(lib_sin(x))));
    return x;
}

// One worker cuts a loop at most three levels deep; every leaf starts at -0.0.
float sum_oracle(const std::vector<float>& xs, std::size_t lo, std::size_t hi, int depth,
                 std::uint64_t iterations) {
    if (hi - lo < 2 || depth == 3) {
        float s = -0.0f;
        for (std::size_t i = lo; i < hi; ++i) s = s + term_oracle(xs[i], iterations);
        return s;
    }
    std::size_t mid = lo + (hi - lo) / 2;
    return sum_oracle(xs, lo, mid, depth + 1, iterations) +
           sum_oracle(xs, mid, hi, depth + 1, iterations);
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Magnitudes from 1e-3 to 1e3 and both signs, so that a wrong grouping of
// the additions shows in the low bits.
std::vector<float> awkward_f32(std::size_t n) {
    std::mt19937 gen(static_cast<std::uint32_t>(n));
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-10, 10);
    std::vector<float> v(n);
    for (float& x : v)
        x = std::ldexp(mantissa(gen), exponent(gen)) * (gen() % 2 == 0 ? 1.0f : -1.0f);
    return v;
}

FloatSeq seq(const std::vector<float>& v) { return FloatSeq(v.begin(), v.end()); }

class StressByPool : public ::testing::TestWithParam<std::size_t> {};

TEST_P(StressByPool, EmptyDataSumsToNegativeZero) {
    Pool pool(GetParam());
    for (std::uint64_t iterations : {0u, 1u, 5u})
        EXPECT_EQ(bits(run_heavy_logic(FloatSeq{}, iterations, pool)), bits(-0.0f));
}

TEST_P(StressByPool, NoIterationsSumTheData) {
    Pool pool(GetParam());
    EXPECT_EQ(run_heavy_logic(FloatSeq{1.5f, 2.25f}, 0, pool), 3.75f);
    EXPECT_EQ(bits(run_heavy_logic(FloatSeq{-0.0f}, 0, pool)), bits(-0.0f));
}

TEST_P(StressByPool, OneIterationOfZeroIsTanOfOne) {
    Pool pool(GetParam());
    float got = run_heavy_logic(FloatSeq{0.0f}, 1, pool);
    EXPECT_EQ(bits(got), bits(lib_tan(1.0f)));
    EXPECT_NEAR(got, 1.5574077f, 1e-6f);
}

TEST_P(StressByPool, NonFiniteElementsGiveNaN) {
    Pool pool(GetParam());
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {inf, -inf, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_TRUE(std::isnan(run_heavy_logic(FloatSeq{0.5f, bad, 1.0f}, 1, pool))) << bad;
}

INSTANTIATE_TEST_SUITE_P(Workers, StressByPool, ::testing::Values(1, 2, 3, 8));

TEST(HeavyTerm, CallsTheLibraryEveryIterationWithoutEarlyExit) {
    const float inputs[] = {0.0f,  -0.0f, 0.7f,
                            -3.0f, 1e6f,  std::numeric_limits<float>::denorm_min()};
    for (float x : inputs)
        for (std::uint64_t iterations : {0u, 1u, 2u, 7u, 40u})
            EXPECT_EQ(bits(heavy_term(x, iterations)), bits(term_oracle(x, iterations)))
                << x << " x " << iterations;
    EXPECT_EQ(bits(heavy_term(-0.0f, 0)), bits(-0.0f));
}

class StressSumTree : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint64_t>> {};

TEST_P(StressSumTree, OneWorkerMatchesTheSplitOracle) {
    auto [n, iterations] = GetParam();
    std::vector<float> xs = awkward_f32(n);
    Pool pool(1);
    EXPECT_EQ(bits(run_heavy_logic(seq(xs), iterations, pool)),
              bits(sum_oracle(xs, 0, n, 0, iterations)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StressSumTree,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 7, 8, 9, 100, 4097),
                                            ::testing::Values(0, 2)));

// The grouping itself, independent of the oracle above.
TEST(StressSumTree, EightAndThreeValuesGroupAsPairs) {
    Pool pool(1);
    std::vector<float> x = awkward_f32(8);
    float eight = ((x[0] + x[1]) + (x[2] + x[3])) + ((x[4] + x[5]) + (x[6] + x[7]));
    EXPECT_EQ(bits(run_heavy_logic(seq(x), 0, pool)), bits(eight));
    FloatSeq three{1e8f, 1.0f, -1e8f};
    EXPECT_EQ(run_heavy_logic(three, 0, pool), 1e8f + (1.0f + -1e8f));  // 0, not 1
}

}  // namespace
}  // namespace kestrix
