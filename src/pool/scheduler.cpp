#include "pool/scheduler.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

#include "pool/fault.h"
#include "pool/spin_pause.h"

namespace kestrix::detail {
namespace {

// Idle search: a round is one search of every queue followed by a short
// wait. The wait ends early when what the thread waits for has happened or
// a job is handed in from outside: both are single flags that cost nothing
// to read until they change, where reading the other workers' deques on
// every pause would take their lines from under their owners.
// The first rounds only pause, so that a hand-off within microseconds
// finds the worker awake; later rounds yield, because on a machine with as
// many workers as cores a spinning thread would otherwise keep the thread
// that holds the work off its core. After that the worker sleeps.
constexpr unsigned pause_rounds = 32;
constexpr unsigned yield_rounds = 64;
constexpr double round_pause_ns = 400;

// Where threads outnumber cores, a waiting thread's spin is taken from a
// thread that has work. A pause round that lasted far longer than it should
// was preempted, and a yield that took several times a bare system call let
// another thread run: both say that this core is wanted. After a few of them
// an idle worker goes to sleep instead of spinning on; a thread waiting for
// its own loop moves on to yielding. On a machine to itself neither happens.
constexpr double preempted_ns = 20'000;
constexpr double yield_taken_ns = 5'000;
constexpr unsigned crowded_after = 3;
// The pause offers the core once every few rounds, to see whether it is wanted.
constexpr unsigned probe_rounds = 4;

// The caller pauses for caller_pause_ns, then yields for a while, then blocks.
// Yielding early is worse for loops of a few microseconds: the caller's core
// goes to a worker only to be taken back when the caller is rescheduled.
// After a loop longer than the pause, the caller starts its next waits with
// the yields: a loop of that length wants every core, the caller's included.
// It pauses first again only after a loop shorter than half the pause, so
// that a loop near one bound does not flip between the two ways. A loop's
// length runs from the hand-in to the moment it was set done, not to the
// caller's return: a caller that gave its core away returns late, and
// counting that would keep short loops in the yields.
constexpr double caller_pause_ns = 25'000;
constexpr double short_loop_ns = caller_pause_ns / 2;
constexpr unsigned caller_yields = 64;
constexpr unsigned pause_probe_every = 32;
// The worker that takes a handed-in job gives up its spin slot a moment
// after the hand-in; a caller that finds every slot held looks again for
// this long before it yields instead of pausing.
constexpr double caller_slot_ns = 2'000;
// How often a pausing caller offers its core (see CallerLatch::wait).
constexpr double caller_probe_ns = 3'000;

// Callers whose loop has finished while they had given their core away
// (yielding). Idle workers yield instead of pausing while it is nonzero: the
// finished caller may be queued behind one of them on its core, and a worker
// in its pause phase would hold that core for up to pause_rounds rounds.
alignas(64) std::atomic<unsigned> runnable_callers{0};

// How long a pause instruction lasts differs severalfold between
// processors, so the spins above are set in time and converted to pause
// counts with the cost measured once per process (the best of a few runs,
// so that a preemption during one does not shorten every spin).
struct PauseCounts {
    unsigned per_round;
    unsigned caller;
    unsigned caller_slot;
    unsigned caller_probe;
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
                           static_cast<unsigned>(caller_pause_ns / ns),
                           static_cast<unsigned>(caller_slot_ns / ns),
                           std::max(1u, static_cast<unsigned>(caller_probe_ns / ns))};
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

// The injector's mutex, tried for a while before it blocks.
struct SpinFirst {
    std::mutex& m;
    void lock() { lock_injector(m); }
    void unlock() noexcept { m.unlock(); }
};

// Runs body and returns what it returns. What can throw here is the standard
// mutex and condition variable, or a broken invariant: neither leaves the
// pool able to go on.
template <class Body>
auto or_abort(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        abort_unexpected();
    }
}

// Runs body(lock) holding m, or aborts.
template <class Lockable, class Body>
auto locked(Lockable&& m, Body&& body) noexcept {
    return or_abort([&] {
        std::unique_lock<std::remove_reference_t<Lockable>> lock(m);
        return body(lock);
    });
}

using Clock = std::chrono::steady_clock;

double ns_since(Clock::time_point t) noexcept {
    return std::chrono::duration<double, std::nano>(Clock::now() - t).count();
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
        // cores on every short loop.
        bool yielding = state == yielding_;
        if (yielding) {
            set_at_ = Clock::now();
            runnable_callers.fetch_add(1, std::memory_order_relaxed);
        }
        if (state_.compare_exchange_strong(state, set_, std::memory_order_acq_rel)) return;
        if (yielding) runnable_callers.fetch_sub(1, std::memory_order_relaxed);
    }
    // The caller is blocked (or about to block) under the mutex. Setting the
    // state under the mutex keeps the caller from returning, and so from
    // ending its thread, before we are done with the latch.
    locked(mutex_, [&](auto&) {
        set_at_ = Clock::now();
        state_.store(set_, std::memory_order_release);
        cv_.notify_one();
    });
}

void CallerLatch::wait(Scheduler& scheduler) noexcept {
    const auto start = Clock::now();
    // A caller in the yields still starts a wait with the pause now and then:
    // yielding makes a loop slow enough to look long, so the yields could
    // otherwise keep themselves going.
    const bool pausing = !yield_first_ || ++yield_waits_ % pause_probe_every == 0;
    // `end`: when the loop was set done, as the caller saw it spinning or as
    // the setter stamped it.
    auto done = [&](Clock::time_point end) {
        state_.store(unset_, std::memory_order_relaxed);
        std::chrono::duration<double, std::nano> took = end - start;
        yield_first_ = took.count() > (pausing ? caller_pause_ns : short_loop_ns);
    };
    auto is_set = [&] { return state_.load(std::memory_order_acquire) == set_; };
    // Only the pause takes a spin slot, and a pausing caller holds a core:
    // pushed halves wake no sleeper while it pauses. A caller that yields
    // gives its core to whoever wants it.
    constexpr auto kind = Scheduler::Spinner::pausing_caller;
    bool slot = false;
    auto seen_now = [&] {
        if (slot) scheduler.end_spin(kind);
        done(Clock::now());
    };
    for (unsigned i = pausing ? pause_counts().caller_slot : 0;
         pausing && !(slot = scheduler.try_spin(kind)) && i > 0; --i) {
        if (is_set()) return seen_now();
        _mm_pause();
    }
    if (slot) {
        // Every few microseconds the pause offers the core once: a yield that
        // takes long let a thread run that wanted this core, often the very
        // worker running the loop, which a pausing caller would otherwise
        // keep waiting until the pause ends.
        const unsigned slice = pause_counts().caller_probe;
        for (unsigned i = pause_counts().caller, next_probe = slice; i > 0; --i) {
            if (is_set()) return seen_now();
            _mm_pause();
            if (--next_probe == 0) {
                auto t0 = Clock::now();
                sched_yield();
                if (ns_since(t0) > yield_taken_ns) break;
                next_probe = slice;
            }
        }
        scheduler.end_spin(kind);
        slot = false;
    }
    int expected = unset_;
    if (!state_.compare_exchange_strong(expected, yielding_, std::memory_order_acq_rel))
        return seen_now();
    auto ran_again = [&] {
        runnable_callers.fetch_sub(1, std::memory_order_relaxed);
        done(set_at_);
    };
    // Every yield gives the core to whoever wants it, and blocking would put
    // a wake-up between the loop's end and the caller's return.
    for (unsigned i = 0; i < caller_yields; ++i) {
        sched_yield();
        if (is_set()) return ran_again();
    }
    bool slept = locked(mutex_, [&](auto& lock) {
        expected = yielding_;
        if (!state_.compare_exchange_strong(expected, sleeping_, std::memory_order_acq_rel))
            return false;
        while (state_.load(std::memory_order_acquire) != set_) cv_.wait(lock);
        return true;
    });
    if (!slept) return ran_again();
    done(set_at_);
}

CallerLatch& CallerLatch::for_this_thread() noexcept {
    thread_local CallerLatch latch;
    return latch;
}

// --- creation and shutdown ---------------------------------------------------

Scheduler::Scheduler(std::size_t workers, std::size_t spin_limit)
    : count_(workers),
      spin_limit_(std::clamp<std::size_t>(spin_limit, 1, std::size_t{1} << (spin_field_bits - 1))),
      workers_(std::make_unique<WorkerThread[]>(workers)),
      order_(std::make_unique<std::atomic<std::uint32_t>[]>(workers)),
      position_(std::make_unique<std::uint32_t[]>(workers)) {
    for (std::size_t i = 0; i < workers; ++i) {
        workers_[i].scheduler = this;
        workers_[i].index = i;
        workers_[i].rng = 0x9E3779B97F4A7C15ull * (i + 1);
        order_[i].store(static_cast<std::uint32_t>(i), std::memory_order_relaxed);
        position_[i] = static_cast<std::uint32_t>(i);
    }
}

// Ready as soon as the threads exist: waiting here for every worker to run
// cost time in proportion to the workers times the threads spinning. A
// worker that has not run yet has no work of its own and takes its first
// job when it runs.
Scheduler* Scheduler::create(std::size_t workers, std::size_t spin_limit, ThreadStarter starter,
                             int& error) {
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
        scheduler->enter_locked(*self);
        scheduler->threads_cv_.notify_all();
    });
    or_abort([&] { scheduler->main_loop(*self); });
    locked(scheduler->sleep_mutex_, [&](auto&) {
        scheduler->leave_locked(*self);
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
        std::size_t awake = awake_.load(std::memory_order_relaxed);
        std::size_t asleep = sleepers_.load(std::memory_order_relaxed);
        for (std::size_t i = awake; i < awake + asleep; ++i) {
            WorkerThread& w = workers_[order_[i].load(std::memory_order_relaxed)];
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

// --- the workers' states -----------------------------------------------------

void Scheduler::move_locked(std::size_t worker, std::size_t to) noexcept {
    std::size_t from = position_[worker];
    if (from == to) return;
    std::uint32_t other = order_[to].load(std::memory_order_relaxed);
    order_[to].store(static_cast<std::uint32_t>(worker), std::memory_order_relaxed);
    order_[from].store(other, std::memory_order_relaxed);
    position_[worker] = static_cast<std::uint32_t>(to);
    position_[other] = static_cast<std::uint32_t>(from);
}

void Scheduler::enter_locked(WorkerThread& w) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    move_locked(w.index, awake + sleepers_.load(std::memory_order_relaxed));
    move_locked(w.index, awake);
    awake_.store(awake + 1, std::memory_order_release);
}

void Scheduler::leave_locked(WorkerThread& w) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed) - 1;
    move_locked(w.index, awake);
    move_locked(w.index, awake + sleepers_.load(std::memory_order_relaxed));
    awake_.store(awake, std::memory_order_release);
}

void Scheduler::fall_asleep_locked(WorkerThread& w) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed) - 1;
    move_locked(w.index, awake);
    awake_.store(awake, std::memory_order_release);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
}

void Scheduler::wake_locked(WorkerThread& w) noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    move_locked(w.index, awake);
    awake_.store(awake + 1, std::memory_order_release);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

bool Scheduler::is_asleep_locked(const WorkerThread& w) const noexcept {
    std::size_t awake = awake_.load(std::memory_order_relaxed);
    return position_[w.index] >= awake &&
           position_[w.index] < awake + sleepers_.load(std::memory_order_relaxed);
}

namespace {
constexpr unsigned field = Scheduler::spin_field_bits;
constexpr std::uint64_t spin_mask = (std::uint64_t{1} << field) - 1;
constexpr std::uint64_t one_held = 1, one_idle = one_held << field,
                        one_taken = one_held << 2 * field, one_pausing = one_held << 3 * field;
constexpr std::uint64_t held(std::uint64_t w) { return w & spin_mask; }
constexpr std::uint64_t idle(std::uint64_t w) { return (w >> field) & spin_mask; }
constexpr std::uint64_t taken(std::uint64_t w) { return (w >> 2 * field) & spin_mask; }
constexpr std::uint64_t pausing(std::uint64_t w) { return w >> 3 * field; }

std::uint64_t spin_extra(Scheduler::Spinner kind) {
    switch (kind) {
        case Scheduler::Spinner::idle: return one_idle;
        case Scheduler::Spinner::waiting: return 0;
        case Scheduler::Spinner::pausing_caller: return one_pausing;
    }
    return 0;
}
}  // namespace

bool Scheduler::try_spin(Spinner kind) noexcept {
    const std::uint64_t extra = spin_extra(kind);
    std::uint64_t w = spin_slots_.load(std::memory_order_relaxed), next;
    do {
        if (held(w) < spin_limit_)
            next = w + one_held + extra;
        else if (kind != Spinner::idle && idle(w) > 0)
            next = w - one_idle + one_taken + extra;
        else
            return false;
    } while (!spin_slots_.compare_exchange_weak(w, next, std::memory_order_acquire,
                                                std::memory_order_relaxed));
    std::size_t now_held = held(next), peak = spin_peak_.load(std::memory_order_relaxed);
    while (now_held > peak &&
           !spin_peak_.compare_exchange_weak(peak, now_held, std::memory_order_relaxed)) {}
    return true;
}

void Scheduler::end_spin(Spinner kind) noexcept {
    if (kind != Spinner::idle) {
        spin_slots_.fetch_sub(one_held + spin_extra(kind), std::memory_order_release);
        return;
    }
    // An idle worker that leaves while one of the idle slots is taken over
    // is the one that lost it: whichever notices first.
    std::uint64_t w = spin_slots_.load(std::memory_order_relaxed), next;
    do {
        next = taken(w) > 0 ? w - one_taken : w - one_held - one_idle;
    } while (!spin_slots_.compare_exchange_weak(w, next, std::memory_order_release,
                                                std::memory_order_relaxed));
}

bool Scheduler::spin_taken_over() noexcept {
    std::uint64_t w = spin_slots_.load(std::memory_order_relaxed);
    while (taken(w) > 0)
        if (spin_slots_.compare_exchange_weak(w, w - one_taken, std::memory_order_relaxed))
            return true;
    return false;
}

bool Scheduler::cores_taken() const noexcept {
    return awake_.load(std::memory_order_relaxed) +
               pausing(spin_slots_.load(std::memory_order_relaxed)) >=
           spin_limit_;
}

bool Scheduler::crowded_by_workers() const noexcept {
    return awake_.load(std::memory_order_relaxed) > spin_limit_;
}

// --- work ----------------------------------------------------------------------

void Scheduler::inject(Job* job) noexcept {
    locked(SpinFirst{injector_mutex_}, [&](auto&) {
        job->next = nullptr;
        if (injector_tail_ != nullptr)
            injector_tail_->next = job;
        else
            injector_head_ = job;
        injector_tail_ = job;
        injected_.fetch_add(1, std::memory_order_seq_cst);
    });
    // A handed-in job always gets a worker: unlike a pushed half, no one
    // else would run it. See notify_new_work for the two counts.
    if (searching_.fetch_add(0, std::memory_order_seq_cst) != 0) return;
    if (sleepers_.fetch_add(0, std::memory_order_seq_cst) == 0) return;
    wake_one();
}

Job* Scheduler::pop_injected() noexcept {
    if (injected_.load(std::memory_order_seq_cst) == 0) return nullptr;
    return locked(SpinFirst{injector_mutex_}, [&](auto&) -> Job* {
        Job* job = injector_head_;
        if (job == nullptr) return nullptr;
        injector_head_ = job->next;
        if (injector_head_ == nullptr) injector_tail_ = nullptr;
        injected_.fetch_sub(1, std::memory_order_relaxed);
        return job;
    });
}

Job* Scheduler::find_work(WorkerThread& self, bool& taken_over) noexcept {
    if (Job* job = self.deque.pop()) {
        taken_over = false;
        return job;
    }
    taken_over = true;
    std::size_t awake = std::min(awake_.load(std::memory_order_acquire), count_);
    if (awake > 1) {
        std::size_t at = next_random(self.rng) % awake;
        for (std::size_t i = 0; i < awake; ++i, at = at + 1 == awake ? 0 : at + 1) {
            std::size_t victim = order_[at].load(std::memory_order_relaxed);
            if (victim == self.index) continue;
            if (Job* job = workers_[victim].deque.steal()) return job;
        }
    }
    return pop_injected();
}

bool Scheduler::has_pushed_work() const noexcept {
    std::size_t awake = std::min(awake_.load(std::memory_order_acquire), count_);
    for (std::size_t i = 0; i < awake; ++i)
        if (!workers_[order_[i].load(std::memory_order_relaxed)].deque.empty()) return true;
    return false;
}

void Scheduler::notify_new_work() noexcept {
    // Every core has a thread already, a worker awake or a caller pausing:
    // one more awake would take a core from them, and they get to the half
    // as soon as they are done. (A loop short enough for the caller to pause
    // ran on one worker anyway, while the other waited for a core.) The half
    // is never lost: the worker that pushed it runs it if no one takes it.
    // Plain loads, and first: they decide most calls, and the contended lines
    // of the read-modify-writes below cost more than the rest of a join.
    if (cores_taken()) return;
    // Read-modify-writes, not plain loads: they read the latest count, and a
    // searcher or sleeper that changes the count after us synchronises with
    // them, so it sees the work we posted. Either it finds the work or we
    // see it asleep.
    if (searching_.fetch_add(0, std::memory_order_seq_cst) != 0) return;
    if (sleepers_.fetch_add(0, std::memory_order_seq_cst) == 0) return;
    wake_one();
}

void Scheduler::wake_one() noexcept {
    locked(sleep_mutex_, [&](auto&) {
        if (sleepers_.load(std::memory_order_relaxed) == 0) return;
        // The worker that fell asleep last: its stack and lines are the warmest.
        WorkerThread& w = workers_[order_[awake_.load(std::memory_order_relaxed)].load(
            std::memory_order_relaxed)];
        w.woken = true;
        wake_locked(w);
        w.wake_cv.notify_one();
    });
}

void Scheduler::wake_worker(WorkerThread& worker) noexcept {
    locked(sleep_mutex_, [&](auto&) {
        worker.woken = true;
        if (is_asleep_locked(worker)) wake_locked(worker);
        worker.wake_cv.notify_one();
    });
}

void Scheduler::stop_searching() noexcept {
    // The last searcher to leave makes sure no posted work is left without
    // anyone awake: a poster that saw it searching did not wake a sleeper.
    if (searching_.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        sleepers_.load(std::memory_order_seq_cst) != 0 &&
        (injected_.load(std::memory_order_seq_cst) != 0 || (!cores_taken() && has_pushed_work()))) {
        wake_one();
    }
}

void Scheduler::sleep(WorkerThread& self, JoinLatch* latch) noexcept {
    locked(sleep_mutex_, [&](auto& lock) {
        fall_asleep_locked(self);
        self.woken = false;
        bool stay =
            latch != nullptr ? latch->begin_sleep() : !terminate_.load(std::memory_order_seq_cst);
        if (stay && injected_.load(std::memory_order_seq_cst) == 0 && !has_pushed_work()) {
            auto ended = [&] {
                return latch != nullptr ? latch->probe()
                                        : terminate_.load(std::memory_order_acquire);
            };
            while (!self.woken && !ended()) self.wake_cv.wait(lock);
        }
        if (is_asleep_locked(self)) wake_locked(self);
    });
    if (latch != nullptr) latch->end_sleep();
}

template <class Done>
void Scheduler::search(WorkerThread& self, Done done, JoinLatch* latch) noexcept {
    const bool idle = latch == nullptr;
    const Spinner kind = idle ? Spinner::idle : Spinner::waiting;
    unsigned rounds = 0, crowded = 0;
    bool searching = false, slot = false;
    auto stop = [&] {
        if (slot) end_spin(kind);
        slot = false;
        if (searching) stop_searching();
        searching = false;
    };
    while (!done()) {
        bool taken_over = false;
        if (Job* job = find_work(self, taken_over)) {
            stop();
            job->execute(job, taken_over);
            rounds = crowded = 0;
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
            if (slot) end_spin(kind);
            slot = false;
        } else if (!slot) {
            slot = try_spin(kind);
        } else if (idle && spin_taken_over())
            slot = false;
        auto caller_queued = [] { return runnable_callers.load(std::memory_order_relaxed) != 0; };
        if (slot && crowded < crowded_after && rounds < pause_rounds && !caller_queued()) {
            auto t0 = Clock::now();
            for (unsigned i = pause_counts().per_round; i > 0; --i) {
                if (done() || injected_.load(std::memory_order_relaxed) != 0 || caller_queued())
                    break;
                _mm_pause();
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
            if (slot) end_spin(kind);
            slot = false;
            // The sleep's own last look covers work posted from here on.
            searching_.fetch_sub(1, std::memory_order_seq_cst);
            searching = false;
            sleep(self, latch);
            rounds = crowded = 0;
        }
    }
    stop();
}

void Scheduler::wait_until(WorkerThread& self, JoinLatch& latch) noexcept {
    search(
        self, [&] { return latch.probe(); }, &latch);
}

void Scheduler::main_loop(WorkerThread& self) {
    search(
        self, [&] { return terminate_.load(std::memory_order_acquire); }, nullptr);
}

}  // namespace kestrix::detail
