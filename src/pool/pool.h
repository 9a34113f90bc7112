#pragma once
// The work-stealing pool every numeric loop runs on. A thread outside the pool
// hands a job in and waits on its own latch; inside the pool, join offers its
// second half to other workers and runs the first at once.
#include <cstddef>
#include <utility>

#include "pool/job.h"
#include "pool/scheduler.h"

namespace kestrix {

class Pool {
public:
    // Starts `workers` threads (at least one), of which at most `spin_limit`
    // spin at a time, callers included (0: as many as the processors
    // available to the process); fails when a thread cannot start.
    explicit Pool(std::size_t workers, std::size_t spin_limit = 0);
    // Stops the workers and waits until they have left. Only for pools a
    // program builds itself; the global pool is never destroyed.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Number of workers.
    std::size_t size() const noexcept { return scheduler_->size(); }
    // How many threads may spin at once, and the most that ever did.
    std::size_t spin_limit() const noexcept { return scheduler_->spin_limit(); }
    std::size_t spin_peak() const noexcept { return scheduler_->spin_peak(); }
    // Returns once every worker runs its own loop; the pool works before that.
    void wait_until_started() const noexcept { scheduler_->wait_until_started(); }

    // Runs f(taken_over) on a worker of this pool and waits for it: handed in
    // from outside, f sees true; called on a worker of this pool, f(false)
    // runs inline. Returns f's result, or rethrows its failure.
    template <class F>
    auto run(F&& f) -> decltype(f(true)) {
        using R = decltype(f(true));
        if (on_own_worker()) return f(false);
        detail::CallerLatch& latch = detail::CallerLatch::for_this_thread();
        InjectedJob<std::remove_reference_t<F>, R> job(f, latch);
        scheduler_->inject(&job);
        latch.wait(scheduler_->spin_slots());
        return job.result.take();
    }

    // Runs a(false) here and offers b to other workers: a thief runs b(true),
    // else it is taken back and run here as b(false). While a stolen b runs,
    // this thread helps with other work. Both always run to completion;
    // rethrows a's failure, else b's. From outside the pool the whole join is
    // handed in first.
    template <class A, class B>
    auto join(A&& a, B&& b) -> std::pair<decltype(a(false)), decltype(b(false))> {
        using RA = decltype(a(false));
        using RB = decltype(b(false));
        detail::WorkerThread* self = detail::current_worker;
        if (self == nullptr || self->scheduler != scheduler_)
            return run([&](bool) { return join(a, b); });

        JoinJob<std::remove_reference_t<B>, RB> job_b(b, *self);
        bool offered = self->deque.push(&job_b);
        if (offered) scheduler_->notify_new_work(*self);

        detail::JobResult<RA> result_a;
        result_a.run(a, false);

        if (!offered) {
            job_b.result.run(b, false);
        } else {
            while (!job_b.latch.probe()) {
                detail::Job* popped = self->deque.pop();
                if (popped == &job_b) {
                    job_b.result.run(b, false);
                    break;
                }
                if (popped != nullptr) {
                    // Something pushed here after b and left behind; run it as ours.
                    popped->execute(popped, false);
                    continue;
                }
                scheduler_->wait_until(*self, job_b.latch);
            }
        }
        RA va = result_a.take();
        RB vb = job_b.result.take();
        return {std::move(va), std::move(vb)};
    }

private:
    friend Pool& global_pool();
    struct Adopt {};
    Pool(detail::Scheduler* scheduler, Adopt) noexcept : scheduler_(scheduler) {}

    bool on_own_worker() const noexcept {
        return detail::current_worker != nullptr && detail::current_worker->scheduler == scheduler_;
    }

    template <class F, class R>
    struct InjectedJob : detail::Job {
        InjectedJob(F& f, detail::CallerLatch& latch) noexcept
            : detail::Job{&execute_this}, f_(&f), latch_(&latch) {}
        static void execute_this(detail::Job* j, bool) noexcept {
            auto* self = static_cast<InjectedJob*>(j);
            detail::CallerLatch* latch = self->latch_;
            self->result.run(*self->f_, true);
            latch->set();
        }
        F* f_;
        detail::CallerLatch* latch_;
        detail::JobResult<R> result;
    };

    template <class F, class R>
    struct JoinJob : detail::Job {
        JoinJob(F& f, detail::WorkerThread& owner) noexcept
            : detail::Job{&execute_this}, f_(&f), scheduler_(owner.scheduler), latch(owner) {}
        static void execute_this(detail::Job* j, bool taken_over) noexcept {
            auto* self = static_cast<JoinJob*>(j);
            detail::Scheduler* scheduler = self->scheduler_;
            self->result.run(*self->f_, taken_over);
            self->latch.set(*scheduler);
        }
        F* f_;
        detail::Scheduler* scheduler_;
        detail::JoinLatch latch;
        detail::JobResult<R> result;
    };

    detail::Scheduler* scheduler_;
};

// The process-wide pool, created on first use; fails with "The global thread
// pool has not been initialized.: ..." when it cannot be created.
Pool& global_pool();

// Which pool a numeric operation runs on: the process-wide one unless a pool
// is given (tests build their own). The global pool is only obtained when the
// operation reaches its loop, so checks made before it never create the pool.
class PoolRef {
public:
    PoolRef() noexcept = default;
    PoolRef(Pool& pool) noexcept : pool_(&pool) {}  // NOLINT: implicit by design
    Pool& get() const { return pool_ != nullptr ? *pool_ : global_pool(); }

private:
    Pool* pool_ = nullptr;
};

// The global pool's number of workers; creates the pool.
inline std::size_t worker_count() { return global_pool().size(); }

}  // namespace kestrix
