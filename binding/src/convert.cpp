// Conversions of argument objects to native values. Each throws a
// PendingError; Arguments rewraps it with the parameter's name.

#include <algorithm>

#include "kestrix/convert.hpp"
#include "state.hpp"

namespace kestrix::binding {
namespace {

// A NumPy boolean scalar, recognised without importing NumPy: its type says
// it comes from module "numpy" and is named "bool_" (1.x) or "bool" (2.x).
// A type whose name cannot be read is no NumPy bool, unless memory ran out
// while reading it (a static type's names are made on demand).
bool is_numpy_bool(PyTypeObject* type) {
    PyRef module = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type),
                                                 interned(state().module_name, "__module__")));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise_fetched();
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy"))
        return false;
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise_fetched();
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

std::size_t detail::sequence_capacity(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        throw PendingError::lazy(PyExc_TypeError, "a str cannot be extracted into a vector");
    }
    if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        n = 0;
    }
    return std::min<std::size_t>(static_cast<std::size_t>(n), kMostReserved);
}

namespace {

// Reading items by iteration.
template <class T, class Item>
std::vector<T> to_vector(PyObject* obj, Item&& convert_item) {
    std::size_t capacity = detail::sequence_capacity(obj);
    std::vector<T> out;
    out.reserve(capacity);
    PyRef it = PyRef::steal(PyObject_GetIter(obj));
    if (!it) raise_fetched();
    while (PyObject* raw = PyIter_Next(it.get())) {
        PyRef item = PyRef::steal(raw);
        convert_item(item, out);
    }
    if (PyErr_Occurred()) raise_fetched();
    return out;
}

}  // namespace

bool to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool(type)) raise_type_mismatch(obj, "PyBool");
    inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (!truth) {
        PyRef name = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        const char* u = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (!u) raise_fetched();
        throw PendingError::lazy(PyExc_TypeError, std::string("object of type '") + u +
                                                      "' does not define a '__bool__' conversion");
    }
    int v = truth(obj);
    if (v < 0) raise_fetched();
    return v != 0;
}

std::uint64_t to_u64(PyObject* obj) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) raise_fetched();
        obj = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_fetched();
    return v;
}

double to_f64(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) raise_fetched();
    return v;
}

std::int64_t to_i64(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) raise_fetched();
    return v;
}

std::array<bool, 3> to_bool3(PyObject* obj) {
    if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) raise_fetched();
    if (n != 3) {
        throw PendingError::lazy(PyExc_ValueError, "expected a sequence of length 3 (got " +
                                                       std::to_string(n) + ")");
    }
    std::array<bool, 3> out{};
    for (int k = 0; k < 3; ++k) {
        PyRef key = checked_new(PyLong_FromLong(k));
        PyRef item = PyRef::steal(PyObject_GetItem(obj, key.get()));
        if (!item) raise_fetched();
        out[k] = to_bool(item.get());
    }
    return out;
}

std::vector<std::int64_t> to_i64_vector(PyObject* obj) {
    return to_vector<std::int64_t>(
        obj, [](PyRef& item, std::vector<std::int64_t>& out) { out.push_back(to_i64(item.get())); });
}

std::vector<double> to_f64_vector(PyObject* obj) {
    return to_vector<double>(
        obj, [](PyRef& item, std::vector<double>& out) { out.push_back(to_f64(item.get())); });
}

std::string_view to_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_type_mismatch(obj, "PyString");
    Py_ssize_t n = 0;
    const char* u = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!u) raise_fetched();
    return std::string_view(u, static_cast<std::size_t>(n));
}

}  // namespace kestrix::binding
