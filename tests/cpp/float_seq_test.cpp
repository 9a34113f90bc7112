// FloatSeq's buffers: alignment, and the kept huge buffer.
#include "base/float_seq.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kestrix {
namespace {

// The last freed huge buffer is kept for the next allocation of its size,
// and only of its size; asked for zeros, the reused buffer holds zeros.
TEST(FloatSeqBuffers, AKeptBufferServesOnlyItsOwnSize) {
    constexpr std::size_t small = std::size_t{3} << 20, large = small + (std::size_t{1} << 20);
    const float* kept_small = FloatSeq(small, 1.0f).data();
    FloatSeq bigger(large, 2.0f);
    EXPECT_NE(bigger.data(), kept_small);
    const float* kept_large = bigger.data();
    bigger = FloatSeq();
    FloatSeq zeros(large, 0.0f);
    EXPECT_EQ(zeros.data(), kept_large);
    EXPECT_EQ(std::count(zeros.begin(), zeros.end(), 0.0f), std::ptrdiff_t(large));
}

// Every buffer starts on a cache line (huge ones on a 2 MiB page), also when
// malloc's own alignment is less; sizes that are not whole lines included.
TEST(FloatSeqBuffers, StartOnACacheLine) {
    for (std::size_t n : {1u, 3u, 17u, 1000u, 65536u, 1u << 19}) {
        std::vector<FloatSeq> held;  // held, so that no two share an address by reuse
        for (int i = 0; i < 8; ++i) {
            held.emplace_back(n, 1.0f);
            auto addr = reinterpret_cast<std::uintptr_t>(held.back().data());
            EXPECT_EQ(addr % (n < (1u << 19) ? 64 : std::size_t{2} << 20), 0u) << n;
        }
    }
}

}  // namespace
}  // namespace kestrix
