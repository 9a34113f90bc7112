// Training and prediction with every kernel variant, forced through the
// override, against plain float32 loops of the definitions.
#include "solver/solver.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "kernels/solver.h"
#include "kernels/table.h"
#include "pool/split_tree.h"
#include "support.h"

namespace kestrix {
namespace {

using Floats = std::vector<float>;

Matrix matrix(const Floats& data, std::uint64_t rows, std::uint64_t cols) {
    return Matrix{FloatSeq(data.begin(), data.end()), rows, cols};
}

Floats random_f32(std::size_t n, std::uint32_t seed) {
    FloatSeq v = random_floats(n, seed);
    return Floats(v.begin(), v.end());
}

// Training written out in the rule's float32 arithmetic: each pass sums the
// samples' gradients over the split tree of the pool's worker count.
struct Oracle {
    const Floats& x;
    const Floats& y;
    std::size_t c;
    Floats w;
    float b = 0.0f;

    Floats pass(const std::vector<SplitNode>& tree, std::size_t at) const {
        const SplitNode& piece = tree[at];
        Floats acc(c + 1, 0.0f);
        if (!piece.is_leaf()) {
            Floats left = pass(tree, piece.left), right = pass(tree, piece.right);
            for (std::size_t j = 0; j <= c; ++j) acc[j] = rule::add(left[j], right[j]);
            return acc;
        }
        for (std::size_t i = piece.lo; i < piece.hi; ++i) {
            float p = b;
            for (std::size_t j = 0; j < c; ++j) p = rule::add(p, rule::mul(w[j], x[i * c + j]));
            float e = rule::sub(p, y[i]);
            for (std::size_t j = 0; j < c; ++j)
                acc[j] = rule::add(acc[j], rule::mul(e, x[i * c + j]));
            acc[c] = rule::add(acc[c], e);
        }
        for (float& a : acc) a = rule::add(0.0f, a);  // the leaf's combine(identity, folded)
        return acc;
    }

    // Training on a pool of `workers`, whose passes follow the tree no steal changes.
    void train(std::size_t n, float lr, std::uint64_t iters, std::size_t workers = 1) {
        w.assign(c, 0.0f);
        b = 0.0f;
        float nf = static_cast<float>(n);
        std::vector<SplitNode> tree = fixed_tree(n, workers);
        for (std::uint64_t s = 0; s < iters; ++s) {
            Floats g = pass(tree, 0);
            for (std::size_t j = 0; j < c; ++j)
                w[j] = rule::sub(w[j], rule::mul(rule::div(g[j], nf), lr));
            b = rule::sub(b, rule::mul(rule::div(g[c], nf), lr));
        }
    }
};

}  // namespace

void PrintTo(Isa isa, std::ostream* os) { *os << isa_name(isa); }

namespace {

void expect_fit_matches_oracle(const Floats& x, const Floats& y, std::size_t n, std::size_t c,
                               float lr, std::uint64_t iters, Pool& pool) {
    Solver s{{}, 0.0f, lr, iters};
    fit(s, matrix(x, n, c), FloatSeq(y.begin(), y.end()), pool);
    Oracle o{x, y, c, {}, 0.0f};
    o.train(n, lr, iters, pool.size());
    EXPECT_EQ(bits(s.weights), bits(o.w));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.bias), std::bit_cast<std::uint32_t>(o.b))
        << s.bias << " want " << o.b;
}

class TrainingOracle
    : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, std::size_t, std::uint64_t>> {};

// No rows give all NaN, no columns train the bias alone. Fits of a few steps
// regroup the rows in their first pass for the later ones; a single step
// reads x alone.
TEST_P(TrainingOracle, OneWorkerMatchesBitForBit) {
    auto [isa, n, c, iters] = GetParam();
    FORCE_KERNELS(isa);
    Floats x = random_f32(n * c, static_cast<std::uint32_t>(n * 131 + c));
    Floats y = random_f32(n + 3, static_cast<std::uint32_t>(n + 7));  // surplus is ignored
    Pool pool(1);
    expect_fit_matches_oracle(x, y, n, c, 0.05f, iters, pool);
}

INSTANTIATE_TEST_SUITE_P(KernelsBySize, TrainingOracle,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(0, 1, 2, 3, 7, 9, 16, 17, 63, 130,
                                                              1001),
                                            ::testing::Values(0, 1, 3, 6, 8, 9, 15, 16, 17, 18, 40),
                                            ::testing::Values(1, 4)));

class TrainingByPool : public ::testing::TestWithParam<std::tuple<Isa, std::size_t, std::size_t>> {
};

// Small integers, 64 samples and a rate of 1/2 keep every sum of three steps
// exact (checked in exact rationals), so any split tree must give the
// oracle's bits, also where the later steps read rows that the first one
// regrouped under another tree.
TEST_P(TrainingByPool, ExactDataGivesTheSameBitsOnEveryPool) {
    auto [isa, workers, c] = GetParam();
    FORCE_KERNELS(isa);
    Floats x(64 * c), y(64);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = float(int(i * 7 % 5) - 2);
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = float(int(i * 5 % 7) - 3);
    Pool pool(workers);
    expect_fit_matches_oracle(x, y, 64, c, 0.5f, 3, pool);
}

INSTANTIATE_TEST_SUITE_P(KernelsByWorkers, TrainingByPool,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(0, 1, 3, 8, 9, 12, 16, 17)));

class TrainingByWorkers
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

// Inexact data: every pool gives the bits of its own worker count's tree, on
// every call, whether the fit is short enough for the calling thread alone
// (the leaf counts of the trees, 8 to 64, and round them) or is handed to the
// workers.
TEST_P(TrainingByWorkers, InexactDataGivesTheTreesBitsOnEveryCall) {
    auto [workers, n, c] = GetParam();
    Floats x = random_f32(n * c, static_cast<std::uint32_t>(n * 17 + c));
    Floats y = random_f32(n, static_cast<std::uint32_t>(n + 11));
    Pool pool(workers);
    for (int call = 0; call < 3; ++call) expect_fit_matches_oracle(x, y, n, c, 0.05f, 3, pool);
}

INSTANTIATE_TEST_SUITE_P(WorkersBySize, TrainingByWorkers,
                         ::testing::Combine(::testing::Values(2, 3, 4, 8),
                                            ::testing::Values(15, 16, 17, 33, 63, 64, 65, 129,
                                                              20011),
                                            ::testing::Values(3, 17)));

// NaNs in x, y or the rate: after the first step every parameter is NaN,
// so the payload each weight ends with shows the operand order of every
// step of the pass, of the tree's sums and of the update (where a gradient
// from NaN data meets a NaN rate), on every variant and pool. Short fits
// keep to the kernels' single-sample loops; from a few hundred rows on,
// leaves are long enough for the blocked ones at every width family (up to
// 8, to 16, beyond).
enum class NaNsIn { x, y, x_and_y, rate, x_and_rate };

class TrainingWithNaNs
    : public ::testing::TestWithParam<
          std::tuple<Isa, std::size_t, std::pair<std::size_t, std::size_t>, NaNsIn>> {};

TEST_P(TrainingWithNaNs, PayloadsFollowTheOperandOrder) {
    auto [isa, workers, shape, where] = GetParam();
    auto [n, c] = shape;
    FORCE_KERNELS(isa);
    auto seq = [](std::size_t count, std::uint32_t seed, bool nans) {
        FloatSeq v = random_floats(count, seed);
        if (nans) v = with_nans(std::move(v), seed + 1, 5);
        return Floats(v.begin(), v.end());
    };
    const Floats x =
        seq(n * c, static_cast<std::uint32_t>(n + c),
            where == NaNsIn::x || where == NaNsIn::x_and_y || where == NaNsIn::x_and_rate);
    const Floats y = seq(n, static_cast<std::uint32_t>(2 * n + 1),
                         where == NaNsIn::y || where == NaNsIn::x_and_y);
    const bool nan_rate = where == NaNsIn::rate || where == NaNsIn::x_and_rate;
    const float lr = nan_rate ? std::bit_cast<float>(0x7fe00033u) : 0.125f;
    Pool pool(workers);
    expect_fit_matches_oracle(x, y, n, c, lr, 2, pool);
}

INSTANTIATE_TEST_SUITE_P(
    KernelsWorkersShapes, TrainingWithNaNs,
    ::testing::Combine(::testing::ValuesIn(every_isa), ::testing::Values(1, 2, 3, 8),
                       ::testing::Values(std::pair<std::size_t, std::size_t>{1, 1},
                                         std::pair<std::size_t, std::size_t>{7, 3},
                                         std::pair<std::size_t, std::size_t>{9, 8},
                                         std::pair<std::size_t, std::size_t>{17, 9},
                                         std::pair<std::size_t, std::size_t>{100, 17},
                                         std::pair<std::size_t, std::size_t>{300, 4},
                                         std::pair<std::size_t, std::size_t>{61, 16},
                                         std::pair<std::size_t, std::size_t>{300, 9},
                                         std::pair<std::size_t, std::size_t>{600, 8},
                                         std::pair<std::size_t, std::size_t>{1200, 16},
                                         std::pair<std::size_t, std::size_t>{1100, 33}),
                       ::testing::Values(NaNsIn::x, NaNsIn::y, NaNsIn::x_and_y, NaNsIn::rate,
                                         NaNsIn::x_and_rate)));

class RegroupedRows : public ::testing::TestWithParam<std::tuple<Isa, std::size_t>> {};

// The passes of one fit cut the samples into different leaves: the first
// pass regroups rows leaf by leaf, and a later one reads whole blocks across
// the first one's leaf edges. Folding leaves in order into one accumulator
// equals one fold over them all.
TEST_P(RegroupedRows, LaterPassesReadWhatTheFirstStored) {
    auto [isa, c] = GetParam();
    FORCE_KERNELS(isa);
    const GradientFold fold = active_table().solver.gradient_fold;
    const std::size_t n = 61;
    Floats x = random_f32(n * c, static_cast<std::uint32_t>(c)), y = random_f32(n, 3),
           w = random_f32(c, 4);
    auto pass = [&](float* panels, bool ready, std::initializer_list<std::size_t> edges) {
        GradientInput in{x.data(), y.data(), w.data(), 0.25f, c, panels, ready};
        Floats acc(c + 1, 0.0f);
        std::size_t lo = 0;
        for (std::size_t hi : edges) {
            fold(in, lo, hi, acc.data());
            lo = hi;
        }
        return bits(acc);
    };
    const auto want = pass(nullptr, false, {n});
    FloatSeq panels((n + 7) / 8 * 8 * c);
    EXPECT_EQ(pass(panels.data(), false, {3, 21, 22, 35, n}), want);
    EXPECT_EQ(pass(panels.data(), true, {n}), want);
    EXPECT_EQ(pass(panels.data(), true, {1, 13, 40, n}), want);
}

INSTANTIATE_TEST_SUITE_P(KernelsByWidth, RegroupedRows,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 3, 8, 9, 12, 16)));

class PredictionOracle : public ::testing::TestWithParam<
                             std::tuple<Isa, std::size_t, std::size_t, std::size_t, bool>> {};

// With NaNs in the weights and in x, each prediction's payload shows the
// order of its steps: the sum before the term, the weight before the data.
TEST_P(PredictionOracle, SameBitsForEveryPool) {
    auto [isa, workers, rows, c, nans] = GetParam();
    FORCE_KERNELS(isa);
    FloatSeq w = random_floats(c + 2, 11);  // extra weights are ignored
    FloatSeq x = random_floats(rows * c, static_cast<std::uint32_t>(rows + 13 * c));
    if (nans) w = with_nans(std::move(w), 12, 3), x = with_nans(std::move(x), rows + c, 7);
    Solver s{w, -0.375f, 0.0f, 0};
    Floats want(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        float p = s.bias;
        for (std::size_t j = 0; j < c; ++j) p = rule::add(p, rule::mul(w[j], x[r * c + j]));
        want[r] = p;
    }
    Pool pool(workers);
    EXPECT_EQ(bits(predict(s, Matrix{x, rows, c}, pool)), bits(want));
}

INSTANTIATE_TEST_SUITE_P(KernelsWorkersBySize, PredictionOracle,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(1, 2, 3, 8),
                                            ::testing::Values(1, 2, 7, 8, 15, 16, 17, 33, 1000),
                                            ::testing::Values(1, 4, 6, 8, 9, 16, 17, 33),
                                            ::testing::Bool()));

// What random numbers cannot show: when both operands of a step are NaN,
// the first one's payload survives, so each kernel must keep the order of
// the definition: weight before data and the running sum before the term in
// a prediction, the prediction before the target in an error, the error
// before the data and the sum before the term in a gradient. Half the values
// are NaNs with payloads of their own; the rest are numbers that make no NaN.
class NaNPayloads : public ::testing::TestWithParam<std::tuple<Isa, std::size_t>> {};

float quiet_nan(std::uint32_t payload) { return std::bit_cast<float>(0x7fc00000u | payload); }

TEST_P(NaNPayloads, EveryStepKeepsTheFirstOperandsPayload) {
    auto [isa, c] = GetParam();
    FORCE_KERNELS(isa);
    const std::size_t n = 23;
    std::mt19937 gen(static_cast<std::uint32_t>(c * 7 + 1));
    std::uint32_t payload = 0;
    auto values = [&](std::size_t count) {
        Floats v = random_f32(count, gen());
        for (float& f : v)
            if (gen() % 2) f = quiet_nan(++payload);
        return v;
    };
    const Floats x = values(n * c), y = values(n), w = values(c), start = values(c + 1);
    const float bias = values(1)[0];
    Floats want_p(n), want_g = start;
    for (std::size_t i = 0; i < n; ++i) {
        float p = bias;
        for (std::size_t j = 0; j < c; ++j) p = rule::add(p, rule::mul(w[j], x[i * c + j]));
        want_p[i] = p;
        const float e = rule::sub(p, y[i]);
        for (std::size_t j = 0; j < c; ++j)
            want_g[j] = rule::add(want_g[j], rule::mul(e, x[i * c + j]));
        want_g[c] = rule::add(want_g[c], e);
    }
    const SolverKernels& ks = active_table().solver;
    Floats p(n);
    ks.predict_rows(x.data(), c, w.data(), bias, 0, n, p.data());
    EXPECT_EQ(bits(p), bits(want_p));
    Floats g = start;
    ks.gradient_fold(GradientInput{x.data(), y.data(), w.data(), bias, c}, 0, n, g.data());
    EXPECT_EQ(bits(g), bits(want_g));
}

INSTANTIATE_TEST_SUITE_P(KernelsByWidth, NaNPayloads,
                         ::testing::Combine(::testing::ValuesIn(every_isa),
                                            ::testing::Values(0, 1, 3, 4, 6, 8, 9, 16, 17, 18,
                                                              33)));

TEST(Failures, ExactMessagesAndTheStateLeftBehind) {
    Pool pool(1);
    Solver s{{}, 0.0f, 0.1f, 3};
    fit(s, matrix({1.0f, 2.0f}, 2, 1), FloatSeq{2.0f, 4.0f}, pool);
    // One worker's leaves over 10 samples: [0] [1] [2] [3,4] ...; a y of 4
    // first fails in [3,4] at index 4, not at the leaf's start.
    EXPECT_EQ(fault_message([&] {
                  fit(s, matrix(random_f32(20, 5), 10, 2), {1, 2, 3, 4}, pool);
              }),
              "index out of bounds: the len is 4 but the index is 4");
    EXPECT_EQ(bits(s.weights), bits(Floats{0.0f, 0.0f}));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s.bias), 0u);
    // 2^62 floats would wrap to 0 bytes; 2^64 - 1 would wrap c + 1 to 0.
    for (std::uint64_t c : {std::uint64_t{1} << 62, std::numeric_limits<std::uint64_t>::max()})
        EXPECT_EQ(fault_message([&] { fit(s, matrix({}, 0, c), {}, pool); }), "capacity overflow");
    // Records that skipped make_matrix are refused before anything is read.
    EXPECT_EQ(fault_message([&] {
                  fit(s, matrix({1, 2, 3}, 2, 2), {1, 2}, pool);
              }),
              "Data length does not match rows * cols");
    s.weights = FloatSeq{1.0f, 1.0f, 1.0f};
    EXPECT_EQ(fault_message([&] {
                  predict(s, Matrix{FloatSeq{1, 2, 3, 4}, 2, 3}, pool);
              }),
              "index out of bounds: the len is 1 but the index is 1");
}

}  // namespace
}  // namespace kestrix
