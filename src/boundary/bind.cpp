#include "boundary/bind.h"

#include <optional>
#include <string>

#include "boundary/guard.h"

namespace kestrix::py {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// The parameter index a keyword names, or max_params when it names none.
std::size_t keyword_slot(const Signature& sig, PyObject* key) {
    if (!(PyType_GetFlags(Py_TYPE(key)) & Py_TPFLAGS_UNICODE_SUBCLASS)) return max_params;
    std::optional<std::string> text = utf8_of(key);
    if (!text) {
        PyErr_Clear();  // an unencodable key is just not a parameter name
        return max_params;
    }
    for (std::size_t i = 0; i < sig.count + sig.keyword_only; ++i)
        if (sig.params[i] == *text) return i;
    return max_params;
}

}  // namespace

std::string name_list(const std::string_view* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) out += ',';
            out += i + 1 == count ? " and " : " ";
        }
        out += quoted(names[i]);
    }
    return out;
}

Result<BoundArgs> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs) {
    BoundArgs slots;
    std::string fn(sig.function);
    auto given = static_cast<std::size_t>(PyTuple_Size(args));
    for (std::size_t i = 0; i < given && i < sig.count; ++i)
        slots[i] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
    if (given > sig.count) {
        return PyErr::type_error(fn + " takes " + std::to_string(sig.count) +
                                 " positional arguments but " + std::to_string(given) +
                                 (given == 1 ? " was" : " were") + " given");
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t slot = keyword_slot(sig, key);
            if (slot == max_params)
                return PyErr::type_error(fn + " got an unexpected keyword argument '" +
                                         display_text(key) + "'");
            if (slots[slot])
                return PyErr::type_error(fn + " got multiple values for argument " +
                                         quoted(sig.params[slot]));
            slots[slot] = PyRef::borrow(value);
        }
    }
    std::array<std::string_view, max_params> missing{};
    std::size_t n_missing = 0;
    for (std::size_t i = given; i < sig.count; ++i)
        if (!slots[i]) missing[n_missing++] = sig.params[i];
    if (n_missing > 0) {
        return PyErr::type_error(fn + " missing " + std::to_string(n_missing) +
                                 " required positional " +
                                 (n_missing == 1 ? "argument" : "arguments") + ": " +
                                 name_list(missing.data(), n_missing));
    }
    return slots;
}

}  // namespace kestrix::py
