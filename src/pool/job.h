#pragma once
// Jobs as the scheduler sees them: a record on the stack of the thread that
// waits for it, so that handing work around never allocates.
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.h"

namespace kestrix::detail {

struct Job {
    // Runs the job; never throws (the job keeps its own failure).
    void (*execute)(Job* self, bool taken_over) noexcept;
    Job* next = nullptr;  // link in the injector queue
};

// Outcome of a job: empty until it ran, then its value or the failure that ended it.
template <class R>
class JobResult {
    struct Unit {};
    using Stored = std::conditional_t<std::is_void_v<R>, Unit, R>;

public:
    template <class F>
    void run(F& f, bool taken_over) noexcept {
        try {
            if constexpr (std::is_void_v<R>) {
                f(taken_over);
                value_.emplace();
            } else {
                value_.emplace(f(taken_over));
            }
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    // The value, or the job's failure continued here. The failure was
    // reported where it started, so rethrowing writes nothing.
    R take() {
        if (failure_) std::rethrow_exception(failure_);
        if (!value_) [[unlikely]]
            fail("internal error: entered unreachable code");
        if constexpr (!std::is_void_v<R>) return std::move(*value_);
    }

private:
    std::optional<Stored> value_;
    std::exception_ptr failure_;
};

}  // namespace kestrix::detail
