#pragma once
// Helpers the C++ suites share: failure messages, bit patterns, random
// floats with and without NaNs, the operand-order rule the oracles compute
// with, the process's thread count and the scoped kernel choice.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.h"
#include "base/float_seq.h"
#include "base/isa.h"

namespace kestrix {

// The message of the internal failure call() ends in; its report on stderr
// is swallowed.
inline std::string fault_message(auto&& call) {
    ::testing::internal::CaptureStderr();
    std::string message = "<no fault>";
    try {
        call();
    } catch (const Fault& f) {
        message = f.message();
    }
    ::testing::internal::GetCapturedStderr();
    return message;
}

inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// The bit patterns of a range of floats, for exact comparisons that show NaNs
// and signed zeros.
inline std::vector<std::uint32_t> bits(const auto& values) {
    std::vector<std::uint32_t> out;
    for (float x : values) out.push_back(bits(x));
    return out;
}

// n floats drawn evenly from [-2, 2).
inline FloatSeq random_floats(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    FloatSeq v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// v with about one element in `every` replaced by a quiet NaN of either sign
// and a payload of its own, so that NaNs meet NaNs in many steps and the
// payload that survives shows each step's operand order.
inline FloatSeq with_nans(FloatSeq v, std::uint32_t seed, std::uint32_t every = 4) {
    std::mt19937 gen(seed);
    for (float& x : v)
        if (gen() % every == 0)
            x = std::bit_cast<float>(static_cast<std::uint32_t>(
                (gen() & 0x80000000u) | 0x7fc00000u | (1 + gen() % 0x3ffffeu)));
    return v;
}

// The float32 arithmetic of the definitions with the operand-order rule
// (base/order.h) written out: where an operand is NaN the first NaN wins,
// quieted, on every processor; otherwise the operation rounded on its own
// (volatile: nothing fused or kept wider). A NaN an operation creates from
// numbers is the processor's own, in the oracle as in the kernels.
namespace rule {
inline float quiet(float x) { return std::bit_cast<float>(bits(x) | 0x00400000u); }
inline float first_nan(float a, float b, float r) {
    return a != a ? quiet(a) : b != b ? quiet(b) : r;
}
inline float add(float a, float b) {
    volatile float r = a + b;
    return first_nan(a, b, r);
}
inline float sub(float a, float b) {
    volatile float r = a - b;
    return first_nan(a, b, r);
}
inline float mul(float a, float b) {
    volatile float r = a * b;
    return first_nan(a, b, r);
}
inline float div(float a, float b) {
    volatile float r = a / b;
    return first_nan(a, b, r);
}
}  // namespace rule

// Threads of this process now.
inline std::size_t thread_count() {
    auto it = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

// Starts a thread, joins it and waits until the system no longer lists it, so
// that a thread count taken next is stable. A sanitizer starts its helper
// thread with the first thread; a join returns once the thread has cleared
// its id, and under user-mode emulation it stays listed a while after that.
inline void start_and_reap_a_thread() {
    long tid = 0;
    std::thread([&] { tid = ::syscall(SYS_gettid); }).join();
    const auto task = std::filesystem::path("/proc/self/task") / std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::filesystem::exists(task) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace kestrix

// Forces one kernel variant for the rest of the test, or skips it where the
// processor lacks it.
#define FORCE_KERNELS(isa)                                                 \
    if (!::kestrix::isa_supported(isa))                                    \
        GTEST_SKIP() << ::kestrix::isa_name(isa) << " not supported here"; \
    ::kestrix::IsaOverride forced_kernels(isa)
