#pragma once
// The blocking of the portable product kernels and the sizes where the driver
// changes path for them: the common blocking (kernels/blocking.h) but for
// what is said here.
#include <cstddef>
#include <cstdint>

#include "kernels/blocking.h"

namespace kestrix::kernels::portable {

inline constexpr gemm::Blocking blocking = common_blocking;

}  // namespace kestrix::kernels::portable
