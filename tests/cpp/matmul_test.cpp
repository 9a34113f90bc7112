#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "matrix/matmul_kernels.h"
#include "matrix/matrix.h"
#include "pool/fault.h"
#include "pool/pool.h"

namespace kestrix {
namespace {

using gemm::Isa;

FloatSeq random_floats(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    FloatSeq v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// The definition itself: i-k-j, every product and sum rounded to float32 on
// its own (volatile keeps the compiler from fusing or reordering them).
FloatSeq oracle(const FloatSeq& a, const FloatSeq& b, std::size_t m, std::size_t k, std::size_t n) {
    FloatSeq r(m * n, 0.0f);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t p = 0; p < k; ++p) {
            float av = a[i * k + p];
            for (std::size_t j = 0; j < n; ++j) {
                volatile float prod = av * b[p * n + j];
                r[i * n + j] = prod + r[i * n + j];
            }
        }
    return r;
}

std::vector<std::uint32_t> bits(const FloatSeq& v) {
    std::vector<std::uint32_t> out(v.size());
    if (!v.empty()) std::memcpy(out.data(), v.data(), v.size() * sizeof(float));
    return out;
}

// Forces one kernel variant for the scope of a test.
class ForcedKernel {
public:
    explicit ForcedKernel(Isa isa) { gemm::set_kernel_override(isa); }
    ~ForcedKernel() { gemm::set_kernel_override(std::nullopt); }
};

std::string isa_name(Isa isa) {
    switch (isa) {
        case Isa::baseline: return "baseline";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
    }
    return "?";
}

struct Shape {
    std::size_t m, k, n;
};

// Around every tile size (4x8, 6x16, 6x32), the k and row blocks, the
// in-place/packed boundary of the right operand, and degenerate dimensions.
const Shape shapes[] = {
    {0, 3, 2},     {1, 1, 1},     {1, 7, 1},      {2, 0, 3},       {3, 5, 2},     {5, 1, 33},
    {7, 13, 31},   {6, 9, 32},    {13, 17, 65},   {17, 33, 9},     {1, 300, 100}, {4, 64, 64},
    {25, 257, 33}, {20, 260, 61}, {45, 300, 250}, {150, 513, 130},
};

class MatmulExact : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, Shape>> {};

TEST_P(MatmulExact, MatchesOracleBitForBit) {
    auto [isa, workers, s] = GetParam();
    if (!gemm::isa_supported(isa)) GTEST_SKIP() << isa_name(isa) << " not supported here";
    ForcedKernel forced(isa);
    Pool pool(workers);
    FloatSeq a = random_floats(s.m * s.k, 1 + s.m * 31 + s.k);
    FloatSeq b = random_floats(s.k * s.n, 7 + s.n * 17 + s.k);
    Matrix r = matmul(make_matrix(a, s.m, s.k), make_matrix(b, s.k, s.n), pool);
    EXPECT_EQ(r.rows, s.m);
    EXPECT_EQ(r.cols, s.n);
    EXPECT_EQ(bits(r.data), bits(oracle(a, b, s.m, s.k, s.n)));
}

INSTANTIATE_TEST_SUITE_P(
    VariantsWorkersShapes, MatmulExact,
    ::testing::Combine(::testing::Values(Isa::baseline, Isa::avx2, Isa::avx512),
                       ::testing::Values(1, 2, 3, 8), ::testing::ValuesIn(shapes)),
    [](const auto& info) {
        const Shape& s = std::get<2>(info.param);
        return isa_name(std::get<0>(info.param)) + "_w" + std::to_string(std::get<1>(info.param)) +
               "_" + std::to_string(s.m) + "x" + std::to_string(s.k) + "x" + std::to_string(s.n);
    });

class MatmulVariant : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (!gemm::isa_supported(GetParam())) GTEST_SKIP();
        gemm::set_kernel_override(GetParam());
    }
    void TearDown() override { gemm::set_kernel_override(std::nullopt); }
    Pool pool{3};
};

TEST_P(MatmulVariant, SmallExample) {
    Matrix r = matmul(make_matrix({1, 2, 3, 4}, 2, 2), make_matrix({5, 6, 7, 8}, 2, 2), pool);
    EXPECT_EQ(r.data, (FloatSeq{19, 22, 43, 50}));
}

TEST_P(MatmulVariant, EachStepRoundsToFloat) {
    // 1e8 + 1 rounds back to 1e8 before -1e8 is added; a wider or reordered
    // sum would give 1.
    Matrix r = matmul(make_matrix({1e8f, 1.0f, -1e8f}, 1, 3), make_matrix({1, 1, 1}, 3, 1), pool);
    EXPECT_EQ(bits(r.data), bits(FloatSeq{0.0f}));
}

TEST_P(MatmulVariant, SumStartsFromPositiveZero) {
    // -1 * 0 = -0.0, and -0.0 + +0.0 is +0.0: seeding with the first product would keep -0.0.
    Matrix r = matmul(make_matrix({-1.0f, -2.0f}, 2, 1), make_matrix({0.0f, 0.0f}, 1, 2), pool);
    EXPECT_EQ(bits(r.data), bits(FloatSeq{0.0f, 0.0f, 0.0f, 0.0f}));
}

TEST_P(MatmulVariant, EmptyInnerDimensionGivesPositiveZeros) {
    Matrix r = matmul(make_matrix({}, 2, 0), make_matrix({}, 0, 3), pool);
    EXPECT_EQ(r.rows, 2u);
    EXPECT_EQ(r.cols, 3u);
    EXPECT_EQ(bits(r.data), bits(FloatSeq(6, 0.0f)));
}

TEST_P(MatmulVariant, ProductIsTheLeftOperandOfTheSum) {
    auto nan = [](std::uint32_t payload) { return std::bit_cast<float>(0x7fc00000u | payload); };
    // k = 0 leaves NaN(1) in the accumulator; at k = 1 the product is NaN(2).
    // When both are NaN the result keeps the first operand's payload.
    Matrix r = matmul(make_matrix({nan(1), 1.0f}, 1, 2), make_matrix({1.0f, nan(2)}, 2, 1), pool);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.data[0]), 0x7fc00002u);
}

TEST_P(MatmulVariant, ProductOfTwoNaNsKeepsTheRightOperandsPayload) {
    // Every variant multiplies with the right operand's element first.
    auto nan = [](std::uint32_t payload) { return std::bit_cast<float>(0x7fc00000u | payload); };
    Matrix r = matmul(make_matrix({nan(1)}, 1, 1), make_matrix({nan(2)}, 1, 1), pool);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.data[0]), 0x7fc00002u);
}

INSTANTIATE_TEST_SUITE_P(Variants, MatmulVariant,
                         ::testing::Values(Isa::baseline, Isa::avx2, Isa::avx512),
                         [](const auto& info) { return isa_name(info.param); });

void expect_fault(const std::string& message, auto&& call) {
    try {
        call();
        ADD_FAILURE() << "expected a Fault: " << message;
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), message);
    }
}

TEST(MatmulFailure, CapacityOverflow) {
    Pool pool(2);
    std::uint64_t two31 = std::uint64_t{1} << 31, two32 = std::uint64_t{1} << 32;
    // 2^62 elements: above the limit; 2^64: does not fit in 64 bits.
    expect_fault("capacity overflow",
                 [&] { matmul(make_matrix({}, two31, 0), make_matrix({}, 0, two31), pool); });
    expect_fault("capacity overflow",
                 [&] { matmul(make_matrix({}, two32, 0), make_matrix({}, 0, two32), pool); });
}

TEST(MatmulFailure, NoResultColumns) {
    Pool pool(2);
    expect_fault("chunk_size must not be zero", [&] {
        matmul(make_matrix({1, 2}, 2, 1), make_matrix({}, 1, 0), pool);
    });
}

TEST(MatmulFailure, NoRowsIsAnEmptyResult) {
    Pool pool(2);
    Matrix r = matmul(make_matrix({}, 0, 2), make_matrix({1, 2, 3, 4, 5, 6}, 2, 3), pool);
    EXPECT_EQ(r.rows, 0u);
    EXPECT_EQ(r.cols, 3u);
    EXPECT_TRUE(r.data.empty());
}

TEST(MatmulFailure, ShortLeftOperandReportsTheFirstBadIndex) {
    Pool pool(1);
    // A record that skipped make_matrix: row 1 reads a[3..5] but a has 5.
    Matrix a{FloatSeq{1, 2, 3, 4, 5}, 2, 3};
    expect_fault("index out of bounds: the len is 5 but the index is 5", [&] {
        matmul(a, make_matrix({1, 2, 3}, 3, 1), pool);
    });
}

}  // namespace
}  // namespace kestrix
