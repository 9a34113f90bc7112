// The spin slots on their own: how many threads hold one, taking over an idle
// worker's slot, the pausing callers' count, the peak, and many threads
// taking and giving back at once.
#include "pool/spin_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kestrix::detail {
namespace {

using Kind = SpinSlots::Kind;

enum class Op { take, give, taken_over };

// One call and what the slots hold after it.
struct Step {
    Op op;
    Kind kind;
    bool want;  // what take or taken_over returns (give: unused)
    std::size_t held, pausing;
};

struct Script {
    std::string name;
    std::size_t limit;
    std::vector<Step> steps;
    std::size_t peak;
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

class Scripts : public ::testing::TestWithParam<Script> {};

TEST_P(Scripts, EachStepLeavesTheCountsWorkedOutByHand) {
    const Script& script = GetParam();
    SpinSlots slots(script.limit);
    for (std::size_t i = 0; i < script.steps.size(); ++i) {
        const Step& s = script.steps[i];
        switch (s.op) {
            case Op::take: EXPECT_EQ(slots.try_take(s.kind), s.want) << "step " << i; break;
            case Op::give: slots.give_back(s.kind); break;
            case Op::taken_over: EXPECT_EQ(slots.taken_over(), s.want) << "step " << i; break;
        }
        EXPECT_EQ(slots.held(), s.held) << "step " << i;
        EXPECT_EQ(slots.pausing(), s.pausing) << "step " << i;
    }
    EXPECT_EQ(slots.peak(), script.peak);
}

constexpr Op take = Op::take, give = Op::give, noticed = Op::taken_over;
constexpr Kind idle = Kind::idle, waiting = Kind::waiting, caller = Kind::pausing_caller;

INSTANTIATE_TEST_SUITE_P(
    ByHand, Scripts,
    ::testing::Values(
        // Full with idle workers: a waiting thread takes one of their slots,
        // the idle worker that notices first loses it, and only once.
        Script{"waiting_takes_over_an_idle_slot",
               2,
               {{take, idle, true, 1, 0},
                {take, idle, true, 2, 0},
                {take, idle, false, 2, 0},
                {take, waiting, true, 2, 0},
                {noticed, idle, true, 2, 0},
                {noticed, idle, false, 2, 0},
                {give, waiting, false, 1, 0},
                {give, idle, false, 0, 0}},
               2},
        // A pausing caller takes over an idle slot too, and counts as pausing.
        Script{"a_pausing_caller_takes_over_and_is_counted",
               1,
               {{take, idle, true, 1, 0},
                {take, caller, true, 1, 1},
                {take, waiting, false, 1, 1},
                {give, idle, false, 1, 1},  // the loser leaves without noticing
                {give, caller, false, 0, 0},
                {take, idle, true, 1, 0}},
               1},
        // Nothing idle to take over: waiting and pausing threads are refused.
        Script{"no_idle_slot_no_take_over",
               2,
               {{take, waiting, true, 1, 0},
                {take, caller, true, 2, 1},
                {take, waiting, false, 2, 1},
                {take, caller, false, 2, 1},
                {take, idle, false, 2, 1},
                {noticed, idle, false, 2, 1},
                {give, waiting, false, 1, 1},
                {take, idle, true, 2, 1}},
               2},
        // A limit of zero still lets one thread spin.
        Script{"zero_means_one", 0, {{take, idle, true, 1, 0}, {take, idle, false, 1, 0}}, 1}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

TEST(SpinSlotsLimit, IsClampedToWhatTheWordCounts) {
    EXPECT_EQ(SpinSlots(0).limit(), 1u);
    EXPECT_EQ(SpinSlots(3).limit(), 3u);
    EXPECT_EQ(SpinSlots(SpinSlots::max_limit + 1).limit(), SpinSlots::max_limit);
}

// Threads of every kind take and give back at once, idle ones losing their
// slots on the way: no more than the limit is ever held, and at the end
// every count is back at zero.
TEST(SpinSlotsConcurrency, CountsStayWithinTheLimitAndReturnToZero) {
    for (std::size_t limit : {1u, 2u, 3u}) {
        SpinSlots slots(limit);
        std::atomic<int> over{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([&, t] {
                const Kind kind = t % 3 == 0 ? idle : t % 3 == 1 ? waiting : caller;
                for (int r = 0; r < 3000; ++r) {
                    if (!slots.try_take(kind)) continue;
                    over += slots.held() > limit;
                    if (kind == idle && slots.taken_over()) continue;  // lost: nothing to give
                    slots.give_back(kind);
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(over.load(), 0);
        EXPECT_EQ(slots.held(), 0u);
        EXPECT_EQ(slots.pausing(), 0u);
        EXPECT_LE(slots.peak(), limit);
        EXPECT_GE(slots.peak(), 1u);
    }
}

}  // namespace
}  // namespace kestrix::detail
