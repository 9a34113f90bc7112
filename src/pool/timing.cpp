#include "pool/timing.h"

#include <algorithm>

#include "base/spin_pause.h"

namespace kestrix::detail {

const PauseCounts& pause_counts() noexcept {
    static const PauseCounts counts = [] {
        constexpr int runs = 5, pauses = 256;
        double best = 1e9;
        for (int r = 0; r < runs; ++r) {
            auto t0 = Clock::now();
            for (int i = 0; i < pauses; ++i) spin_pause();
            best = std::min(best, ns_since(t0) / pauses);
        }
        double ns = std::clamp(best, 5.0, 200.0);
        return PauseCounts{std::max(1u, static_cast<unsigned>(round_pause_ns / ns)),
                           static_cast<unsigned>(caller_pause_ns / ns),
                           static_cast<unsigned>(caller_slot_ns / ns),
                           std::max(1u, static_cast<unsigned>(caller_probe_ns / ns))};
    }();
    return counts;
}

}  // namespace kestrix::detail
