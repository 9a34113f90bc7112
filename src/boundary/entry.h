#pragma once
// Typed entries: a signature with one converter per parameter. An entry binds
// its arguments, takes access to its receiver, converts the arguments left to
// right and runs its body on the converted values, in that order; the first
// failure ends the call.
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "boundary/bind.h"
#include "boundary/convert.h"
#include "boundary/guard.h"

namespace kestrix::py {

// Converters: (object, parameter name) -> Result<value>, errors wrapped for the name.
struct FloatsArg {
    Result<FloatSeq> operator()(PyObject* o, const char* name) const {
        return to_float_seq(o, name);
    }
};
struct CountArg {
    Result<std::uint64_t> operator()(PyObject* o, const char* name) const {
        return argument(o, name, to_count);
    }
};
struct Float32Arg {
    Result<float> operator()(PyObject* o, const char* name) const {
        return argument(o, name, to_float32);
    }
};
struct MatrixArg {
    Result<SharedAccess<Matrix>> operator()(PyObject* o, const char* name) const {
        return matrix_argument(o, name);
    }
};
// The object as given; empty for an optional parameter that was not.
struct ObjectArg {
    Result<PyRef> operator()(PyObject* o, const char*) const { return PyRef::borrow(o); }
};

// A receiver that needs no access: functions and constructors.
inline Result<Unit> no_receiver() { return Unit{}; }

template <class C>
using ConvertedOf = std::remove_reference_t<decltype(*C{}(nullptr, nullptr))>;

template <class... Converters>
struct Params {
    Signature sig;

    // (receiver access, converted arguments...) or the first error.
    template <class Access>
    auto bind(PyObject* args, PyObject* kwargs, Access access) const -> Result<
        std::tuple<std::remove_reference_t<decltype(*access())>, ConvertedOf<Converters>...>> {
        auto bound = bind_arguments(sig, args, kwargs);
        if (!bound) return bound.error();
        auto receiver = access();
        if (!receiver) return receiver.error();
        using Values =
            std::tuple<std::remove_reference_t<decltype(*access())>, ConvertedOf<Converters>...>;
        return convert<Values, 0>(*bound, std::tuple(std::move(*receiver)));
    }

private:
    // Converts argument I and those after it, left to right, onto `done`.
    template <class Values, std::size_t I, class Done>
    Result<Values> convert(const BoundArgs& bound, Done done) const {
        if constexpr (I == sizeof...(Converters)) {
            return done;
        } else {
            using Converter = std::tuple_element_t<I, std::tuple<Converters...>>;
            auto value = Converter{}(bound[I].get(), sig.params[I].data());
            if (!value) return value.error();
            return convert<Values, I + 1>(
                bound, std::tuple_cat(std::move(done), std::tuple(std::move(*value))));
        }
    }
};

// Runs one entry in the guarded frame: binds and converts with `params`
// (the receiver through `access`), then returns body(receiver, values...).
template <class P, class Access, class Body>
PyObject* run_entry(const P& params, PyObject* args, PyObject* kwargs, Access access, Body body,
                    std::source_location where = std::source_location::current()) noexcept {
    return run_guarded(
        [&]() -> Result<PyRef> {
            auto values = params.bind(args, kwargs, access);
            if (!values) return values.error();
            return std::apply(body, *values);
        },
        where);
}

// A method without parameters: access to the receiver, then body(receiver).
template <class Access, class Body>
PyObject* run_method(Access access, Body body,
                     std::source_location where = std::source_location::current()) noexcept {
    return run_guarded(
        [&]() -> Result<PyRef> {
            auto receiver = access();
            if (!receiver) return receiver.error();
            return body(*receiver);
        },
        where);
}

}  // namespace kestrix::py
