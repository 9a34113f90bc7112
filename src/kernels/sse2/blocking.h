#pragma once
// The blocking of the SSE2 product kernels and the sizes where the driver
// changes path for them: the common blocking (kernels/blocking.h) but for
// what is said here.
#include <cstddef>
#include <cstdint>

#include "kernels/blocking.h"

namespace kestrix::kernels::sse2 {

inline constexpr gemm::Blocking blocking = common_blocking;

}  // namespace kestrix::kernels::sse2
