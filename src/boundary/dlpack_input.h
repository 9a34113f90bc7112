#pragma once
// Float data from DLPack producers: torch tensors and any other object with
// __dlpack__ whose memory is on the CPU.
#include <optional>

#include "base/float_seq.h"
#include "boundary/error.h"

namespace kestrix::py {

// The elements of o's DLPack tensor in row-major order, each exactly as the
// sequence path would have converted it; nullopt when o has no __dlpack__.
// A producer on another device, or a capsule that does not describe
// readable memory of a known real type, is refused with TypeError and its
// tensor left to the capsule; one that is read is released at once.
std::optional<Result<FloatSeq>> read_dlpack(PyObject* o);

}  // namespace kestrix::py
