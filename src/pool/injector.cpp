#include "pool/injector.h"

#include "pool/locking.h"

namespace kestrix::detail {

void Injector::push(Job* job) noexcept {
    locked(SpinFirst{mutex_}, [&](auto&) {
        job->next = nullptr;
        if (tail_ != nullptr)
            tail_->next = job;
        else
            head_ = job;
        tail_ = job;
        count_.fetch_add(1, std::memory_order_seq_cst);
    });
}

Job* Injector::pop() noexcept {
    if (!has_jobs()) return nullptr;
    return locked(SpinFirst{mutex_}, [&](auto&) -> Job* {
        Job* job = head_;
        if (job == nullptr) return nullptr;
        head_ = job->next;
        if (head_ == nullptr) tail_ = nullptr;
        count_.fetch_sub(1, std::memory_order_relaxed);
        return job;
    });
}

}  // namespace kestrix::detail
