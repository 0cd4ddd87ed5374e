#pragma once
// The per-call entry: bind the arguments, run the body, hand back its result
// or raise what it threw; and the method record that CPython calls it through.

#include <new>

#include "kestrix/arguments.hpp"
#include "kestrix/errors.hpp"
#include "kestrix/function.hpp"

namespace kestrix::binding {

namespace detail {
PyObject* raise_internal_failure(const InternalFailure& failure) noexcept;
PyObject* raise_no_memory() noexcept;
PyObject* raise_unknown() noexcept;

// The declaration that a body `PyRef body(const Arguments<F>&)` reads.
template <class Body>
struct DeclarationOf;
template <const auto& F>
struct DeclarationOf<PyRef (*)(const Arguments<F>&)> {
    static constexpr const auto& kFunction = F;
};
}  // namespace detail

/// Runs a function body, handing back its result or raising what it threw.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (PendingError& error) {
        std::move(error).restore();
        return nullptr;
    } catch (const InternalFailure& failure) {
        return detail::raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        return detail::raise_no_memory();
    } catch (...) {
        return detail::raise_unknown();
    }
}

namespace detail {
// Binding and body together, out of line: kept apart from the entry's
// exception handling, a call runs measurably faster.
template <auto Body>
[[gnu::noinline]] PyRef bind_and_run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return Body(Arguments<DeclarationOf<decltype(Body)>::kFunction>(args, nargs, kwnames));
}
}  // namespace detail

/// The fast-call entry of a body `PyRef body(const Arguments<F>&)`.
template <auto Body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return detail::bind_and_run<Body>(args, nargs, kwnames); });
}

/// The method record of a body, built from its function's declaration: name,
/// fast-call entry, flags and docstring. A constant: the compiler lays it out
/// in the binary (the function pointer cast keeps it from being constexpr).
template <auto Body>
inline const PyMethodDef kMethod{
    detail::DeclarationOf<decltype(Body)>::kFunction.name,
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Body>)),
    METH_FASTCALL | METH_KEYWORDS,
    Docstring<detail::DeclarationOf<decltype(Body)>::kFunction>::kText.data()};

}  // namespace kestrix::binding
