#include "pool/pool.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "base/fault.h"
#include "pool/worker_count.h"

namespace kestrix {
namespace {

std::atomic<ThreadStarter> current_starter{&start_detached_thread};

std::string render_os_error(int error) {
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not live in buf.
    const char* text = ::strerror_r(error, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(error) + ")";
}

std::string build_error_io(int error) {
    return "ThreadPoolBuildError { kind: IOError(" + render_os_error(error) + ") }";
}

constexpr const char* not_initialized = "The global thread pool has not been initialized.: ";

// The global pool. `global_ptr` is the lock-free fast path; everything else
// is guarded by `global_mutex`, which the fork handlers hold across fork()
// so that the child never inherits it locked by a thread it does not have.
enum class GlobalState { absent, running, failed, forked };
std::mutex global_mutex;
std::atomic<Pool*> global_ptr{nullptr};
GlobalState global_state = GlobalState::absent;
std::size_t forked_workers = 0;
bool fork_handlers_installed = false;

// A fork() never catches a worker still being set up, whose half-taken locks
// (a sanitizer's allocator, for one) the child would inherit: the pool is
// ready before its workers run, so the fork waits for them.
void before_fork() noexcept {
    global_mutex.lock();
    if (global_state == GlobalState::running)
        global_ptr.load(std::memory_order_relaxed)->wait_until_started();
}
void after_fork_in_parent() noexcept { global_mutex.unlock(); }

// The child has none of the parent's workers. Forget the pool (its memory and
// locks are leaked on purpose: nothing here may touch them) and remember its
// size, so that the first use in the child builds a like one.
void after_fork_in_child() noexcept {
    if (global_state == GlobalState::running) {
        forked_workers = global_ptr.load(std::memory_order_relaxed)->size();
        global_ptr.store(nullptr, std::memory_order_relaxed);
        global_state = GlobalState::forked;
    }
    global_mutex.unlock();
}

}  // namespace

int start_detached_thread(void* (*entry)(void*), void* arg, std::size_t stack_size) {
    pthread_attr_t attr;
    int rc = ::pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = ::pthread_attr_setstacksize(&attr, stack_size);
    pthread_t thread;
    if (rc == 0) rc = ::pthread_create(&thread, &attr, entry, arg);
    ::pthread_attr_destroy(&attr);
    return rc;
}

ThreadStarter set_thread_starter(ThreadStarter starter) noexcept {
    return current_starter.exchange(starter);
}

ThreadStarter thread_starter() noexcept { return current_starter.load(); }

Pool::Pool(std::size_t workers, std::size_t spin_limit) {
    int error = 0;
    scheduler_ = detail::Scheduler::create(workers == 0 ? 1 : workers,
                                           spin_limit == 0 ? available_cpus() : spin_limit,
                                           thread_starter(), error);
    if (scheduler_ == nullptr) fail("failed to start the pool's workers: " + build_error_io(error));
}

Pool::~Pool() { scheduler_->shut_down(); }

Pool& global_pool() {
    if (Pool* pool = global_ptr.load(std::memory_order_acquire)) [[likely]]
        return *pool;

    std::unique_lock<std::mutex> lock(global_mutex);
    std::size_t workers = 0;
    switch (global_state) {
        case GlobalState::running: return *global_ptr.load(std::memory_order_relaxed);
        case GlobalState::failed:
            lock.unlock();
            fail(std::string(not_initialized) +
                 "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }");
        case GlobalState::absent: workers = configured_worker_count(); break;
        case GlobalState::forked: workers = forked_workers; break;
    }
    if (!fork_handlers_installed) {
        ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
        fork_handlers_installed = true;
    }
    int error = 0;
    detail::Scheduler* scheduler =
        detail::Scheduler::create(workers, available_cpus(), thread_starter(), error);
    if (scheduler == nullptr) {
        global_state = GlobalState::failed;
        lock.unlock();
        fail(std::string(not_initialized) + build_error_io(error));
    }
    // Never destroyed: the workers live until the process ends.
    Pool* pool = new Pool(scheduler, Pool::Adopt{});
    global_ptr.store(pool, std::memory_order_release);
    global_state = GlobalState::running;
    return *pool;
}

}  // namespace kestrix
