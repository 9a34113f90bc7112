#include "boundary/buffer.h"

#include <dlfcn.h>

#include <charconv>
#include <string_view>

namespace kestrix::py {
namespace {

BufferApi find_buffer_api() {
    BufferApi api;
    if (!interpreter_at_least(3, 11)) return api;
    void* get = ::dlsym(RTLD_DEFAULT, "PyObject_GetBuffer");
    void* release = ::dlsym(RTLD_DEFAULT, "PyBuffer_Release");
    void* fill_info = ::dlsym(RTLD_DEFAULT, "PyBuffer_FillInfo");
    if (get == nullptr || release == nullptr || fill_info == nullptr) return api;
    api.get = reinterpret_cast<decltype(api.get)>(get);
    api.release = reinterpret_cast<decltype(api.release)>(release);
    api.fill_info = reinterpret_cast<decltype(api.fill_info)>(fill_info);
    return api;
}

}  // namespace

bool interpreter_at_least(int major, int minor) {
    std::string_view v(Py_GetVersion());
    int have_major = 0, have_minor = 0;
    auto [dot, ec] = std::from_chars(v.data(), v.data() + v.size(), have_major);
    if (ec != std::errc() || dot == v.data() + v.size() || *dot != '.') return false;
    std::from_chars(dot + 1, v.data() + v.size(), have_minor);
    return have_major > major || (have_major == major && have_minor >= minor);
}

const BufferApi& buffer_api() {
    static const BufferApi api = find_buffer_api();
    return api;
}

}  // namespace kestrix::py
