#pragma once
// PyRef: one owned reference to a Python object, move-only. Every header of
// the frame that touches Python includes Python.h through this one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrix::binding {

/// One owned reference, move-only.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);  // last, as Py_SETREF: a finalizer may run Python code
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : obj_(object) {}
    PyObject* obj_ = nullptr;
};

}  // namespace kestrix::binding
