#include "pool/float_seq.h"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>

#include "pool/fault.h"

namespace kestrix::detail {
namespace {
constexpr std::size_t huge_page = std::size_t{2} << 20;
}

void* allocate_floats(std::size_t count) {
    if (count > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float))
        fail("capacity overflow");
    std::size_t bytes = count * sizeof(float);
    void* p = nullptr;
    if (bytes >= huge_page) {
        std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
        p = std::aligned_alloc(huge_page, rounded);
        if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        p = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (p == nullptr) throw OutOfMemory(bytes);
    return p;
}

void free_floats(void* p, std::size_t) noexcept { std::free(p); }

}  // namespace kestrix::detail
