#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "matrix/matrix.h"
#include "pool/fault.h"
#include "pool/pool.h"

namespace kestrix {
namespace {

std::vector<std::uint32_t> bits(const FloatSeq& v) {
    std::vector<std::uint32_t> out(v.size());
    if (!v.empty()) std::memcpy(out.data(), v.data(), v.size() * sizeof(float));
    return out;
}

// Distinct bit patterns, so a misplaced copy cannot go unnoticed.
FloatSeq patterned(std::size_t n) {
    FloatSeq v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::bit_cast<float>(0x3f800000u + std::uint32_t(i));
    return v;
}

void expect_fault(const std::string& message, auto&& call) {
    try {
        call();
        ADD_FAILURE() << "expected a Fault: " << message;
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), message);
    }
}

TEST(MakeMatrix, AcceptsExactProductsOnly) {
    EXPECT_EQ(make_matrix({}, 3, 0).rows, 3u);
    EXPECT_EQ(make_matrix({}, 0, 3).cols, 3u);
    expect_fault("Data length does not match rows * cols", [] { make_matrix({1, 2, 3}, 2, 2); });
    // 2^32 * 2^32 wraps to 0 in 64 bits; it must not match an empty sequence.
    expect_fault("Data length does not match rows * cols",
                 [] { make_matrix({}, std::uint64_t{1} << 32, std::uint64_t{1} << 32); });
}

class Elementwise : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(Elementwise, OneFloatOperationPerElement) {
    auto [workers, n] = GetParam();
    Pool pool(workers);
    FloatSeq xs(n);
    for (std::size_t i = 0; i < n; ++i) xs[i] = 0.37f * float(i) - 11.0f;
    Matrix m = make_matrix(xs, 1, n);
    Matrix sum = add(m, 0.1f, pool), prod = mul(m, 0.1f, pool);
    ASSERT_EQ(sum.data.size(), n);
    ASSERT_EQ(prod.data.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        volatile float s = xs[i] + 0.1f, p = xs[i] * 0.1f;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sum.data[i]),
                  std::bit_cast<std::uint32_t>(float(s)));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(prod.data[i]),
                  std::bit_cast<std::uint32_t>(float(p)));
    }
}

INSTANTIATE_TEST_SUITE_P(WorkersBySize, Elementwise,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(0, 1, 2, 3, 7, 9, 1001)));

TEST(Elementwise, RoundingAndSpecialValues) {
    Pool pool(2);
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(double(add(make_matrix({1.0f}, 1, 1), 0.1f, pool).data[0]), 1.100000023841858);
    EXPECT_EQ(double(mul(make_matrix({3.0f}, 1, 1), 0.1f, pool).data[0]), 0.30000001192092896);
    Matrix big = add(make_matrix({1.0f, -inf}, 1, 2), inf, pool);
    EXPECT_EQ(big.data[0], inf);
    EXPECT_TRUE(std::isnan(big.data[1]));
    Matrix flipped = mul(make_matrix({0.0f, -0.0f}, 2, 1), -1.0f, pool);
    EXPECT_EQ(bits(flipped.data), bits(FloatSeq{-0.0f, 0.0f}));
    Matrix zeroed = mul(make_matrix({inf, -inf, 2.0f}, 3, 1), 0.0f, pool);
    EXPECT_TRUE(std::isnan(zeroed.data[0]));
    EXPECT_TRUE(std::isnan(zeroed.data[1]));
    EXPECT_EQ(zeroed.data[2], 0.0f);
    Matrix empty = add(make_matrix({}, 2, 0), 1.0f, pool);
    EXPECT_EQ(empty.rows, 2u);
    EXPECT_EQ(empty.cols, 0u);
    EXPECT_TRUE(empty.data.empty());
}

struct Dims {
    std::size_t rows, cols;
};

class Transpose : public ::testing::TestWithParam<std::tuple<std::size_t, Dims>> {};

TEST_P(Transpose, MovesEveryElementOnce) {
    auto [workers, d] = GetParam();
    Pool pool(workers);
    FloatSeq src = patterned(d.rows * d.cols);
    Matrix t = transpose(make_matrix(src, d.rows, d.cols), pool);
    ASSERT_EQ(t.rows, d.cols);
    ASSERT_EQ(t.cols, d.rows);
    ASSERT_EQ(t.data.size(), src.size());
    for (std::size_t i = 0; i < d.rows; ++i)
        for (std::size_t j = 0; j < d.cols; ++j)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(t.data[j * d.rows + i]),
                      std::bit_cast<std::uint32_t>(src[i * d.cols + j]))
                << i << "," << j;
}

// Around the 4 x 4 register blocks and the 32 x 32 cache blocks.
INSTANTIATE_TEST_SUITE_P(WorkersByShape, Transpose,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(Dims{1, 1}, Dims{1, 9}, Dims{9, 1},
                                                              Dims{2, 3}, Dims{4, 4}, Dims{5, 7},
                                                              Dims{31, 33}, Dims{32, 32},
                                                              Dims{65, 3}, Dims{70, 100})));

TEST(TransposeValues, SmallExampleAndBitPatterns) {
    Pool pool(3);
    Matrix t = transpose(make_matrix({1, 2, 3, 4, 5, 6}, 2, 3), pool);
    EXPECT_EQ(t.data, (FloatSeq{1, 4, 2, 5, 3, 6}));
    // Signalling and quiet NaNs with payloads, -0.0, infinities, a denormal.
    FloatSeq odd{std::bit_cast<float>(0x7f800001u),
                 std::bit_cast<float>(0xffc12345u),
                 -0.0f,
                 std::numeric_limits<float>::infinity(),
                 -std::numeric_limits<float>::infinity(),
                 std::bit_cast<float>(0x00000001u)};
    Matrix back = transpose(transpose(make_matrix(odd, 3, 2), pool), pool);
    EXPECT_EQ(back.rows, 3u);
    EXPECT_EQ(bits(back.data), bits(odd));
}

TEST(TransposeValues, NoRowsFails) {
    Pool pool(2);
    Matrix t = transpose(make_matrix({}, 4, 0), pool);
    EXPECT_EQ(t.rows, 0u);
    EXPECT_EQ(t.cols, 4u);
    expect_fault("chunk_size must not be zero", [&] { transpose(t, pool); });
    expect_fault("chunk_size must not be zero", [&] { transpose(make_matrix({}, 0, 0), pool); });
}

TEST(TransposeValues, ShortRecordReportsTheSourceIndex) {
    Pool pool(1);
    // A record that skipped make_matrix: 2 x 3 claimed, 5 present. Result row
    // 2 first reads source index 1 * 3 + 2 = 5.
    Matrix bad{FloatSeq{1, 2, 3, 4, 5}, 2, 3};
    expect_fault("index out of bounds: the len is 5 but the index is 5",
                 [&] { transpose(bad, pool); });
}

}  // namespace
}  // namespace kestrix
