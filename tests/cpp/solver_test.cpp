#include "solver/solver.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "pool/fault.h"
#include "solver/solver_kernels.h"

namespace kestrix {
namespace {

using Floats = std::vector<float>;

Matrix matrix(const Floats& data, std::uint64_t rows, std::uint64_t cols) {
    return Matrix{FloatSeq(data.begin(), data.end()), rows, cols};
}

Floats random_f32(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    Floats v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

Solver solver_with(float lr, std::uint64_t iters) {
    Solver s;
    s.lr = lr;
    s.iters = iters;
    return s;
}

template <class F>
std::string fault_message(F f) {
    try {
        f();
    } catch (const Fault& fault) {
        return fault.message();
    }
    return "<no fault>";
}

// --- An independent model of training with a one-worker pool ---------------
// With one worker the caller's split and the taken-over halves' split leave
// exactly one more split each: a loop is cut at most three levels deep.
struct Oracle {
    const Floats& x;
    const Floats& y;
    std::size_t c;
    Floats w;
    float b = 0.0f;

    Floats leaf(std::size_t lo, std::size_t hi) const {
        Floats acc(c + 1, 0.0f);
        for (std::size_t i = lo; i < hi; ++i) {
            float p = b;
            for (std::size_t j = 0; j < c; ++j) p = p + w[j] * x[i * c + j];
            float e = p - y[i];
            for (std::size_t j = 0; j < c; ++j) acc[j] = acc[j] + e * x[i * c + j];
            acc[c] = acc[c] + e;
        }
        Floats out(c + 1, 0.0f);
        for (std::size_t j = 0; j <= c; ++j) out[j] = out[j] + acc[j];
        return out;
    }

    Floats pass(std::size_t lo, std::size_t hi, int depth) const {
        if (hi - lo < 2 || depth == 3) return leaf(lo, hi);
        std::size_t mid = lo + (hi - lo) / 2;
        Floats left = pass(lo, mid, depth + 1);
        Floats right = pass(mid, hi, depth + 1);
        for (std::size_t j = 0; j <= c; ++j) left[j] = left[j] + right[j];
        return left;
    }

    void train(std::size_t n, float lr, std::uint64_t iters) {
        w.assign(c, 0.0f);
        b = 0.0f;
        float nf = static_cast<float>(n);
        for (std::uint64_t s = 0; s < iters; ++s) {
            Floats g = pass(0, n, 0);
            for (std::size_t j = 0; j < c; ++j) w[j] = w[j] - (g[j] / nf) * lr;
            b = b - (g[c] / nf) * lr;
        }
    }
};

Floats predict_oracle(const Floats& x, std::size_t c, const Floats& w, float b) {
    Floats out(x.size() / c);
    for (std::size_t r = 0; r < out.size(); ++r) {
        float p = b;
        for (std::size_t j = 0; j < c; ++j) p = p + w[j] * x[r * c + j];
        out[r] = p;
    }
    return out;
}

// Bitwise equality, so that NaN == NaN and +0.0 != -0.0.
::testing::AssertionResult same_bits(const Floats& want, const FloatSeq& got) {
    if (want.size() != got.size())
        return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    for (std::size_t i = 0; i < want.size(); ++i)
        if (std::bit_cast<std::uint32_t>(want[i]) != std::bit_cast<std::uint32_t>(got[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << got[i] << ", want " << want[i];
    return ::testing::AssertionSuccess();
}

// --- Kernel variants --------------------------------------------------------

const SolverIsa all_isas[] = {SolverIsa::baseline, SolverIsa::avx2, SolverIsa::avx512};

}  // namespace

void PrintTo(SolverIsa isa, std::ostream* os) {
    *os << (isa == SolverIsa::baseline ? "baseline" : isa == SolverIsa::avx2 ? "avx2" : "avx512");
}

namespace {

// Forces one kernel variant for the duration of a test.
class WithKernels {
public:
    explicit WithKernels(SolverIsa isa) : kernels_(solver_kernels_for(isa)) {
        set_solver_kernels_override(kernels_);
    }
    ~WithKernels() { set_solver_kernels_override(nullptr); }
    bool supported() const { return kernels_ != nullptr; }

private:
    const SolverKernels* kernels_;
};

#define SKIP_UNLESS_SUPPORTED(k) \
    if (!(k).supported()) GTEST_SKIP() << "kernel variant not supported here"

// --- Training: worked example and edge cases --------------------------------

class TrainingByPool : public ::testing::TestWithParam<std::tuple<SolverIsa, std::size_t>> {};

TEST_P(TrainingByPool, WorkedExample) {
    auto [isa, workers] = GetParam();
    WithKernels k(isa);
    SKIP_UNLESS_SUPPORTED(k);
    Pool pool(workers);
    Solver s = solver_with(0.1f, 1);
    fit(s, matrix({1.0f, 2.0f}, 2, 1), FloatSeq{2.0f, 4.0f}, pool);
    EXPECT_TRUE(same_bits({0.5f}, s.weights));
    EXPECT_EQ(static_cast<double>(s.bias), 0.30000001192092896);
    FloatSeq p = predict(s, matrix({1.0f}, 1, 1), pool);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(static_cast<double>(p[0]), 0.800000011920929);
}

TEST_P(TrainingByPool, ZeroRowsGiveNaN) {
    auto [isa, workers] = GetParam();
    WithKernels k(isa);
    SKIP_UNLESS_SUPPORTED(k);
    Pool pool(workers);
    Solver s = solver_with(0.1f, 2);
    fit(s, matrix({}, 0, 3), FloatSeq{}, pool);
    ASSERT_EQ(s.weights.size(), 3u);
    for (float w : s.weights) EXPECT_TRUE(std::isnan(w));
    EXPECT_TRUE(std::isnan(s.bias));
}

TEST_P(TrainingByPool, ZeroColumnsTrainOnlyTheBias) {
    auto [isa, workers] = GetParam();
    WithKernels k(isa);
    SKIP_UNLESS_SUPPORTED(k);
    Pool pool(workers);
    Solver s = solver_with(0.5f, 2);
    fit(s, matrix({}, 2, 0), FloatSeq{1.0f, 3.0f}, pool);
    EXPECT_TRUE(s.weights.empty());
    // Step 1: gb = -1 + -3 = -4, bias = 0 - (-4 / 2) * 0.5 = 1.
    // Step 2: gb = 0 + -2 = -2, bias = 1 - (-2 / 2) * 0.5 = 1.5.
    EXPECT_EQ(s.bias, 1.5f);
}

INSTANTIATE_TEST_SUITE_P(KernelsByWorkers, TrainingByPool,
                         ::testing::Combine(::testing::ValuesIn(all_isas),
                                            ::testing::Values(1, 2, 3, 8)));

TEST(Training, ItersZeroResetsWithoutAPassEvenForAShortY) {
    Pool pool(1);
    Solver s = solver_with(0.1f, 1);
    fit(s, matrix({1.0f, 2.0f}, 2, 1), FloatSeq{2.0f, 4.0f}, pool);
    s.iters = 0;
    fit(s, matrix({1, 2, 3, 4, 5, 6}, 2, 3), FloatSeq{}, pool);
    EXPECT_TRUE(same_bits({0.0f, 0.0f, 0.0f}, s.weights));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.bias), 0u);
}

TEST(Training, SecondFitStartsAgainFromZeros) {
    Pool pool(1);
    Floats xa = random_f32(5 * 3, 1), ya = random_f32(5, 2);
    Floats xb = random_f32(7 * 2, 3), yb = random_f32(7, 4);
    Solver s = solver_with(0.05f, 4);
    fit(s, matrix(xa, 5, 3), FloatSeq(ya.begin(), ya.end()), pool);
    fit(s, matrix(xb, 7, 2), FloatSeq(yb.begin(), yb.end()), pool);
    Solver fresh = solver_with(0.05f, 4);
    fit(fresh, matrix(xb, 7, 2), FloatSeq(yb.begin(), yb.end()), pool);
    EXPECT_TRUE(same_bits(Floats(fresh.weights.begin(), fresh.weights.end()), s.weights));
    EXPECT_EQ(s.bias, fresh.bias);
}

// Leaves with one worker over 10 samples: [0] [1] [2] [3,4] [5] [6] [7] [8,9];
// a y of 4 first fails in [3,4] at index 4, not at the leaf's start.
TEST(Training, ShortYFailsAtTheFirstMissingIndexAndKeepsTheReset) {
    Pool pool(1);
    Solver s = solver_with(0.1f, 3);
    fit(s, matrix({1.0f, 2.0f}, 2, 1), FloatSeq{2.0f, 4.0f}, pool);
    Floats x = random_f32(10 * 2, 5);
    EXPECT_EQ(fault_message([&] {
                  fit(s, matrix(x, 10, 2), FloatSeq{1, 2, 3, 4}, pool);
              }),
              "index out of bounds: the len is 4 but the index is 4");
    EXPECT_TRUE(same_bits({0.0f, 0.0f}, s.weights));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.bias), 0u);
}

TEST(Training, ColumnCountWhoseWeightsCannotExist) {
    Pool pool(1);
    // 2^62 floats would wrap to 0 bytes; 2^64 - 1 would wrap c + 1 to 0.
    for (std::uint64_t c : {std::uint64_t{1} << 62, std::numeric_limits<std::uint64_t>::max()}) {
        Solver s = solver_with(0.1f, 1);
        EXPECT_EQ(fault_message([&] { fit(s, matrix({}, 0, c), FloatSeq{}, pool); }),
                  "capacity overflow");
    }
}

TEST(Training, MalformedMatrixIsRefusedBeforeReading) {
    Pool pool(1);
    Solver s = solver_with(0.1f, 1);
    EXPECT_EQ(fault_message([&] {
                  fit(s, matrix({1, 2, 3}, 2, 2), FloatSeq{1, 2}, pool);
              }),
              "Data length does not match rows * cols");
}

// --- Training against the one-worker oracle ---------------------------------

class TrainingOracle
    : public ::testing::TestWithParam<std::tuple<SolverIsa, std::size_t, std::size_t>> {};

TEST_P(TrainingOracle, MatchesBitForBit) {
    auto [isa, n, c] = GetParam();
    WithKernels k(isa);
    SKIP_UNLESS_SUPPORTED(k);
    Floats x = random_f32(n * c, static_cast<std::uint32_t>(n * 131 + c));
    Floats y = random_f32(n + 3, static_cast<std::uint32_t>(n + 7));  // surplus is ignored
    Pool pool(1);
    Solver s = solver_with(0.05f, 3);
    fit(s, matrix(x, n, c), FloatSeq(y.begin(), y.end()), pool);
    Oracle o{x, y, c, {}, 0.0f};
    o.train(n, 0.05f, 3);
    EXPECT_TRUE(same_bits(o.w, s.weights));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(o.b), std::bit_cast<std::uint32_t>(s.bias))
        << s.bias << " want " << o.b;
}

INSTANTIATE_TEST_SUITE_P(KernelsBySize, TrainingOracle,
                         ::testing::Combine(::testing::ValuesIn(all_isas),
                                            ::testing::Values(1, 2, 3, 7, 9, 16, 17, 63, 130, 1001),
                                            ::testing::Values(0, 1, 3, 8, 9, 15, 16, 17, 40)));

// --- Prediction --------------------------------------------------------------

TEST(Prediction, NoRowsGiveAnEmptyResultEvenUntrained) {
    Pool pool(1);
    EXPECT_TRUE(predict(Solver{}, matrix({}, 0, 4), pool).empty());
}

TEST(Prediction, NoColumnsFailEvenWithoutRows) {
    Pool pool(1);
    Solver s = solver_with(0.1f, 1);
    fit(s, matrix({1.0f, 2.0f}, 2, 1), FloatSeq{2.0f, 4.0f}, pool);
    EXPECT_EQ(fault_message([&] { predict(s, matrix({}, 0, 0), pool); }),
              "chunk_size must not be zero");
    EXPECT_EQ(fault_message([&] { predict(s, matrix({}, 3, 0), pool); }),
              "chunk_size must not be zero");
}

TEST(Prediction, MoreColumnsThanWeightsFailAtTheFirstMissingWeight) {
    Pool pool(2);
    EXPECT_EQ(fault_message([&] { predict(Solver{}, matrix({1.0f}, 1, 1), pool); }),
              "index out of bounds: the len is 0 but the index is 0");
    Solver s = solver_with(0.1f, 1);
    fit(s, matrix({1, 2, 3, 4}, 2, 2), FloatSeq{1, 2}, pool);
    EXPECT_EQ(fault_message([&] { predict(s, matrix(random_f32(30, 9), 10, 3), pool); }),
              "index out of bounds: the len is 2 but the index is 2");
}

TEST(Prediction, FewerColumnsUseTheFirstWeights) {
    Pool pool(1);
    Solver s;
    s.weights = FloatSeq{0.5f, -1.25f, 3.0f};
    s.bias = 0.25f;
    FloatSeq p = predict(s, matrix({2, 1, -4, 8}, 2, 2), pool);
    // 0.25 + 1 - 1.25 = 0, 0.25 - 2 - 10 = -11.75.
    EXPECT_TRUE(same_bits({0.0f, -11.75f}, p));
}

TEST(Prediction, ShortLastRowFailsInsteadOfReadingPastTheData) {
    Pool pool(1);
    Solver s;
    s.weights = FloatSeq{1.0f, 1.0f, 1.0f};
    Matrix x{FloatSeq{1, 2, 3, 4}, 2, 3};  // not made by make_matrix
    EXPECT_EQ(fault_message([&] { predict(s, x, pool); }),
              "index out of bounds: the len is 1 but the index is 1");
}

class PredictionOracle : public ::testing::TestWithParam<
                             std::tuple<SolverIsa, std::size_t, std::size_t, std::size_t>> {};

TEST_P(PredictionOracle, SameBitsForEveryPool) {
    auto [isa, workers, rows, c] = GetParam();
    WithKernels k(isa);
    SKIP_UNLESS_SUPPORTED(k);
    Solver s;
    Floats w = random_f32(c + 2, 11);  // extra weights are ignored
    s.weights = FloatSeq(w.begin(), w.end());
    s.bias = -0.375f;
    Floats x = random_f32(rows * c, static_cast<std::uint32_t>(rows + 13 * c));
    Pool pool(workers);
    EXPECT_TRUE(same_bits(predict_oracle(x, c, w, s.bias), predict(s, matrix(x, rows, c), pool)));
}

INSTANTIATE_TEST_SUITE_P(KernelsWorkersBySize, PredictionOracle,
                         ::testing::Combine(::testing::ValuesIn(all_isas),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(1, 2, 7, 8, 15, 16, 17, 33, 1000),
                                            ::testing::Values(1, 4, 8, 9, 16, 17, 33)));

}  // namespace
}  // namespace kestrix
