#pragma once
// A thread starter whose workers wait at a gate before they reach the
// pool's code, for tests of what a pool does before its workers run.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "pool/thread_start.h"

namespace kestrix::test_support {

inline std::atomic<bool> gate_open{false};
inline std::atomic<int> past_gate{0};

struct GatedStart {
    void* (*entry)(void*);
    void* arg;
};

inline void* gated_entry(void* p) {
    GatedStart start = *static_cast<GatedStart*>(p);
    delete static_cast<GatedStart*>(p);
    while (!gate_open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    past_gate.fetch_add(1);
    return start.entry(start.arg);
}

inline int gated_start(void* (*entry)(void*), void* arg, std::size_t stack) {
    return start_detached_thread(&gated_entry, new GatedStart{entry, arg}, stack);
}

}  // namespace kestrix::test_support
