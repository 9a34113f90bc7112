#pragma once
// The scheduler behind Pool: one deque per worker, the injector for jobs
// handed in from other threads, the workers' states, the spin slots, and the
// search that idle and waiting workers run (search, spin, sleep).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/cache_line.h"
#include "pool/caller_latch.h"
#include "pool/deque.h"
#include "pool/injector.h"
#include "pool/job.h"
#include "pool/spin_slots.h"
#include "pool/thread_start.h"
#include "pool/worker_states.h"

namespace kestrix::detail {

class Scheduler;

// Deep enough for the split trees of several nested loops; a full deque only
// means the owner runs the half itself.
inline constexpr std::size_t deque_capacity = 256;

struct alignas(sharing_span) WorkerThread {
    WorkDeque<Job, deque_capacity> deque;
    Scheduler* scheduler = nullptr;
    std::size_t index = 0;
    std::uint64_t rng = 0;     // victim choice
    unsigned held_pushes = 0;  // when to look at the clock again (holding_wakes)
    // Its own wake-up, so that waking one sleeper never wakes the others.
    // Both guarded by the scheduler's sleep_mutex_.
    std::condition_variable wake_cv;
    bool woken = false;
};

// The worker running on this thread, or null on any other thread.
inline thread_local WorkerThread* current_worker = nullptr;

// Completion of a join's second half, waited for by the worker that split.
class JoinLatch {
public:
    // `owner`: the worker that split and waits; the only one the setter wakes.
    explicit JoinLatch(WorkerThread& owner) noexcept : owner_(&owner) {}
    bool probe() const noexcept { return state_.load(std::memory_order_acquire) == set_; }
    // Must be the setter's last touch of the job that holds the latch.
    inline void set(Scheduler& scheduler) noexcept;
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
    WorkerThread* owner_;
    std::atomic<int> state_{unset_};
};

class Scheduler {
public:
    // Starts `workers` threads through `starter`, of which at most
    // `spin_limit` (at least 1) spin at a time, callers in their wait
    // included. Returns once the threads exist, before they have run. Returns
    // null and the system error when the system's limits leave no room for
    // them (starting none), or when one cannot start; the threads already
    // started are stopped.
    static Scheduler* create(std::size_t workers, std::size_t spin_limit, ThreadStarter starter,
                             int& error);

    std::size_t size() const noexcept { return count_; }
    std::size_t spin_limit() const noexcept { return slots_.limit(); }
    // The most threads that were ever spinning at once.
    std::size_t spin_peak() const noexcept { return slots_.peak(); }
    SpinSlots& spin_slots() noexcept { return slots_; }

    // Returns once every worker has entered its loop.
    void wait_until_started() noexcept;

    // Queues a job from a thread outside the pool and wakes a worker.
    void inject(Job* job) noexcept;
    // Called by `self` after pushing onto its deque: wakes a sleeper unless
    // someone is searching, every core has a thread already (a worker awake,
    // a caller pausing), or a worker slept for want of a core a moment ago.
    void notify_new_work(WorkerThread& self) noexcept;
    // Runs other work on `self` until `latch` is set.
    void wait_until(WorkerThread& self, JoinLatch& latch) noexcept;
    // Wakes `worker` if it sleeps.
    void wake_worker(WorkerThread& worker) noexcept;

    // Stops the workers, waits until they have left their loops and drops
    // the creator's reference.
    void shut_down() noexcept;

private:
    // The two reasons a worker searches: it has nothing to do, until the
    // pool stops; or it waits for the half of its own that another took.
    class IdleSearch;
    class LatchSearch;

    Scheduler(std::size_t workers, std::size_t spin_limit);
    static void* worker_entry(void* arg);
    void main_loop(WorkerThread& self);
    void release() noexcept;
    void stop_started(std::size_t started) noexcept;

    Job* find_work(WorkerThread& self, bool& taken_over) noexcept;
    bool has_pushed_work() const noexcept;
    // As many threads awake or pausing as the spin limit.
    bool cores_taken() const noexcept;
    // More workers awake than the spin limit.
    bool crowded_by_workers() const noexcept;
    // Whether pushed halves leave the sleepers be: an idle worker went to
    // sleep for want of a core within crowd_hold_ns.
    bool holding_wakes(WorkerThread& self) noexcept;
    bool hold_expired() noexcept;  // and ends it
    void note_crowded() noexcept;
    template <class Search>
    void search(WorkerThread& self, Search& why) noexcept;
    void stop_searching() noexcept;
    // Until woken, or at most crowd_hold_ns `for_a_while`.
    template <class Search>
    void sleep(WorkerThread& self, Search& why, bool for_a_while) noexcept;
    void wake_one() noexcept;

    const std::size_t count_;
    std::unique_ptr<WorkerThread[]> workers_;
    WorkerStates states_;
    std::atomic<std::size_t> refs_{1};
    Injector injector_;

    alignas(sharing_span) std::atomic<std::size_t> searching_{0};
    SpinSlots slots_;
    std::mutex sleep_mutex_;
    std::atomic<bool> terminate_{false};
    // Read by every push that finds a core free, written when a worker
    // sleeps for want of one.
    alignas(sharing_span) std::atomic<bool> hold_wakes_{false};
    std::atomic<std::int64_t> hold_until_ns_{0};  // steady clock
    std::size_t entered_ = 0, exited_ = 0;        // workers in and out of their loops; sleep_mutex_
    std::condition_variable threads_cv_;          // signalled when either count changes
};

inline void JoinLatch::set(Scheduler& scheduler) noexcept {
    WorkerThread* owner = owner_;  // the job may be gone once the state is set
    if (state_.exchange(set_, std::memory_order_acq_rel) == sleeping_)
        scheduler.wake_worker(*owner);
}

}  // namespace kestrix::detail
