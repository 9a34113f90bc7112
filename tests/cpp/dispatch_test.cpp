// The one choice of processor variant: which features each variant needs,
// which one is chosen, and the override every kernel follows.
#include "matrix/dispatch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "matrix/matmul_kernels.h"
#include "pool/fault.h"
#include "simd/signalling.h"
#include "solver/solver_kernels.h"
#include "support.h"

namespace kestrix {
namespace {

constexpr std::uint32_t every_feature[] = {feature_avx2,     feature_fma,      feature_avx512f,
                                           feature_avx512vl, feature_avx512dq, feature_avx512bw};

class IsaFeatures : public ::testing::TestWithParam<Isa> {};

// A processor lacking any one subset the variant's files are compiled with
// (AVX-512F without BW, say) must not get the variant.
TEST_P(IsaFeatures, EveryRequiredSubsetIsChecked) {
    const Isa isa = GetParam();
    std::uint32_t all = 0;
    for (std::uint32_t f : every_feature) all |= f;
    const std::uint32_t need = required_features(isa);
    EXPECT_TRUE(runs_on(isa, all));
    EXPECT_TRUE(runs_on(isa, need));
    for (std::uint32_t f : every_feature)
        EXPECT_EQ(runs_on(isa, all & ~f), (need & f) == 0) << isa_name(isa) << " without " << f;
}

// The transpose and the solver use narrower variants' blocks inside wider
// ones, so a wider variant needs everything a narrower one does.
TEST_P(IsaFeatures, WiderVariantsIncludeTheNarrowerOnes) {
    for (Isa narrower : every_isa) {
        if (narrower == GetParam()) break;
        const std::uint32_t n = required_features(narrower), w = required_features(GetParam());
        EXPECT_EQ(n & ~w, 0u) << isa_name(narrower);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, IsaFeatures, ::testing::ValuesIn(every_isa),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

TEST(Dispatch, ChoosesTheWidestSupportedVariant) {
    Isa widest = Isa::baseline;
    for (Isa isa : every_isa)
        if (runs_on(isa, cpu_features())) widest = isa;
    EXPECT_EQ(active_isa(), widest);
    EXPECT_TRUE(isa_supported(Isa::baseline));
}

// Product, transpose and solver all take the variant the override names,
// nested overrides end in reverse order, and an unsupported one is refused
// without changing the choice.
TEST(Dispatch, OneOverrideReachesEveryKernelAndNests) {
    const Isa automatic = active_isa();
    for (Isa outer : every_isa) {
        if (!isa_supported(outer)) {
            EXPECT_EQ(fault_message([&] { IsaOverride forced(outer); }), "unsupported kernel");
            EXPECT_EQ(active_isa(), automatic);
            continue;
        }
        IsaOverride forced(outer);
        EXPECT_EQ(active_isa(), outer);
        EXPECT_EQ(gemm::active_kernels().isa, outer);
        EXPECT_STREQ(solver_kernels().name, isa_name(outer));
        {
            IsaOverride inner(Isa::baseline);
            EXPECT_EQ(gemm::active_kernels().isa, Isa::baseline);
            EXPECT_STREQ(solver_kernels().name, "baseline");
        }
        EXPECT_EQ(active_isa(), outer);
    }
    EXPECT_EQ(active_isa(), automatic);
}

// Every signalling pattern between the two ends of its range, either sign, is
// found wherever it sits in a range of its neighbours (infinities, quiet NaNs,
// the largest finite value); quieting sets its quiet bit and touches nothing
// else.
class SignallingScan
    : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::size_t, std::size_t>> {};

TEST_P(SignallingScan, FindsAndQuietsOnlySignallingNaNs) {
    auto [pattern, n, at] = GetParam();
    const std::uint32_t neighbours[] = {0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffffffffu,
                                        0x7f7fffffu, 0x7fc00001u, 0x00000001u, 0x80000000u};
    FloatSeq data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = std::bit_cast<float>(neighbours[i % 8]);
    EXPECT_FALSE(simd::holds_signalling(data.data(), n));
    EXPECT_EQ(bits(simd::quieted_copy(data)), bits(data));
    if (at >= n) return;
    data[at] = std::bit_cast<float>(pattern);
    EXPECT_TRUE(simd::holds_signalling(data.data(), n));
    EXPECT_FALSE(simd::holds_signalling(data.data(), at));
    std::vector<std::uint32_t> want = bits(data);
    want[at] = pattern | simd::quiet_bit;
    EXPECT_EQ(bits(simd::quieted_copy(data)), want);
    EXPECT_EQ(bits(simd::quieted(data[at])), want[at]);
    EXPECT_EQ(bits(simd::second_operand(data[at])), simd::prefers_signalling ? want[at] : pattern);
    FloatSeq copy;
    const FloatSeq& second = simd::second_operand(data, copy);
    EXPECT_EQ(bits(second), simd::prefers_signalling ? want : bits(data));
    EXPECT_EQ(&second == &data, !simd::prefers_signalling);
}

INSTANTIATE_TEST_SUITE_P(PatternsSizesPlaces, SignallingScan,
                         ::testing::Combine(::testing::Values(0x7f800001u, 0x7fbfffffu, 0xff800001u,
                                                              0xffa00000u),
                                            ::testing::Values(1, 7, 1024, 1025, 4099),
                                            ::testing::Values(0, 6, 1023, 1024, 4098)));

}  // namespace
}  // namespace kestrix
