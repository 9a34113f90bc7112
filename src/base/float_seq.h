#pragma once
// FloatSeq: the flat, owned sequence of 32-bit floats that every numeric
// input and result is. Its allocator differs from std::allocator in one way
// that changes meaning and two that only affect speed:
//   - FloatSeq(n) and resize(n) leave the new elements unset, so that the
//     workers that compute a result are the first to touch its pages; ask
//     for zeros explicitly: FloatSeq(n, 0.0f);
//   - buffers start on a 64-byte cache line;
//   - buffers of 2 MiB and more are 2 MiB aligned and advised for huge pages,
//     so a large fresh result does not fault in each 4 KiB page on its own,
//     and the last few freed (up to 64 MiB each, 80 MiB together) are kept
//     for the next of their sizes.
#include <cstddef>
#include <new>
#include <vector>

namespace kestrix {

namespace detail {
void* allocate_floats(std::size_t count);  // throws OutOfMemory
void free_floats(void* p, std::size_t count) noexcept;
}  // namespace detail

template <class T>
struct FloatAllocator {
    using value_type = T;
    FloatAllocator() noexcept = default;
    template <class U>
    FloatAllocator(const FloatAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(sizeof(T) == sizeof(float));
        return static_cast<T*>(detail::allocate_floats(n));
    }
    void deallocate(T* p, std::size_t n) noexcept { detail::free_floats(p, n); }

    // Default construction leaves the value unset; every other form is normal.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }

    template <class U>
    bool operator==(const FloatAllocator<U>&) const noexcept {
        return true;
    }
};

using FloatSeq = std::vector<float, FloatAllocator<float>>;

}  // namespace kestrix
