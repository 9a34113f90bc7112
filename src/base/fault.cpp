#include "base/fault.h"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kestrix {
namespace {

std::atomic<bool> first_report{true};

bool backtrace_enabled() {
    const char* v = std::getenv("KESTRIX_BACKTRACE");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

void write_all(const std::string& text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void append_backtrace(std::string& out) {
    void* frames[64];
    int depth = ::backtrace(frames, 64);
    char** names = ::backtrace_symbols(frames, depth);
    out += "stack backtrace:\n";
    for (int i = 0; i < depth; ++i) {
        out += "  ";
        out += std::to_string(i);
        out += ": ";
        out += names ? names[i] : "?";
        out += '\n';
    }
    std::free(names);
}

}  // namespace

OutOfMemory::OutOfMemory(std::size_t bytes)
    : bytes_(bytes), message_("memory allocation of " + std::to_string(bytes) + " bytes failed") {}

void write_report(std::string_view message, const std::source_location& where) noexcept {
    try {
        std::string out = "\nthread '<unnamed>' (";
        out += std::to_string(::syscall(SYS_gettid));
        out += ") panicked at ";
        out += where.file_name();
        out += ':';
        out += std::to_string(where.line());
        out += ':';
        out += std::to_string(where.column());
        out += ":\n";
        out += message;
        out += '\n';
        bool first = first_report.exchange(false);
        if (backtrace_enabled())
            append_backtrace(out);
        else if (first)
            out +=
                "note: run with `KESTRIX_BACKTRACE=1` environment variable to display a "
                "backtrace\n";
        write_all(out);
    } catch (...) {
        // Out of memory while reporting: the failure itself still travels.
    }
}

void fail(std::string message, std::source_location where) {
    write_report(message, where);
    throw Fault(std::move(message), where);
}

void fail_index(std::size_t index, std::size_t len, std::source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

void abort_unexpected() noexcept {
    static const char line[] =
        "kestrix: the worker pool detected an unexpected internal failure; aborting\n";
    (void)!::write(STDERR_FILENO, line, sizeof line - 1);
    std::abort();
}

}  // namespace kestrix
