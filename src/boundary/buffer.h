#pragma once
// The buffer protocol for a module built for the 3.8 stable ABI: its calls
// joined the stable ABI in 3.11, so they are looked up in the running
// interpreter and used only there.
#include "boundary/python.h"

namespace kestrix::py {

// The Py_buffer of the stable ABI (3.11+), whose layout is fixed there.
struct BufferView {
    void* buf;
    PyObject* obj;
    Py_ssize_t len;
    Py_ssize_t itemsize;
    int readonly;
    int ndim;
    char* format;
    Py_ssize_t* shape;
    Py_ssize_t* strides;
    Py_ssize_t* suboffsets;
    void* internal;
};

// PyBUF_FORMAT | PyBUF_STRIDES: read-only, any layout, with its format.
constexpr int buffer_records_ro = 0x0004 | 0x0008 | 0x0010;
// PyBUF_FORMAT | PyBUF_ND: read-only and C-contiguous, with its format.
constexpr int buffer_contiguous_ro = 0x0004 | 0x0008;
// PyBUF_WRITABLE, for the slot of an exporter that refuses writers.
constexpr int buffer_writable = 0x0001;

struct BufferApi {
    int (*get)(PyObject*, BufferView*, int) = nullptr;
    void (*release)(BufferView*) = nullptr;
    // PyBuffer_FillInfo: fills a view of memory owned by an exporter.
    int (*fill_info)(BufferView*, PyObject*, void*, Py_ssize_t, int, int) = nullptr;
};

// Whether the running interpreter is major.minor or later.
bool interpreter_at_least(int major, int minor);

// The buffer calls of the running interpreter; all null before 3.11.
const BufferApi& buffer_api();

// One view of an object's buffer, released on every path.
class HeldBuffer {
public:
    explicit HeldBuffer(const BufferApi& api) : api_(api) {}
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) api_.release(&view_);
    }
    // False with the interpreter's error pending when o has no such buffer.
    bool get(PyObject* o, int flags = buffer_records_ro) {
        held_ = api_.get(o, &view_, flags) == 0;
        return held_;
    }
    const BufferView& view() const { return view_; }

private:
    const BufferApi& api_;
    BufferView view_{};
    bool held_ = false;
};

}  // namespace kestrix::py
