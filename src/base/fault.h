#pragma once
// Internal failures: a failed check inside the native code. The report is
// written once, on the thread where the failure starts; the Fault then
// travels as a C++ exception and is turned into a Python exception at the
// boundary. Rethrowing a Fault (carried from a worker, say) never reports again.
#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace kestrix {

class Fault : public std::exception {
public:
    Fault(std::string message, std::source_location where) noexcept
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Memory for a buffer of a valid size could not be obtained. Raised to Python
// as MemoryError; it is not reported on standard error.
class OutOfMemory : public std::exception {
public:
    explicit OutOfMemory(std::size_t bytes);
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    std::size_t bytes_;
    std::string message_;
};

// Writes the report of a failure with this message to standard error, in one
// write; the first report of the process adds the backtrace note.
void write_report(std::string_view message, const std::source_location& where) noexcept;

// Reports, then throws a Fault.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void fail_index(std::size_t index, std::size_t len,
                             std::source_location where = std::source_location::current());

// Checks index < len; fails with the index message otherwise.
inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        fail_index(index, len, where);
}

// Writes one line saying that an unexpected failure escaped, then aborts.
[[noreturn]] void abort_unexpected() noexcept;

}  // namespace kestrix
