// Built by test_binding_arrays.py against the running NumPy's headers: each
// entry of NumPy's table that the frame calls must sit at the frame's index
// and have the frame's type, NumPy's own structs read as PyObject.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The table is ours to fill, and NumPy's import code (which calls into
// Python) stays out of the program.
#define PY_ARRAY_UNIQUE_SYMBOL kestrix_checked_table
#define NO_IMPORT_ARRAY
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "numpy_api.hpp"

void** kestrix_checked_table = nullptr;

namespace slot = kestrix::binding::numpy::slot;

// What the frame passes for NumPy's pointer types.
template <class T> struct AsFrame { using type = T; };
template <> struct AsFrame<PyArray_Descr*> { using type = PyObject*; };
template <> struct AsFrame<PyArrayObject*> { using type = PyObject*; };
template <> struct AsFrame<const npy_intp*> { using type = const Py_ssize_t*; };

template <class F> struct Framed;
template <class R, class... A> struct Framed<R (&)(A...)> {
    using type = typename AsFrame<R>::type (*)(typename AsFrame<A>::type...);
};
template <class Numpy, class Frame>
constexpr bool same_type = std::is_same_v<typename Framed<Numpy>::type, Frame>;

static_assert(std::is_same_v<npy_intp, Py_ssize_t>);

// The leading fields of an array, read without NumPy's headers.
using Fields = kestrix::binding::numpy::ArrayFields;
static_assert(offsetof(Fields, data) == offsetof(PyArrayObject_fields, data));
static_assert(offsetof(Fields, nd) == offsetof(PyArrayObject_fields, nd));
static_assert(offsetof(Fields, dimensions) == offsetof(PyArrayObject_fields, dimensions));
static_assert(offsetof(Fields, strides) == offsetof(PyArrayObject_fields, strides));
static_assert(offsetof(Fields, base) == offsetof(PyArrayObject_fields, base));
static_assert(offsetof(Fields, descr) == offsetof(PyArrayObject_fields, descr));
static_assert(offsetof(Fields, flags) == offsetof(PyArrayObject_fields, flags));
static_assert(kestrix::binding::numpy::kWriteable == NPY_ARRAY_WRITEABLE);
static_assert(same_type<decltype(PyArray_DescrFromType), slot::DescrFromType>);
static_assert(same_type<decltype(PyArray_NewFromDescr), slot::NewFromDescr>);
static_assert(same_type<decltype(PyArray_EquivTypes), slot::EquivTypes>);
static_assert(same_type<decltype(PyArray_SetBaseObject), slot::SetBaseObject>);

int main() {
    // A table whose every entry holds its own index: each NumPy macro then
    // reads back the index it names.
    static void* table[1024];
    for (std::intptr_t k = 0; k < 1024; ++k) table[k] = reinterpret_cast<void*>(k);
    PyArray_API = table;
    auto at = [](const void* entry) { return static_cast<int>(reinterpret_cast<std::intptr_t>(entry)); };
    struct { const char* name; int numpy, frame; } checks[] = {
        {"PyArray_Type", at(&PyArray_Type), slot::kArrayType},
        {"PyArray_DescrFromType", at(reinterpret_cast<const void*>(&PyArray_DescrFromType)), slot::kDescrFromType},
        {"PyArray_NewFromDescr", at(reinterpret_cast<const void*>(&PyArray_NewFromDescr)), slot::kNewFromDescr},
        {"PyArray_EquivTypes", at(reinterpret_cast<const void*>(&PyArray_EquivTypes)), slot::kEquivTypes},
        {"PyArray_SetBaseObject", at(reinterpret_cast<const void*>(&PyArray_SetBaseObject)), slot::kSetBaseObject},
    };
    int wrong = 0;
    for (const auto& c : checks) {
        std::printf("%s %d %d\n", c.name, c.numpy, c.frame);
        wrong += c.numpy != c.frame;
    }
    return wrong;
}
