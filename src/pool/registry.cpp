#include "pool/registry.h"

#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "pool/fault.h"

namespace kestrix::detail {
namespace {

// Idle search: a round is one search of every queue followed by a short
// wait. The wait ends early when what the thread waits for has happened or
// a job is handed in from outside: both are single flags that cost nothing
// to read until they change, where reading the other workers' deques on
// every pause takes their lines from under their owners (128 x 128
// products then took 50 % longer). An empty loop of 100 items from outside
// ran 15 % faster than with the full wait, a 64 x 64 product 3-10 %.
// The first rounds only pause, so that a hand-off within microseconds
// finds the worker awake; later rounds yield, because on a machine with as
// many workers as cores a spinning thread would otherwise keep the thread
// that holds the work off its core. After that the worker sleeps.
constexpr unsigned pause_rounds = 32;
constexpr unsigned yield_rounds = 64;
constexpr double round_pause_ns = 400;

// The caller pauses for about 25 us, then yields for a while, then blocks.
// Yielding early measured worse for loops of a few microseconds: the caller's
// core goes to a worker only to be taken back when the caller is rescheduled.
// After a loop longer than the pause, the caller starts its next waits with
// the yields: a loop of that length wants every core, and 192 x 192 to
// 256 x 256 products ran 25-35 % faster on two workers when the caller did
// not hold one of them. It pauses first again after a loop shorter than half
// the pause. (With one bound for both, a loop near it flipped between the
// two ways: a 64-row loop of 29 us of work took a 35 us median on two
// workers, against 21 us with the two bounds.) A loop's length runs from the
// hand-in to the moment it was set done, not to the caller's return: a
// caller that gave its core away returns late, and counting that kept short
// loops in the yields, where 5 us of work took 18 us instead of 6.
constexpr double caller_pause_ns = 25'000;
constexpr double short_loop_ns = caller_pause_ns / 2;
constexpr unsigned caller_yields = 64;
constexpr unsigned pause_probe_every = 32;

// Callers whose loop has finished while they had given their core away
// (yielding). Idle workers yield instead of pausing while it is nonzero: the
// finished caller may be queued behind one of them on its core, and a worker
// in its pause phase would hold that core for up to pause_rounds rounds
// (12.8 us; 128 x 128 products then took 53 us, of which 35 computing).
alignas(64) std::atomic<unsigned> runnable_callers{0};

// A pause instruction lasts from under 20 ns to over 100 ns depending on the
// processor, so the spins above are set in time and converted to pause
// counts with the cost measured once per process (the best of a few runs,
// so that a preemption during one does not shorten every spin).
struct PauseCounts {
    unsigned per_round;
    unsigned caller;
};

const PauseCounts& pause_counts() noexcept {
    static const PauseCounts counts = [] {
        constexpr int runs = 5, pauses = 256;
        double best = 1e9;
        for (int r = 0; r < runs; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < pauses; ++i) _mm_pause();
            std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
            best = std::min(best, d.count() / pauses);
        }
        double ns = std::clamp(best, 5.0, 200.0);
        return PauseCounts{std::max(1u, static_cast<unsigned>(round_pause_ns / ns)),
                           static_cast<unsigned>(caller_pause_ns / ns)};
    }();
    return counts;
}

// Takes the injector's lock, which every holder keeps for a few
// instructions. A spinning worker sees a hand-in's count while the caller
// still holds the lock; blocking in lock() would put it to sleep in the
// kernel and make the caller's unlock a wake-up call, microseconds each.
void lock_injector(std::mutex& m) {
    for (int i = 0; i < 256; ++i) {
        if (m.try_lock()) return;
        _mm_pause();
    }
    m.lock();
}

std::uint64_t next_random(std::uint64_t& state) noexcept {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

// --- latches -----------------------------------------------------------------

void CallerLatch::set() noexcept {
    int state = state_.load(std::memory_order_acquire);
    while (state != sleeping_) {
        // Counted before the caller can see the latch set, so that its
        // decrement never comes first. Only a caller that gave its core away
        // needs the time: a spinning one reads the state's line all along,
        // and a second write to it would cost one more transfer between the
        // cores (0.2-0.3 us on every short loop).
        bool yielding = state == yielding_;
        if (yielding) {
            set_at_ = std::chrono::steady_clock::now();
            runnable_callers.fetch_add(1, std::memory_order_relaxed);
        }
        if (state_.compare_exchange_strong(state, set_, std::memory_order_acq_rel)) return;
        if (yielding) runnable_callers.fetch_sub(1, std::memory_order_relaxed);
    }
    // The caller is blocked (or about to block) under the mutex. Setting the
    // state under the mutex keeps the caller from returning, and so from
    // ending its thread, before we are done with the latch.
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        set_at_ = std::chrono::steady_clock::now();
        state_.store(set_, std::memory_order_release);
        cv_.notify_one();
    } catch (...) {
        abort_unexpected();
    }
}

void CallerLatch::wait() noexcept {
    const auto start = std::chrono::steady_clock::now();
    // A caller in the yields still starts a wait with the pause now and then:
    // yielding makes a loop slow enough to look long, so the yields could
    // otherwise keep themselves going.
    const bool pausing = !yield_first_ || ++yield_waits_ % pause_probe_every == 0;
    const unsigned pauses = pausing ? pause_counts().caller : 0;
    // `end`: when the loop was set done, as the caller saw it spinning or as
    // the setter stamped it.
    auto done = [&](std::chrono::steady_clock::time_point end) {
        state_.store(unset_, std::memory_order_relaxed);
        std::chrono::duration<double, std::nano> took = end - start;
        yield_first_ = took.count() > (pausing ? caller_pause_ns : short_loop_ns);
    };
    auto seen_now = [&] { done(std::chrono::steady_clock::now()); };
    for (unsigned i = 0; i < pauses; ++i) {
        if (state_.load(std::memory_order_acquire) == set_) return seen_now();
        _mm_pause();
    }
    int expected = unset_;
    if (!state_.compare_exchange_strong(expected, yielding_, std::memory_order_acq_rel))
        return seen_now();
    auto ran_again = [&] {
        runnable_callers.fetch_sub(1, std::memory_order_relaxed);
        done(set_at_);
    };
    for (unsigned i = 0; i < caller_yields; ++i) {
        sched_yield();
        if (state_.load(std::memory_order_acquire) == set_) return ran_again();
    }
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        expected = yielding_;
        if (!state_.compare_exchange_strong(expected, sleeping_, std::memory_order_acq_rel))
            return ran_again();
        while (state_.load(std::memory_order_acquire) != set_) cv_.wait(lock);
    } catch (...) {
        abort_unexpected();
    }
    done(set_at_);
}

CallerLatch& CallerLatch::for_this_thread() noexcept {
    thread_local CallerLatch latch;
    return latch;
}

// --- creation and shutdown ---------------------------------------------------

Registry::Registry(std::size_t workers)
    : count_(workers), workers_(std::make_unique<WorkerThread[]>(workers)) {
    for (std::size_t i = 0; i < workers; ++i) {
        workers_[i].registry = this;
        workers_[i].index = i;
        workers_[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
    }
}

Registry* Registry::create(std::size_t workers, ThreadStarter starter, int& error) {
    auto* registry = new Registry(workers);
    for (std::size_t k = 0; k < workers; ++k) {
        registry->refs_.fetch_add(1, std::memory_order_relaxed);
        int rc = starter(&Registry::worker_entry, &registry->workers_[k], worker_stack_size);
        if (rc != 0) {
            registry->refs_.fetch_sub(1, std::memory_order_relaxed);
            error = rc;
            registry->stop_started(k);
            registry->release();
            return nullptr;
        }
    }
    // The pool is used only once every worker runs its own code: a fork()
    // after that never catches a thread still being set up, whose half-taken
    // locks (a sanitizer's allocator, for one) the child would inherit.
    try {
        std::unique_lock<std::mutex> lock(registry->sleep_mutex_);
        registry->threads_cv_.wait(lock, [&] { return registry->entered_ == workers; });
    } catch (...) {
        abort_unexpected();
    }
    error = 0;
    return registry;
}

void* Registry::worker_entry(void* arg) {
    auto* self = static_cast<WorkerThread*>(arg);
    Registry* registry = self->registry;
    current_worker = self;
    try {
        {
            std::lock_guard<std::mutex> guard(registry->sleep_mutex_);
            ++registry->entered_;
            registry->threads_cv_.notify_all();
        }
        registry->main_loop(*self);
        std::lock_guard<std::mutex> guard(registry->sleep_mutex_);
        ++registry->exited_;
        registry->threads_cv_.notify_all();
    } catch (...) {
        abort_unexpected();
    }
    current_worker = nullptr;
    registry->release();
    return nullptr;
}

void Registry::stop_started(std::size_t started) noexcept {
    try {
        terminate_.store(true, std::memory_order_seq_cst);
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        sleep_cv_.notify_all();
        while (exited_ < started) threads_cv_.wait(lock);
    } catch (...) {
        abort_unexpected();
    }
}

void Registry::shut_down() noexcept {
    stop_started(count_);
    release();
}

void Registry::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

// --- work ----------------------------------------------------------------------

void Registry::inject(Job* job) noexcept {
    try {
        lock_injector(injector_mutex_);
        std::lock_guard<std::mutex> guard(injector_mutex_, std::adopt_lock);
        job->next = nullptr;
        if (injector_tail_ != nullptr)
            injector_tail_->next = job;
        else
            injector_head_ = job;
        injector_tail_ = job;
        injected_.fetch_add(1, std::memory_order_seq_cst);
    } catch (...) {
        abort_unexpected();
    }
    notify_new_work();
}

Job* Registry::pop_injected() noexcept {
    if (injected_.load(std::memory_order_seq_cst) == 0) return nullptr;
    try {
        lock_injector(injector_mutex_);
        std::lock_guard<std::mutex> guard(injector_mutex_, std::adopt_lock);
        Job* job = injector_head_;
        if (job == nullptr) return nullptr;
        injector_head_ = job->next;
        if (injector_head_ == nullptr) injector_tail_ = nullptr;
        injected_.fetch_sub(1, std::memory_order_relaxed);
        return job;
    } catch (...) {
        abort_unexpected();
    }
}

Job* Registry::find_work(WorkerThread& self, bool& taken_over) noexcept {
    if (Job* job = self.deque.pop()) {
        taken_over = false;
        return job;
    }
    taken_over = true;
    if (count_ > 1) {
        std::size_t victim = next_random(self.rng) % count_;
        for (std::size_t i = 0; i < count_; ++i, victim = victim + 1 == count_ ? 0 : victim + 1) {
            if (victim == self.index) continue;
            if (Job* job = workers_[victim].deque.steal()) return job;
        }
    }
    return pop_injected();
}

bool Registry::has_work() const noexcept {
    if (injected_.load(std::memory_order_seq_cst) != 0) return true;
    for (std::size_t i = 0; i < count_; ++i)
        if (!workers_[i].deque.empty()) return true;
    return false;
}

void Registry::notify_new_work() noexcept {
    // Read-modify-writes, not plain loads: they read the latest count, and a
    // searcher or sleeper that changes the count after us synchronises with
    // them, so it sees the work we posted. Either it finds the work or we
    // see it asleep.
    if (spinning_.fetch_add(0, std::memory_order_seq_cst) != 0) return;
    if (sleepers_.fetch_add(0, std::memory_order_seq_cst) == 0) return;
    wake_one();
}

void Registry::wake_one() noexcept {
    try {
        std::lock_guard<std::mutex> guard(sleep_mutex_);
        sleep_cv_.notify_one();
    } catch (...) {
        abort_unexpected();
    }
}

void Registry::wake_all() noexcept {
    try {
        std::lock_guard<std::mutex> guard(sleep_mutex_);
        sleep_cv_.notify_all();
    } catch (...) {
        abort_unexpected();
    }
}

void Registry::stop_spinning() noexcept {
    // The last searcher to leave makes sure no posted work is left without
    // anyone awake: a poster that saw it searching did not wake a sleeper.
    if (spinning_.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        sleepers_.load(std::memory_order_seq_cst) != 0 && has_work())
        wake_one();
}

void Registry::sleep(JoinLatch* latch) noexcept {
    try {
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        bool stay =
            latch != nullptr ? latch->begin_sleep() : !terminate_.load(std::memory_order_seq_cst);
        if (stay && !has_work()) sleep_cv_.wait(lock);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    } catch (...) {
        abort_unexpected();
    }
    if (latch != nullptr) latch->end_sleep();
}

template <class Done>
void Registry::search(WorkerThread& self, Done done, JoinLatch* latch) noexcept {
    unsigned rounds = 0;
    bool spinning = false;
    while (!done()) {
        bool taken_over = false;
        if (Job* job = find_work(self, taken_over)) {
            if (spinning) {
                stop_spinning();
                spinning = false;
            }
            job->execute(job, taken_over);
            rounds = 0;
            continue;
        }
        if (!spinning) {
            spinning_.fetch_add(1, std::memory_order_seq_cst);
            spinning = true;
        }
        auto caller_queued = [] { return runnable_callers.load(std::memory_order_relaxed) != 0; };
        if (rounds < pause_rounds && !caller_queued()) {
            for (unsigned i = pause_counts().per_round; i > 0; --i) {
                if (done() || injected_.load(std::memory_order_relaxed) != 0 || caller_queued())
                    break;
                _mm_pause();
            }
            ++rounds;
        } else if (rounds < pause_rounds + yield_rounds) {
            sched_yield();
            ++rounds;
        } else {
            // The sleep's own last look covers work posted from here on.
            spinning_.fetch_sub(1, std::memory_order_seq_cst);
            spinning = false;
            sleep(latch);
            rounds = 0;
        }
    }
    if (spinning) stop_spinning();
}

void Registry::wait_until(WorkerThread& self, JoinLatch& latch) noexcept {
    search(
        self, [&] { return latch.probe(); }, &latch);
}

void Registry::main_loop(WorkerThread& self) {
    search(
        self, [&] { return terminate_.load(std::memory_order_acquire); }, nullptr);
}

}  // namespace kestrix::detail
