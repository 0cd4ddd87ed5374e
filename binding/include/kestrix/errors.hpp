#pragma once
// The error model: Python exceptions carried through C++ as PendingError, the
// builders of the modules' errors, and the "Python API call failed" path.

#include <source_location>
#include <string>

#include "kestrix/panic.hpp"
#include "kestrix/ref.hpp"

namespace kestrix::binding {

/// A Python exception not yet handed to the interpreter, thrown as a C++
/// exception through the frame. Lazy (class and message; the exception object
/// is built only when raised or inspected) or materialised (an exception object).
class PendingError {
public:
    /// Lazy error of `type` (a borrowed, immortal class such as PyExc_ValueError).
    static PendingError lazy(PyObject* type, std::string message);
    /// Materialised error around an exception object.
    static PendingError materialised(PyRef exception);
    /// The exception that a failing CPython call left pending. A pending
    /// PanicException of this module resumes as an InternalFailure (thrown);
    /// no pending exception gives SystemError.
    static PendingError fetch();

    /// The exception's class (borrowed).
    PyObject* type() const noexcept;
    /// A MemoryError, KeyboardInterrupt or SystemExit (or subclass): a failed
    /// allocation or a signal handler's exit, which the caller gets unchanged.
    bool is_callers_own() const noexcept;
    /// Builds the exception object if it is lazy; never fails (a failure to
    /// build one is reported through the object that CPython gives instead).
    PyObject* value();
    /// "PyErr { type: ..., value: ..., traceback: ... }".
    std::string debug_text();
    /// Makes this the thread's current exception.
    void restore() &&;

private:
    PyObject* type_ = nullptr;  // lazy: borrowed immortal class
    std::string message_;
    PyRef value_;  // materialised
};

/// Throws the lazy error; for the content errors of the modules (ValueError).
[[noreturn]] void raise_value_error(std::string message);
/// Throws the lazy TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target);
/// Throws PendingError::fetch(): a CPython call reported a failure.
[[noreturn]] void raise_fetched();

/// The "Python API call failed" path: print the pending exception, then fail.
/// A pending MemoryError is thrown on as it is instead.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());
/// Ends the call as the internal failure "{text}: {debug text of error}",
/// unless `error` is a MemoryError, which is thrown on as it is.
[[noreturn]] void panic_with_error(std::string text, PendingError error,
                                   std::source_location where = std::source_location::current());
/// Returns `created` as an owned reference, or takes the "Python API call
/// failed" path when a constructor returned NULL.
PyRef checked_new(PyObject* created,
                  std::source_location where = std::source_location::current());

/// Re-raises a conversion error of parameter `name`: exactly TypeError becomes
/// "argument '{name}': {message}" with the same __cause__; others pass.
PendingError rewrap_argument_error(const char* name, PendingError error);

}  // namespace kestrix::binding
