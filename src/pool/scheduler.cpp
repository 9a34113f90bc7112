#include "pool/scheduler.h"

#include <sched.h>

#include <algorithm>

#include "base/spin_pause.h"
#include "pool/locking.h"
#include "pool/start_limits.h"
#include "pool/timing.h"

namespace kestrix::detail {
namespace {

std::uint64_t next_random(std::uint64_t& state) noexcept {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

// --- the two kinds of search ---------------------------------------------------

// A worker with nothing to do: searches until the pool stops, and may
// sleep until woken.
class Scheduler::IdleSearch {
public:
    static constexpr bool idle = true;
    static constexpr SpinSlots::Kind slot = SpinSlots::Kind::idle;
    explicit IdleSearch(const Scheduler& scheduler) noexcept : scheduler_(scheduler) {}
    bool done() const noexcept { return scheduler_.terminate_.load(std::memory_order_acquire); }
    // Whether to go to sleep at all.
    bool begin_sleep() noexcept { return !scheduler_.terminate_.load(std::memory_order_seq_cst); }
    void end_sleep() noexcept {}

private:
    const Scheduler& scheduler_;
};

// A worker whose stolen half runs elsewhere: searches until the half is
// done; asleep, the thread that finishes the half wakes it.
class Scheduler::LatchSearch {
public:
    static constexpr bool idle = false;
    static constexpr SpinSlots::Kind slot = SpinSlots::Kind::waiting;
    explicit LatchSearch(JoinLatch& latch) noexcept : latch_(latch) {}
    bool done() const noexcept { return latch_.probe(); }
    bool begin_sleep() noexcept { return latch_.begin_sleep(); }
    void end_sleep() noexcept { latch_.end_sleep(); }

private:
    JoinLatch& latch_;
};

// --- creation and shutdown ---------------------------------------------------

Scheduler::Scheduler(std::size_t workers, std::size_t spin_limit)
    : count_(workers),
      workers_(std::make_unique<WorkerThread[]>(workers)),
      states_(workers),
      slots_(spin_limit) {
    for (std::size_t i = 0; i < workers; ++i) {
        workers_[i].scheduler = this;
        workers_[i].index = i;
        workers_[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
    }
}

// Ready as soon as the threads exist: waiting here for every worker to run
// cost time in proportion to the workers times the threads spinning. A
// worker that has not run yet has no work of its own and takes its first
// job when it runs.
Scheduler* Scheduler::create(std::size_t workers, std::size_t spin_limit, ThreadStarter starter,
                             int& error) {
    // A count the system cannot start ends here, before its first thread:
    // a start that ran into the limit part way would hold the machine's last
    // free ids while it lasted, and fail all the same.
    if (int refused = start_refusal(workers); refused != 0) {
        error = refused;
        return nullptr;
    }
    auto* scheduler = new Scheduler(workers, spin_limit);
    for (std::size_t k = 0; k < workers; ++k) {
        scheduler->refs_.fetch_add(1, std::memory_order_relaxed);
        int rc = starter(&Scheduler::worker_entry, &scheduler->workers_[k], worker_stack_size);
        if (rc != 0) {
            scheduler->refs_.fetch_sub(1, std::memory_order_relaxed);
            error = rc;
            scheduler->stop_started(k);
            scheduler->release();
            return nullptr;
        }
    }
    error = 0;
    return scheduler;
}

void Scheduler::wait_until_started() noexcept {
    locked(sleep_mutex_,
           [&](auto& lock) { threads_cv_.wait(lock, [&] { return entered_ == count_; }); });
}

void* Scheduler::worker_entry(void* arg) {
    auto* self = static_cast<WorkerThread*>(arg);
    Scheduler* scheduler = self->scheduler;
    current_worker = self;
    locked(scheduler->sleep_mutex_, [&](auto&) {
        ++scheduler->entered_;
        scheduler->states_.enter(self->index);
        scheduler->threads_cv_.notify_all();
    });
    or_abort([&] { scheduler->main_loop(*self); });
    locked(scheduler->sleep_mutex_, [&](auto&) {
        scheduler->states_.leave(self->index);
        ++scheduler->exited_;
        scheduler->threads_cv_.notify_all();
    });
    current_worker = nullptr;
    scheduler->release();
    return nullptr;
}

void Scheduler::stop_started(std::size_t started) noexcept {
    terminate_.store(true, std::memory_order_seq_cst);
    locked(sleep_mutex_, [&](auto& lock) {
        std::size_t awake = states_.awake(), asleep = states_.asleep();
        for (std::size_t i = awake; i < awake + asleep; ++i) {
            WorkerThread& w = workers_[states_.at(i)];
            w.woken = true;
            w.wake_cv.notify_one();
        }
        while (exited_ < started) threads_cv_.wait(lock);
    });
}

void Scheduler::shut_down() noexcept {
    stop_started(count_);
    release();
}

void Scheduler::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

// --- work ----------------------------------------------------------------------

bool Scheduler::cores_taken() const noexcept {
    return states_.awake() + slots_.pausing() >= slots_.limit();
}

bool Scheduler::crowded_by_workers() const noexcept { return states_.awake() > slots_.limit(); }

namespace {
std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool Scheduler::holding_wakes(WorkerThread& self) noexcept {
    if (!hold_wakes_.load(std::memory_order_relaxed)) return false;
    // A loop pushes a half every microsecond or so; the clock costs a good
    // part of that, so it is read only now and then.
    return ++self.held_pushes % hold_check_pushes != 0 || !hold_expired();
}

void Scheduler::note_crowded() noexcept {
    hold_until_ns_.store(now_ns() + static_cast<std::int64_t>(crowd_hold_ns),
                         std::memory_order_relaxed);
    if (!hold_wakes_.load(std::memory_order_relaxed))
        hold_wakes_.store(true, std::memory_order_relaxed);
}

bool Scheduler::hold_expired() noexcept {
    if (now_ns() < hold_until_ns_.load(std::memory_order_relaxed)) return false;
    hold_wakes_.store(false, std::memory_order_relaxed);
    return true;
}

void Scheduler::inject(Job* job) noexcept {
    // Once a loop is the time to look at the clock.
    if (hold_wakes_.load(std::memory_order_relaxed)) hold_expired();
    injector_.push(job);
    // A handed-in job always gets a worker: unlike a pushed half, no one
    // else would run it. See notify_new_work for the two counts.
    if (searching_.fetch_add(0, std::memory_order_seq_cst) != 0) return;
    if (states_.asleep_latest() == 0) return;
    wake_one();
}

Job* Scheduler::find_work(WorkerThread& self, bool& taken_over) noexcept {
    if (Job* job = self.deque.pop()) {
        taken_over = false;
        return job;
    }
    taken_over = true;
    std::size_t awake = std::min(states_.awake(std::memory_order_acquire), count_);
    if (awake > 1) {
        std::size_t at = next_random(self.rng) % awake;
        for (std::size_t i = 0; i < awake; ++i, at = at + 1 == awake ? 0 : at + 1) {
            std::size_t victim = states_.at(at);
            if (victim == self.index) continue;
            if (Job* job = workers_[victim].deque.steal()) return job;
        }
    }
    return injector_.pop();
}

bool Scheduler::has_pushed_work() const noexcept {
    std::size_t awake = std::min(states_.awake(std::memory_order_acquire), count_);
    for (std::size_t i = 0; i < awake; ++i)
        if (!workers_[states_.at(i)].deque.empty()) return true;
    return false;
}

void Scheduler::notify_new_work(WorkerThread& self) noexcept {
    // Every core has a thread already, a worker awake or a caller pausing:
    // one more awake would take a core from them, and they get to the half
    // as soon as they are done. (A loop short enough for the caller to pause
    // ran on one worker anyway, while the other waited for a core.) The half
    // is never lost: the worker that pushed it runs it if no one takes it.
    // Plain loads, and first: they decide most calls, and the contended lines
    // of the read-modify-writes below cost more than the rest of a join.
    if (cores_taken()) return;
    if (holding_wakes(self)) return;
    // Read-modify-writes, not plain loads: they read the latest count, and a
    // searcher or sleeper that changes the count after us synchronises with
    // them, so it sees the work we posted. Either it finds the work or we
    // see it asleep.
    if (searching_.fetch_add(0, std::memory_order_seq_cst) != 0) return;
    if (states_.asleep_latest() == 0) return;
    wake_one();
}

void Scheduler::wake_one() noexcept {
    locked(sleep_mutex_, [&](auto&) {
        if (states_.asleep() == 0) return;
        // The worker that fell asleep last: its stack and lines are the warmest.
        WorkerThread& w = workers_[states_.last_asleep()];
        w.woken = true;
        states_.wake(w.index);
        w.wake_cv.notify_one();
    });
}

void Scheduler::wake_worker(WorkerThread& worker) noexcept {
    locked(sleep_mutex_, [&](auto&) {
        worker.woken = true;
        if (states_.is_asleep(worker.index)) states_.wake(worker.index);
        worker.wake_cv.notify_one();
    });
}

void Scheduler::stop_searching() noexcept {
    // The last searcher to leave makes sure no posted work is left without
    // anyone awake: a poster that saw it searching did not wake a sleeper.
    if (searching_.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        states_.asleep(std::memory_order_seq_cst) != 0 &&
        (injector_.has_jobs() ||
         (!cores_taken() && !hold_wakes_.load(std::memory_order_relaxed) && has_pushed_work()))) {
        wake_one();
    }
}

template <class Search>
void Scheduler::sleep(WorkerThread& self, Search& why, bool for_a_while) noexcept {
    const auto until = Clock::now() + std::chrono::nanoseconds(static_cast<long>(crowd_hold_ns));
    locked(sleep_mutex_, [&](auto& lock) {
        states_.fall_asleep(self.index);
        self.woken = false;
        if (why.begin_sleep() && !injector_.has_jobs() && !has_pushed_work()) {
            while (!self.woken && !why.done()) {
                if (!for_a_while) {
                    self.wake_cv.wait(lock);
                } else if (self.wake_cv.wait_until(lock, until) == std::cv_status::timeout) {
                    break;
                }
            }
        }
        if (states_.is_asleep(self.index)) states_.wake(self.index);
    });
    why.end_sleep();
}

template <class Search>
void Scheduler::search(WorkerThread& self, Search& why) noexcept {
    constexpr bool idle = Search::idle;
    constexpr SpinSlots::Kind kind = Search::slot;
    unsigned rounds = 0, crowded = 0;
    bool searching = false, slot = false, looked_again = false;
    auto stop = [&] {
        if (slot) slots_.give_back(kind);
        slot = false;
        if (searching) stop_searching();
        searching = false;
    };
    while (!why.done()) {
        bool taken_over = false;
        if (Job* job = find_work(self, taken_over)) {
            stop();
            job->execute(job, taken_over);
            rounds = crowded = 0;
            looked_again = false;
            continue;
        }
        if (!searching) {
            searching_.fetch_add(1, std::memory_order_seq_cst);
            searching = true;
        }
        // With every slot held this thread would only keep another off a core;
        // so would an idle worker among more awake workers than cores, the
        // others running a loop that it could only take from them.
        if (idle && crowded_by_workers()) {
            if (slot) slots_.give_back(kind);
            slot = false;
        } else if (!slot) {
            slot = slots_.try_take(kind);
        } else if (idle && slots_.taken_over())
            slot = false;
        if (slot && crowded < crowded_after && rounds < pause_rounds && !callers_queued()) {
            auto t0 = Clock::now();
            for (unsigned i = pause_counts().per_round; i > 0; --i) {
                if (why.done() || injector_.has_jobs(std::memory_order_relaxed) || callers_queued())
                    break;
                spin_pause();
            }
            bool wanted = ns_since(t0) > preempted_ns;
            if (++rounds % probe_rounds == 0) {
                t0 = Clock::now();
                sched_yield();
                wanted = wanted || ns_since(t0) > yield_taken_ns;
            }
            // A thread waiting for a stolen half goes on with the yields, which
            // give the core away: asleep, it would wait for a wake-up once the
            // half is done. An idle worker has nothing to wait for.
            if (wanted && idle) ++crowded;
            if (wanted && !idle) rounds = pause_rounds;
        } else if (slot && crowded < crowded_after && rounds < pause_rounds + yield_rounds) {
            auto t0 = Clock::now();
            sched_yield();
            if (idle && ns_since(t0) > yield_taken_ns) ++crowded;
            ++rounds;
        } else {
            // Asleep for want of a core rather than for want of work. A
            // worker that lost its core to another thread looks again once
            // pushed halves wake sleepers again, for a half pushed meanwhile
            // in a long loop; once, unless it finds work then.
            const bool preempted = idle && crowded >= crowded_after;
            if (idle && (!slot || preempted)) note_crowded();
            const bool for_a_while = preempted && !looked_again;
            looked_again = for_a_while;
            if (slot) slots_.give_back(kind);
            slot = false;
            // The sleep's own last look covers work posted from here on.
            searching_.fetch_sub(1, std::memory_order_seq_cst);
            searching = false;
            sleep(self, why, for_a_while);
            rounds = crowded = 0;
        }
    }
    stop();
}

void Scheduler::wait_until(WorkerThread& self, JoinLatch& latch) noexcept {
    LatchSearch why(latch);
    search(self, why);
}

void Scheduler::main_loop(WorkerThread& self) {
    IdleSearch why(*this);
    search(self, why);
}

}  // namespace kestrix::detail
