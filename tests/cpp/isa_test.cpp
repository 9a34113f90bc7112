// The one choice of processor variant: which features each variant needs,
// which one is chosen, and the override every kernel follows.
#include "base/isa.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/fault.h"
#include "kernels/product.h"
#include "kernels/solver.h"
#include "kernels/table.h"
#include "support.h"

namespace kestrix {
namespace {

constexpr std::uint32_t every_feature[] = {feature_avx2,     feature_fma,      feature_avx512f,
                                           feature_avx512vl, feature_avx512dq, feature_avx512bw,
                                           feature_neon};

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
        EXPECT_EQ(active_table().isa, outer);
        EXPECT_STREQ(active_table().solver.name, isa_name(outer));
        {
            IsaOverride inner(Isa::baseline);
            EXPECT_EQ(active_table().isa, Isa::baseline);
            EXPECT_STREQ(active_table().solver.name, "baseline");
        }
        EXPECT_EQ(active_isa(), outer);
    }
    EXPECT_EQ(active_isa(), automatic);
}

}  // namespace
}  // namespace kestrix
