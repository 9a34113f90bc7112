#pragma once
// How worker threads are started. The starter is replaceable so that tests
// can make a start fail.
#include <cstddef>

namespace kestrix {

// Starts entry(arg) on a new detached thread; 0, or the system error number.
using ThreadStarter = int (*)(void* (*entry)(void*), void* arg, std::size_t stack_size);

// Workers get the same stack as a process's main thread usually has, so
// kernels need not care which thread runs them.
inline constexpr std::size_t worker_stack_size = std::size_t{8} << 20;

int start_detached_thread(void* (*entry)(void*), void* arg, std::size_t stack_size);

// Replaces the starter used by pools created from now on; returns the old one.
ThreadStarter set_thread_starter(ThreadStarter starter) noexcept;
ThreadStarter thread_starter() noexcept;

}  // namespace kestrix
