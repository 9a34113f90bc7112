// Matrix product and transpose on the pool: every kernel variant, forced
// through the override, against a plain loop of the definition, at sizes
// around the tiles and blocks and at several worker counts.
#include "matrix/matrix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "base/isa.h"
#include "kernels/product.h"
#include "kernels/table.h"
#include "matrix/packing.h"
#include "pool/pool.h"
#include "support.h"

namespace kestrix {
namespace {

// The definition itself: i-k-j, c = (b[k][j] * a[i][k]) + c from +0.0, in
// the rule's float32 arithmetic, so NaN payloads are part of the answer.
FloatSeq oracle(const FloatSeq& a, const FloatSeq& b, std::size_t m, std::size_t k, std::size_t n) {
    FloatSeq r(m * n, 0.0f);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t p = 0; p < k; ++p)
            for (std::size_t j = 0; j < n; ++j)
                r[i * n + j] = rule::add(rule::mul(b[p * n + j], a[i * k + p]), r[i * n + j]);
    return r;
}

struct Shape {
    std::size_t m, k, n;
};

// Around every tile size (4x8, 6x16, 8x8, 8x32) and the half-width edge
// tiles (8x16: last panels of 8, 16 and 17 columns, read in place and
// packed), the k and row blocks, the in-place/packed boundary of the right
// operand, a right operand read in place at a wide stride over several k
// blocks, the row copy of wide left operands, degenerate dimensions, and
// either side of the sizes below which a product runs on the calling thread
// alone (64^3 for some variants, 128^3 for others).
const Shape shapes[] = {
    {4096, 64, 1},
    {4097, 64, 1},
    {2, 4096, 32},
    {2, 4097, 32},
    {64, 64, 64},
    {65, 64, 64},
    {128, 128, 128},
    {129, 128, 128},
    {72, 72, 72},
    {80, 80, 80},
    {21, 300, 49},
    {300, 300, 272},
    {150, 40, 16},
    {200, 20, 65},
    {200, 20, 66},
    {0, 3, 2},
    {1, 1, 1},
    {1, 7, 1},
    {2, 0, 3},
    {3, 5, 2},
    {5, 1, 33},
    {7, 13, 31},
    {6, 9, 32},
    {13, 17, 65},
    {17, 33, 9},
    {1, 300, 100},
    {4, 64, 64},
    {25, 257, 33},
    {20, 260, 61},
    {45, 300, 250},
    {150, 513, 130},
    {9, 1031, 47},
    {13, 64, 128},
    {128, 40, 33},
    {129, 40, 33},
    {20, 600, 530},
    {8, 3, 12},
    {14, 258, 13},
    {6, 3, 5},
    {9, 11, 8},
    {10, 9, 3},
    {13, 6, 4},
    {7, 5, 6},
    {2, 7, 10},
    // Few rows, one and two groups of 8, streamed in blocks of 8 and 16 k
    // steps across tiles of 64 and 32 columns and a masked last vector.
    {1, 33, 257},
    {2, 17, 300},
    {3, 16, 129},
    {5, 33, 129},
    {8, 47, 300},
    {11, 16, 257},
    {12, 33, 129},
    {16, 49, 301},
    {15, 3, 1000},
};

// Every dimension at 0, 1, 2, 15, 16, 17, 31, 33, 513 and a long one, each
// in shapes of the families the product chooses kernels for (few result
// columns, few result rows, both, neither), on every variant and at worker
// counts that split rows, column blocks or both unevenly.
std::vector<Shape> edge_shapes() {
    const std::size_t dims[] = {0, 1, 2, 15, 16, 17, 31, 33, 513, 4099};
    std::vector<Shape> out;
    auto add = [&](Shape s) {
        bool seen = false;
        for (const Shape& o : out) seen = seen || (o.m == s.m && o.k == s.k && o.n == s.n);
        if (!seen && s.m * s.k * s.n <= 2000000) out.push_back(s);
    };
    for (std::size_t d : dims)
        for (Shape s : {Shape{d, 31, 1}, Shape{d, 17, 7}, Shape{d, 9, 33},  // rows vary
                        Shape{1, d, 33}, Shape{17, d, 2}, Shape{3, d, 129}, Shape{16, d, 17},
                        Shape{1, 15, d}, Shape{4, 31, d}, Shape{16, 17, d}, Shape{33, 2, d}})
            add(s);
    return out;
}

class MatmulExact : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, Shape>> {};

TEST_P(MatmulExact, MatchesOracleBitForBit) {
    auto [isa, workers, s] = GetParam();
    FORCE_KERNELS(isa);
    Pool pool(workers);
    FloatSeq a = random_floats(s.m * s.k, 1 + s.m * 31 + s.k);
    FloatSeq b = random_floats(s.k * s.n, 7 + s.n * 17 + s.k);
    Matrix r = matmul(make_matrix(a, s.m, s.k), make_matrix(b, s.k, s.n), pool);
    EXPECT_EQ(r.rows, s.m);
    EXPECT_EQ(r.cols, s.n);
    EXPECT_EQ(bits(r.data), bits(oracle(a, b, s.m, s.k, s.n)));
}

std::string shape_test_name(
    const ::testing::TestParamInfo<std::tuple<Isa, std::size_t, Shape>>& info) {
    const Shape& s = std::get<2>(info.param);
    return std::string(isa_name(std::get<0>(info.param))) + "_w" +
           std::to_string(std::get<1>(info.param)) + "_" + std::to_string(s.m) + "x" +
           std::to_string(s.k) + "x" + std::to_string(s.n);
}

INSTANTIATE_TEST_SUITE_P(VariantsWorkersShapes, MatmulExact,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::ValuesIn(shapes)),
                         shape_test_name);
INSTANTIATE_TEST_SUITE_P(VariantsWorkersEdges, MatmulExact,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::ValuesIn(edge_shapes())),
                         shape_test_name);

// NaNs in either operand or both, in every kernel family the product
// chooses (few columns, streamed rows, tiles read in place, tiles over a
// packed right operand, ragged edge panels and row tiles): each step's
// operand order decides which payload reaches each element.
enum class NaNsIn { a, b, both };

class MatmulNaNs : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, Shape, NaNsIn>> {};

TEST_P(MatmulNaNs, PayloadsFollowTheOperandOrder) {
    auto [isa, workers, s, where] = GetParam();
    FORCE_KERNELS(isa);
    Pool pool(workers);
    FloatSeq a = random_floats(s.m * s.k, 3 + s.m), b = random_floats(s.k * s.n, 4 + s.n);
    // Sparse in a, so that many sums stay finite until a NaN of b arrives.
    if (where != NaNsIn::b) a = with_nans(std::move(a), 5 + s.k, 9);
    if (where != NaNsIn::a) b = with_nans(std::move(b), 6 + s.k, 4);
    Matrix r = matmul(make_matrix(a, s.m, s.k), make_matrix(b, s.k, s.n), pool);
    EXPECT_EQ(bits(r.data), bits(oracle(a, b, s.m, s.k, s.n)));
}

const Shape nan_shapes[] = {{1, 1, 1},      {3, 7, 1},     {9, 17, 8},    {100, 9, 3},
                            {2, 33, 9},     {4, 17, 100},  {1, 300, 17},  {17, 9, 33},
                            {33, 40, 17},   {128, 20, 65}, {130, 17, 40}, {150, 300, 240},
                            {145, 260, 257}};

std::string nan_test_name(
    const ::testing::TestParamInfo<std::tuple<Isa, std::size_t, Shape, NaNsIn>>& info) {
    const Shape& s = std::get<2>(info.param);
    const char* const where[] = {"a", "b", "both"};
    return std::string(isa_name(std::get<0>(info.param))) + "_w" +
           std::to_string(std::get<1>(info.param)) + "_" + std::to_string(s.m) + "x" +
           std::to_string(s.k) + "x" + std::to_string(s.n) + "_nans_in_" +
           where[static_cast<int>(std::get<3>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(VariantsWorkersShapes, MatmulNaNs,
                         ::testing::Combine(::testing::ValuesIn(every_isa), ::testing::Values(1, 3),
                                            ::testing::ValuesIn(nan_shapes),
                                            ::testing::Values(NaNsIn::a, NaNsIn::b, NaNsIn::both)),
                         nan_test_name);

// The packed path under small packing limits: a column block per panel or
// per three panels (so that both copy slots are refilled, and the last block
// is narrower and padded), blocks widened to a least width and that width
// held back by the largest copy, a single panel over the limit (read in
// place), and the workers' own copies. Rows above the in-place height and k
// across two blocks of 256; 150 x 350 x 201 packs on every variant.
struct Packing {
    Shape shape;
    std::size_t copy, columns, most;  // in panels; copy 0: a panel more than most allows
    bool own;                         // the workers' own copies, where each has rows enough
};

class MatmulPacking : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, Packing>> {};

TEST_P(MatmulPacking, ColumnBlocksMatchOracle) {
    auto [isa, workers, c] = GetParam();
    FORCE_KERNELS(isa);
    const Shape s = c.shape;
    const std::size_t nr = table_for(isa).product.nr, panel = s.k * nr;
    gemm::PackingOverride limits({c.copy ? c.copy * panel : panel - 1, c.columns * nr,
                                  c.copy ? c.most * panel : panel - 1,
                                  c.own ? std::size_t{1} << 30 : 0});
    Pool pool(workers);
    FloatSeq a = random_floats(s.m * s.k, 5 + s.n), b = random_floats(s.k * s.n, 9 + s.m);
    Matrix r = matmul(make_matrix(a, s.m, s.k), make_matrix(b, s.k, s.n), pool);
    EXPECT_EQ(bits(r.data), bits(oracle(a, b, s.m, s.k, s.n)));
}

const Packing packings[] = {
    {{150, 350, 201}, 1, 0, 1, false}, {{150, 350, 201}, 3, 0, 3, false},
    {{301, 350, 200}, 1, 0, 1, false}, {{150, 350, 201}, 1, 2, 4, false},
    {{150, 350, 201}, 1, 5, 3, false}, {{150, 350, 201}, 0, 0, 0, false},
    {{300, 300, 250}, 1, 0, 1, true},  {{129, 257, 66}, 2, 0, 2, false},
};

INSTANTIATE_TEST_SUITE_P(VariantsWorkersLimits, MatmulPacking,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::ValuesIn(packings)));

// The packed copies of the right operand (each worker's own with one or two
// workers at this height, one shared with three) outlive a product; the next
// product on the same threads, with other values or another width, must
// pack its own operand afresh.
class MatmulRepacks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MatmulRepacks, EachProductPacksItsOwnRightOperand) {
    Pool pool(GetParam());
    const std::size_t m = 150, k = 513;
    FloatSeq a = random_floats(m * k, 3);
    for (auto [n, seed] :
         {std::pair<std::size_t, std::uint32_t>{130, 1}, {130, 2}, {200, 3}, {70, 4}}) {
        FloatSeq b = random_floats(k * n, seed);
        Matrix r = matmul(make_matrix(a, m, k), make_matrix(b, k, n), pool);
        EXPECT_EQ(bits(r.data), bits(oracle(a, b, m, k, n))) << "n=" << n << " seed=" << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, MatmulRepacks, ::testing::Values(1, 2, 3));

// What random operands cannot show: the sum starts from +0.0, and the operand
// order of each step decides which NaN payload survives. Every result shape
// takes another kernel: lanes across rows, streamed rows, tiles in place,
// packed tiles.
class MatmulOperandOrder
    : public ::testing::TestWithParam<std::tuple<Isa, std::pair<std::size_t, std::size_t>>> {};

TEST_P(MatmulOperandOrder, SignedZerosAndNaNPayloads) {
    auto [isa, shape] = GetParam();
    auto [m, n] = shape;
    FORCE_KERNELS(isa);
    Pool pool(3);
    auto nan = [](std::uint32_t payload) { return std::bit_cast<float>(0x7fc00000u | payload); };
    auto filled = [](std::size_t count, float v) { return FloatSeq(count, v); };
    const std::vector<std::uint32_t> nan2(m * n, 0x7fc00002u);
    // -1 * 0 = -0.0, and -0.0 + +0.0 is +0.0: seeding with the first product would keep -0.0.
    Matrix zeros =
        matmul(make_matrix(filled(m, -1.0f), m, 1), make_matrix(filled(n, 0.0f), 1, n), pool);
    EXPECT_EQ(bits(zeros.data), bits(FloatSeq(m * n, 0.0f)));
    // k = 0 leaves NaN(1) in the sum; at k = 1 the product, NaN(2), is the left operand.
    FloatSeq a(2 * m), b(2 * n);
    for (std::size_t i = 0; i < m; ++i) a[2 * i] = nan(1), a[2 * i + 1] = 1.0f;
    for (std::size_t j = 0; j < n; ++j) b[j] = 1.0f, b[n + j] = nan(2);
    EXPECT_EQ(bits(matmul(make_matrix(a, m, 2), make_matrix(b, 2, n), pool).data), nan2);
    // A product of two NaNs keeps the right operand's payload.
    Matrix prod =
        matmul(make_matrix(filled(m, nan(1)), m, 1), make_matrix(filled(n, nan(2)), 1, n), pool);
    EXPECT_EQ(bits(prod.data), nan2);
}

using ResultShape = std::pair<std::size_t, std::size_t>;
const ResultShape result_shapes[] = {{1, 1},    {2, 2}, {9, 1},   {33, 7},  {1, 9},
                                     {3, 2049}, {5, 9}, {16, 40}, {20, 20}, {40, 100}};

INSTANTIATE_TEST_SUITE_P(VariantsShapes, MatmulOperandOrder,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::ValuesIn(result_shapes)),
                         [](const auto& info) {
                             const ResultShape& shape = std::get<1>(info.param);
                             return std::string(isa_name(std::get<0>(info.param))) + "_" +
                                    std::to_string(shape.first) + "x" +
                                    std::to_string(shape.second);
                         });

struct Dims {
    std::size_t rows, cols;
};

class Transpose : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, Dims>> {};

TEST_P(Transpose, MovesEveryBitPatternOnce) {
    auto [isa, workers, d] = GetParam();
    FORCE_KERNELS(isa);
    Pool pool(workers);
    // Distinct patterns: signalling and quiet NaNs, denormals, both signs.
    FloatSeq src(d.rows * d.cols);
    for (std::size_t i = 0; i < src.size(); ++i)
        src[i] = std::bit_cast<float>(0x7f800001u + std::uint32_t(i) * 0x00400001u);
    Matrix t = transpose(make_matrix(src, d.rows, d.cols), pool);
    ASSERT_EQ(t.rows, d.cols);
    ASSERT_EQ(t.cols, d.rows);
    FloatSeq want(src.size());
    for (std::size_t i = 0; i < d.rows; ++i)
        for (std::size_t j = 0; j < d.cols; ++j) want[j * d.rows + i] = src[i * d.cols + j];
    EXPECT_EQ(bits(t.data), bits(want));
}

// Around the 4 x 4, 8 x 8 and 16 x 16 register blocks and the 32 x 32 cache
// blocks; the last three give leaves long enough for 16 x 16 blocks and
// strips of every narrower kind, the very last with 64 x 64 cache blocks.
INSTANTIATE_TEST_SUITE_P(
    VariantsWorkersShapes, Transpose,
    ::testing::Combine(::testing::ValuesIn(every_isa), ::testing::Values(1, 2, 3, 8),
                       ::testing::Values(Dims{1, 1}, Dims{1, 9}, Dims{9, 1}, Dims{2, 3}, Dims{4, 4},
                                         Dims{5, 7}, Dims{8, 8}, Dims{17, 9}, Dims{16, 16},
                                         Dims{31, 33}, Dims{32, 32}, Dims{47, 18}, Dims{65, 3},
                                         Dims{70, 100}, Dims{37, 200}, Dims{150, 130},
                                         Dims{20, 1030}, Dims{12, 13})));

// Results of 16 MiB and more with a multiple of 16 rows are written past the
// caches; 2048 x 2050 also leaves edge strips written the ordinary way.
INSTANTIATE_TEST_SUITE_P(Streamed, Transpose,
                         ::testing::Combine(::testing::Values(Isa::avx512), ::testing::Values(2, 3),
                                            ::testing::Values(Dims{2048, 2050}, Dims{4112, 1024})));

// From 16 MiB on the result is streamed a line at a time; an odd length puts
// the leaves' ends inside lines; the short ones end inside a vector. The
// element is the first operand: where both are NaN, its payload wins. An
// infinite scalar makes NaNs of the infinite elements of the other sign.
class ScalarOps
    : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, std::size_t, float>> {};

TEST_P(ScalarOps, EveryElementIsItsOwnOperation) {
    auto [isa, workers, n, v] = GetParam();
    FORCE_KERNELS(isa);
    Pool pool(workers);
    FloatSeq src(n);
    for (std::size_t i = 0; i < n; ++i)
        src[i] = std::bit_cast<float>(0x7f800001u + std::uint32_t(i) * 0x00400001u);
    if (n > 1) src[n - 1] = INFINITY;
    Matrix m = make_matrix(src, 1, n);
    FloatSeq sum(n), product(n);
    for (std::size_t i = 0; i < n; ++i)
        sum[i] = rule::add(src[i], v), product[i] = rule::mul(src[i], v);
    EXPECT_EQ(bits(add(m, v, pool).data), bits(sum));
    EXPECT_EQ(bits(mul(m, v, pool).data), bits(product));
}

INSTANTIATE_TEST_SUITE_P(
    VariantsWorkersLengths, ScalarOps,
    ::testing::Combine(::testing::ValuesIn(every_isa), ::testing::Values(1, 3),
                       ::testing::Values(1, 3, 7, 8, 9, 17, 1001, (std::size_t{4} << 20) + 37),
                       ::testing::Values(-0.75f, -INFINITY, std::bit_cast<float>(0x7fc00002u))));

// Records that skipped make_matrix (2 x 3 claimed, 5 floats present) fail at
// the first index they would read past the data.
TEST(ShortRecord, FailsAtTheFirstMissingIndex) {
    Pool pool(1);
    Matrix bad{FloatSeq{1, 2, 3, 4, 5}, 2, 3};
    const std::string want = "index out of bounds: the len is 5 but the index is 5";
    // Result row 2 of the transpose first reads source index 1 * 3 + 2.
    EXPECT_EQ(fault_message([&] { transpose(bad, pool); }), want);
    EXPECT_EQ(fault_message([&] { matmul(bad, make_matrix({1, 2, 3}, 3, 1), pool); }), want);
}

// The same through every kind of product kernel, in products small enough
// to run on the calling thread and large enough to be split: a short left
// operand fails at its last row, a short right one at row 0.
TEST(ShortRecord, EveryProductPathFailsBeforeReading) {
    Pool pool(3);
    for (auto [m, n] : {std::pair<std::size_t, std::size_t>{2, 1},
                        {40, 3},
                        {2, 9},
                        {5, 9},
                        {20, 20},
                        {100000, 1},
                        {2, 50000},
                        {5, 20000},
                        {20000, 20}}) {
        Matrix short_a{FloatSeq(3 * m - 1, 1.0f), m, 3}, short_b{FloatSeq(3 * n - 1, 1.0f), 3, n};
        Matrix a = make_matrix(FloatSeq(3 * m, 1.0f), m, 3),
               b = make_matrix(FloatSeq(3 * n, 1.0f), 3, n);
        auto message = [](std::size_t len) {
            return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                   std::to_string(len);
        };
        EXPECT_EQ(fault_message([&] { matmul(short_a, b, pool); }), message(3 * m - 1))
            << m << "x" << n;
        EXPECT_EQ(fault_message([&] { matmul(a, short_b, pool); }), message(3 * n - 1))
            << m << "x" << n;
    }
}

}  // namespace
}  // namespace kestrix
