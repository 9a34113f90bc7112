#pragma once
// The scheduler behind Pool: one deque per worker, an injector queue for jobs
// handed in from other threads, and the idle protocol (search, spin, sleep).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "pool/deque.h"
#include "pool/job.h"
#include "pool/thread_start.h"

namespace kestrix::detail {

class Registry;

// Deep enough for the split trees of several nested loops; a full deque only
// means the owner runs the half itself.
inline constexpr std::size_t deque_capacity = 256;

struct alignas(64) WorkerThread {
    WorkDeque<Job, deque_capacity> deque;
    Registry* registry = nullptr;
    std::size_t index = 0;
    std::uint64_t rng = 0;  // victim choice
};

// The worker running on this thread, or null on any other thread.
inline thread_local WorkerThread* current_worker = nullptr;

// Completion of a join's second half, waited for by the worker that split.
class JoinLatch {
public:
    bool probe() const noexcept { return state_.load(std::memory_order_acquire) == set_; }
    // Must be the setter's last touch of the job that holds the latch.
    inline void set(Registry& registry) noexcept;
    // Waiter: announce sleeping; false when the latch is already set.
    bool begin_sleep() noexcept {
        int expected = unset_;
        return state_.compare_exchange_strong(expected, sleeping_, std::memory_order_acq_rel);
    }
    void end_sleep() noexcept {
        int expected = sleeping_;
        state_.compare_exchange_strong(expected, unset_, std::memory_order_acq_rel);
    }

private:
    static constexpr int unset_ = 0, set_ = 1, sleeping_ = 2;
    std::atomic<int> state_{unset_};
};

// Completion signal of a thread outside the pool that handed a job in: its
// own mutex and condition variable, made on its first hand-in and reused.
class CallerLatch {
public:
    void set() noexcept;
    // Spins briefly (unless the last loops outlasted the spin), yields for a
    // while, then blocks until set; leaves the latch ready for reuse.
    void wait() noexcept;
    static CallerLatch& for_this_thread() noexcept;

private:
    static constexpr int unset_ = 0, set_ = 1, sleeping_ = 2, yielding_ = 3;
    std::atomic<int> state_{unset_};
    // When the loop ended, for a caller that was not spinning: written by the
    // setter before state_ turns set_.
    std::chrono::steady_clock::time_point set_at_{};
    bool yield_first_ = false;  // only the waiting thread touches these two
    unsigned yield_waits_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

class Registry {
public:
    // Starts `workers` threads through `starter`. Returns null and the system
    // error when one cannot start; the threads already started are stopped.
    static Registry* create(std::size_t workers, ThreadStarter starter, int& error);

    std::size_t size() const noexcept { return count_; }

    // Queues a job from a thread outside the pool and wakes a worker.
    void inject(Job* job) noexcept;
    // Called after pushing onto a deque: wakes a sleeper unless someone is searching.
    void notify_new_work() noexcept;
    // Runs other work on `self` until `latch` is set.
    void wait_until(WorkerThread& self, JoinLatch& latch) noexcept;
    void wake_all() noexcept;

    // Stops the workers, waits until they have left their loops and drops
    // the creator's reference.
    void shut_down() noexcept;

private:
    explicit Registry(std::size_t workers);
    static void* worker_entry(void* arg);
    void main_loop(WorkerThread& self);
    void release() noexcept;
    void stop_started(std::size_t started) noexcept;

    Job* find_work(WorkerThread& self, bool& taken_over) noexcept;
    Job* pop_injected() noexcept;
    bool has_work() const noexcept;
    template <class Done>
    void search(WorkerThread& self, Done done, JoinLatch* latch) noexcept;
    void stop_spinning() noexcept;
    void sleep(JoinLatch* latch) noexcept;
    void wake_one() noexcept;

    const std::size_t count_;
    std::unique_ptr<WorkerThread[]> workers_;
    std::atomic<std::size_t> refs_{1};

    // Injector: a FIFO of jobs from outside, linked through Job::next.
    std::mutex injector_mutex_;
    Job* injector_head_ = nullptr;
    Job* injector_tail_ = nullptr;
    std::atomic<std::size_t> injected_{0};

    alignas(64) std::atomic<std::size_t> spinning_{0};
    alignas(64) std::atomic<std::size_t> sleepers_{0};
    std::mutex sleep_mutex_;
    std::condition_variable sleep_cv_;
    std::atomic<bool> terminate_{false};
    std::size_t entered_ = 0, exited_ = 0;  // workers in and out of their loops; sleep_mutex_
    std::condition_variable threads_cv_;    // signalled when either count changes
};

inline void JoinLatch::set(Registry& registry) noexcept {
    if (state_.exchange(set_, std::memory_order_acq_rel) == sleeping_) registry.wake_all();
}

}  // namespace kestrix::detail
