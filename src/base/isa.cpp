#include "base/isa.h"

#include <atomic>

#include "base/fault.h"

namespace kestrix {
namespace {

// -1: no override; otherwise the forced Isa.
std::atomic<int> forced{-1};

Isa widest_supported() noexcept {
    Isa widest = Isa::baseline;
    for (Isa isa : every_isa)
        if (isa_supported(isa)) widest = isa;
    return widest;
}

}  // namespace

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::baseline: return "baseline";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::neon: return "neon";
    }
    return "unknown";
}

std::uint32_t cpu_features() noexcept {
    // The run-time library's answers include the system's support: AVX and
    // AVX-512 count only where the system saves their registers.
    static const std::uint32_t features = [] {
        std::uint32_t f = 0;
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) f |= feature_avx2;
        if (__builtin_cpu_supports("fma")) f |= feature_fma;
        if (__builtin_cpu_supports("avx512f")) f |= feature_avx512f;
        if (__builtin_cpu_supports("avx512vl")) f |= feature_avx512vl;
        if (__builtin_cpu_supports("avx512dq")) f |= feature_avx512dq;
        if (__builtin_cpu_supports("avx512bw")) f |= feature_avx512bw;
#elif defined(__aarch64__)
        f |= feature_neon;  // Advanced SIMD is part of every aarch64 Linux processor
#endif
        return f;
    }();
    return features;
}

bool isa_supported(Isa isa) noexcept { return runs_on(isa, cpu_features()); }

Isa active_isa() noexcept {
    int f = forced.load(std::memory_order_relaxed);
    if (f >= 0) return static_cast<Isa>(f);
    static const Isa widest = widest_supported();
    return widest;
}

IsaOverride::IsaOverride(Isa isa) : previous_(forced.load(std::memory_order_relaxed)) {
    if (!isa_supported(isa)) fail("unsupported kernel");
    forced.store(static_cast<int>(isa), std::memory_order_relaxed);
}

IsaOverride::~IsaOverride() { forced.store(previous_, std::memory_order_relaxed); }

}  // namespace kestrix
