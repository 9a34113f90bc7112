#pragma once
// The processor variants of the core's kernels and the one choice among them
// (each variant's kernels are one table: kernels/table.h). Each variant's kernel
// files are all compiled with one set of instruction flags (CMakeLists.txt);
// a variant is chosen only where the processor and the system run every one
// of them.
#include <cstdint>

namespace kestrix {

enum class Isa { baseline, avx2, avx512, neon };

// Every variant this build has, narrowest first. The baseline is SSE2 on
// x86-64 and portable code elsewhere.
#if defined(__x86_64__)
inline constexpr Isa every_isa[] = {Isa::baseline, Isa::avx2, Isa::avx512};
#elif defined(__aarch64__)
inline constexpr Isa every_isa[] = {Isa::baseline, Isa::neon};
#else
inline constexpr Isa every_isa[] = {Isa::baseline};
#endif

// The instruction subsets a kernel file can be compiled with.
enum CpuFeature : std::uint32_t {
    feature_avx2 = 1u << 0,
    feature_fma = 1u << 1,
    feature_avx512f = 1u << 2,
    feature_avx512vl = 1u << 3,
    feature_avx512dq = 1u << 4,
    feature_avx512bw = 1u << 5,
    feature_neon = 1u << 6,
};

// Exactly the subsets the variant's files are compiled with.
constexpr std::uint32_t required_features(Isa isa) noexcept {
    switch (isa) {
        case Isa::baseline: return 0;
        case Isa::avx2: return feature_avx2 | feature_fma;
        case Isa::avx512:
            return feature_avx2 | feature_fma | feature_avx512f | feature_avx512vl |
                   feature_avx512dq | feature_avx512bw;
        case Isa::neon: return feature_neon;
    }
    return ~0u;
}

// The subsets this translation unit is compiled with; each kernel file checks
// that they are what its variant requires, so flags and checks cannot drift.
#define KESTRIX_COMPILED_FEATURES                                        \
    ((KESTRIX_HAS_FEATURE_AVX2 ? ::kestrix::feature_avx2 : 0u) |         \
     (KESTRIX_HAS_FEATURE_FMA ? ::kestrix::feature_fma : 0u) |           \
     (KESTRIX_HAS_FEATURE_AVX512F ? ::kestrix::feature_avx512f : 0u) |   \
     (KESTRIX_HAS_FEATURE_AVX512VL ? ::kestrix::feature_avx512vl : 0u) | \
     (KESTRIX_HAS_FEATURE_AVX512DQ ? ::kestrix::feature_avx512dq : 0u) | \
     (KESTRIX_HAS_FEATURE_AVX512BW ? ::kestrix::feature_avx512bw : 0u) | \
     (KESTRIX_HAS_FEATURE_NEON ? ::kestrix::feature_neon : 0u))
#ifdef __AVX2__
#define KESTRIX_HAS_FEATURE_AVX2 1
#else
#define KESTRIX_HAS_FEATURE_AVX2 0
#endif
#ifdef __FMA__
#define KESTRIX_HAS_FEATURE_FMA 1
#else
#define KESTRIX_HAS_FEATURE_FMA 0
#endif
#ifdef __AVX512F__
#define KESTRIX_HAS_FEATURE_AVX512F 1
#else
#define KESTRIX_HAS_FEATURE_AVX512F 0
#endif
#ifdef __AVX512VL__
#define KESTRIX_HAS_FEATURE_AVX512VL 1
#else
#define KESTRIX_HAS_FEATURE_AVX512VL 0
#endif
#ifdef __AVX512DQ__
#define KESTRIX_HAS_FEATURE_AVX512DQ 1
#else
#define KESTRIX_HAS_FEATURE_AVX512DQ 0
#endif
#ifdef __AVX512BW__
#define KESTRIX_HAS_FEATURE_AVX512BW 1
#else
#define KESTRIX_HAS_FEATURE_AVX512BW 0
#endif
#ifdef __ARM_NEON
#define KESTRIX_HAS_FEATURE_NEON 1
#else
#define KESTRIX_HAS_FEATURE_NEON 0
#endif

const char* isa_name(Isa isa) noexcept;

// The subsets this processor and system run (the system must save the
// wider registers' state), asked once per process.
std::uint32_t cpu_features() noexcept;

// Whether a processor with these features runs every instruction of the variant.
constexpr bool runs_on(Isa isa, std::uint32_t features) noexcept {
    return (required_features(isa) & ~features) == 0;
}

// Whether this processor runs the variant.
bool isa_supported(Isa isa) noexcept;

// The variant every kernel of the core uses: the innermost override while one
// lives, else the widest this processor runs (chosen once).
Isa active_isa() noexcept;

// Forces one variant on every kernel of the core while it lives, for tests
// and benchmarks; fails with "unsupported kernel" where the processor lacks
// it. Overrides nest; they are made and ended on one thread, while no
// product, transpose or fit runs.
class IsaOverride {
public:
    explicit IsaOverride(Isa isa);
    ~IsaOverride();
    IsaOverride(const IsaOverride&) = delete;
    IsaOverride& operator=(const IsaOverride&) = delete;

private:
    int previous_;
};

}  // namespace kestrix
