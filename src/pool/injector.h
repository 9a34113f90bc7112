#pragma once
// Jobs handed in from threads outside the pool: a FIFO linked through
// Job::next, with a count that workers read without the lock.
#include <atomic>
#include <cstddef>
#include <mutex>

#include "pool/job.h"

namespace kestrix::detail {

class Injector {
public:
    void push(Job* job) noexcept;
    // The oldest job, or null.
    Job* pop() noexcept;
    bool has_jobs(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return count_.load(order) != 0;
    }

private:
    std::mutex mutex_;
    Job* head_ = nullptr;
    Job* tail_ = nullptr;
    std::atomic<std::size_t> count_{0};
};

}  // namespace kestrix::detail
