#pragma once
// Binding of positional and keyword arguments to an entry's parameters.
#include <array>
#include <cstddef>
#include <string_view>

#include "boundary/error.h"

namespace kestrix::py {

constexpr std::size_t max_params = 4;

// One fixed description per entry: `count` required parameters, given by
// position or keyword, then `keyword_only` optional ones, given by keyword
// only (their slots stay empty when not given).
struct Signature {
    std::string_view function;  // as shown in messages: "KestrixMatrix.add()"
    std::array<std::string_view, max_params> params;
    std::size_t count;
    std::size_t keyword_only = 0;
};

using BoundArgs = std::array<PyRef, max_params>;

// One argument per parameter, in declaration order, or the TypeError that
// describes the first problem found.
Result<BoundArgs> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs);

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::string_view* names, std::size_t count);

}  // namespace kestrix::py
