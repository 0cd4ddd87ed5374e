#pragma once
// The few entries of NumPy's array-interface table that the frame calls, and
// the leading fields of an array object. Both are NumPy's stable ABI, the same
// for 1.x and 2.x, so no NumPy header (and no runtime-version macro) is needed.

#include <cstddef>

#include "kestrix/ref.hpp"

namespace kestrix::binding::numpy {

/// Leading fields of every ndarray (PyArrayObject_fields).
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayFields* fields(PyObject* array) noexcept {
    return reinterpret_cast<ArrayFields*>(array);
}

inline constexpr int kWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

/// The table, reached on first use; an internal failure when NumPy is unreachable.
void** api();

/// The entries of the table the frame calls: index and type, checked against
/// NumPy's own headers by the tests.
namespace slot {
inline constexpr int kArrayType = 2;
inline constexpr int kDescrFromType = 45;
using DescrFromType = PyObject* (*)(int);
inline constexpr int kNewFromDescr = 94;
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
inline constexpr int kEquivTypes = 182;
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
inline constexpr int kSetBaseObject = 282;
using SetBaseObject = int (*)(PyObject*, PyObject*);
}  // namespace slot

inline PyTypeObject* array_type(void** t) { return static_cast<PyTypeObject*>(t[slot::kArrayType]); }
inline PyObject* descr_from_type(void** t, int type_num) {
    return reinterpret_cast<slot::DescrFromType>(t[slot::kDescrFromType])(type_num);
}
inline PyObject* new_from_descr(void** t, PyTypeObject* subtype, PyObject* descr, int nd,
                                const Py_ssize_t* dims, const Py_ssize_t* strides, void* data,
                                int flags, PyObject* obj) {
    return reinterpret_cast<slot::NewFromDescr>(t[slot::kNewFromDescr])(subtype, descr, nd, dims,
                                                                        strides, data, flags, obj);
}
inline bool equiv_types(void** t, PyObject* a, PyObject* b) {
    return reinterpret_cast<slot::EquivTypes>(t[slot::kEquivTypes])(a, b) != 0;
}
inline int set_base_object(void** t, PyObject* array, PyObject* base) {
    return reinterpret_cast<slot::SetBaseObject>(t[slot::kSetBaseObject])(array, base);
}

/// The core multiarray module ("numpy._core.multiarray" or "numpy.core.multiarray").
PyRef import_multiarray();

/// Registers `array` (an accepted ndarray) as a reader; an internal failure
/// when its memory is registered for writing or the record is unreachable.
void borrow_acquire(PyObject* array, std::size_t item_size);
/// Removes that registration.
void borrow_release(PyObject* array, std::size_t item_size) noexcept;

}  // namespace kestrix::binding::numpy
