#pragma once
// The frame's per-module process state. The binding library is linked into
// every module with hidden symbols, so each module has its own copy of this.

#include <string>

#include "kestrix/ref.hpp"

namespace kestrix::binding {

struct BorrowRecordApi;

struct FrameState {
    PyObject* panic_type = nullptr;   // PanicException
    PyObject* name_name = nullptr;    // interned "__name__"
    PyObject* all_name = nullptr;     // interned "__all__"
    PyObject* module_name = nullptr;  // interned "__module__"
    // NumPy
    std::string core;                     // "numpy._core" or "numpy.core"
    std::string multiarray;               // "<core>.multiarray"
    void** api = nullptr;                 // the _ARRAY_API table
    PyObject* api_capsule = nullptr;
    PyTypeObject* holder_type = nullptr;  // PySliceContainer
    PyObject* borrow_capsule = nullptr;
    BorrowRecordApi* borrow = nullptr;
};

FrameState& state() noexcept;

/// This module's PanicException class, created on first use.
PyObject* panic_exception_type();

/// An interned name kept for the life of the process ("__name__", ...).
PyObject* interned(PyObject*& slot, const char* text);

}  // namespace kestrix::binding
