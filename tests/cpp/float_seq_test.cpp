// FloatSeq's buffers: alignment, and the kept huge buffers.
#include "base/float_seq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

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

// A program alternating results of two sizes keeps both buffers: each size
// gets back its own on every round.
TEST(FloatSeqBuffers, AlternatingSizesKeepBothBuffers) {
    constexpr std::size_t small = std::size_t{1} << 20, large = std::size_t{16} << 20;
    const float* last_small = nullptr;
    const float* last_large = nullptr;
    for (int round = 0; round < 4; ++round) {
        FloatSeq s(small, 1.0f);
        FloatSeq l(large, 2.0f);
        if (round > 0) {
            EXPECT_EQ(s.data(), last_small) << round;
            EXPECT_EQ(l.data(), last_large) << round;
        }
        last_small = s.data();
        last_large = l.data();
    }
}

// Beyond the slots and beyond the total, the oldest buffers go; the newer
// ones stay, each for its own size.
TEST(FloatSeqBuffers, NewestBuffersStayWithinSlotsAndTotal) {
    constexpr std::size_t mib = std::size_t{1} << 18;                    // floats
    for (const auto& sizes : {std::vector<std::size_t>{2, 4, 6, 8, 10},  // five for four slots
                              std::vector<std::size_t>{64, 16, 4}}) {    // 84 MiB
        std::vector<const float*> at;
        {
            std::vector<FloatSeq> held;
            for (std::size_t s : sizes) held.emplace_back(s * mib, 1.0f);
            for (const FloatSeq& h : held) at.push_back(h.data());
        }  // freed in order: the first is the oldest and goes
        std::vector<FloatSeq> again;
        for (std::size_t i = sizes.size(); i-- > 1;) {
            again.emplace_back(sizes[i] * mib, 0.0f);
            EXPECT_EQ(again.back().data(), at[i]) << sizes[i] << " MiB";
            EXPECT_EQ(std::count(again.back().begin(), again.back().end(), 0.0f),
                      std::ptrdiff_t(sizes[i] * mib));
        }
    }
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
