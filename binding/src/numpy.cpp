// Reaching NumPy, accepting array arguments, and result arrays over our buffers.

#include "kestrix/numpy.hpp"

#include "numpy_api.hpp"
#include "state.hpp"

namespace kestrix::binding {
namespace numpy {
namespace {

PyRef import(const char* name) {
    PyRef m = PyRef::steal(PyImport_ImportModule(name));
    if (!m) raise_fetched();
    return m;
}

PyRef attr(PyObject* obj, const char* name) {
    PyRef a = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!a) raise_fetched();
    return a;
}

// First use in this module: the major version picks the core package, whose
// multiarray module carries the table in its _ARRAY_API capsule.
void load() {
    PyRef np = import("numpy");
    PyRef version = attr(np.get(), "__version__");
    PyRef lib = import("numpy.lib");
    PyRef numpy_version = attr(lib.get(), "NumpyVersion");
    PyRef parsed = PyRef::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) raise_fetched();
    PyRef major_obj = attr(parsed.get(), "major");
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) raise_fetched();
    if (major < 0 || major > 255) {
        throw PendingError::lazy(PyExc_OverflowError,
                                 "out of range integral type conversion attempted");
    }
    std::string core = major >= 2 ? "numpy._core" : "numpy.core";
    std::string multiarray = core + ".multiarray";
    PyRef module = import(multiarray.c_str());
    PyRef capsule = attr(module.get(), "_ARRAY_API");
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) {
        raise_type_mismatch(capsule.get(), "PyCapsule");
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (!name && PyErr_Occurred()) raise_fetched();
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (!table) raise_fetched();  // a table we cannot read is unusable

    FrameState& s = state();
    s.core = std::move(core);
    s.multiarray = std::move(multiarray);
    s.api_capsule = capsule.release();
    s.api = static_cast<void**>(table);
}

}  // namespace

void** api() {
    if (!state().api) {
        try {
            load();
        } catch (PendingError& e) {
            panic_with_error("Failed to access NumPy array API capsule", std::move(e));
        }
    }
    return state().api;
}

PyRef import_multiarray() {
    api();
    return import(state().multiarray.c_str());
}

}  // namespace numpy

namespace detail {
namespace {

std::size_t item_size_of(ElementType type) { return type == ElementType::Bool ? 1 : 8; }

// ---------------------------------------------------------------- PySliceContainer

struct SliceContainer {
    PyObject_HEAD
    RawBlock block;
};

void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    RawBlock& b = reinterpret_cast<SliceContainer*>(self)->block;
    if (b.release) b.release(b.ptr, b.count, b.capacity);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* holder_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

PyTypeObject* holder_type() {
    FrameState& s = state();
    if (!s.holder_type) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&holder_dealloc)},
            {Py_tp_new, reinterpret_cast<void*>(&holder_new)},
            {Py_tp_doc, const_cast<char*>(
                            "Utility type for safely keeping a natively allocated buffer "
                            "(a fixed slice or a growable vector) on the Python heap.")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise_fetched();
            PyErr_Print();
            panic("failed to create type object for PySliceContainer");
        }
        s.holder_type = reinterpret_cast<PyTypeObject*>(t);
    }
    return s.holder_type;
}

}  // namespace

PyRef accept_array(PyObject* obj, ElementType type, int ndim) {
    void** t = numpy::api();
    if (!PyObject_TypeCheck(obj, numpy::array_type(t)) || numpy::fields(obj)->nd != ndim) {
        raise_type_mismatch(obj, "PyArray<T, D>");
    }
    PyObject* wanted = numpy::descr_from_type(t, static_cast<int>(type));
    if (!wanted) api_call_failed();
    PyObject* have = numpy::fields(obj)->descr;
    bool same = have == wanted || numpy::equiv_types(t, have, wanted);
    Py_DECREF(wanted);
    if (!same) raise_type_mismatch(obj, "PyArray<T, D>");
    PyRef ref = PyRef::borrow(obj);
    numpy::borrow_acquire(obj, item_size_of(type));
    return ref;
}

void release_array(PyRef& array, ElementType type) noexcept {
    if (!array) return;
    numpy::borrow_release(array.get(), item_size_of(type));
    array = PyRef();
}

const char* array_data(PyObject* array) noexcept { return numpy::fields(array)->data; }
const Py_ssize_t* array_shape(PyObject* array) noexcept {
    return numpy::fields(array)->dimensions;
}
const Py_ssize_t* array_strides(PyObject* array) noexcept {
    return numpy::fields(array)->strides;
}

PyRef wrap_block(RawBlock block, ElementType type, int ndim, const Py_ssize_t* shape,
                 std::size_t item_size) {
    PyTypeObject* htype;
    try {
        htype = holder_type();
    } catch (...) {
        block.release(block.ptr, block.count, block.capacity);
        throw;
    }
    PyObject* raw = htype->tp_alloc(htype, 0);
    if (!raw) {
        block.release(block.ptr, block.count, block.capacity);
        panic_with_error("Failed to create slice container", PendingError::fetch());
    }
    reinterpret_cast<SliceContainer*>(raw)->block = block;
    PyRef holder = PyRef::steal(raw);  // from here on the holder frees the block

    void** t = numpy::api();
    PyObject* descr = numpy::descr_from_type(t, static_cast<int>(type));
    if (!descr) api_call_failed();

    Py_ssize_t strides[2] = {0, 0};
    bool empty = false;
    for (int k = 0; k < ndim; ++k) empty = empty || shape[k] == 0;
    if (!empty) {
        strides[ndim - 1] = static_cast<Py_ssize_t>(item_size);
        if (ndim == 2) strides[0] = shape[1] * static_cast<Py_ssize_t>(item_size);
    }
    PyRef array = PyRef::steal(numpy::new_from_descr(t, numpy::array_type(t), descr, ndim, shape,
                                                     strides, block.ptr, numpy::kWriteable,
                                                     nullptr));
    if (!array) api_call_failed();
    if (numpy::set_base_object(t, array.get(), holder.release()) < 0) api_call_failed();
    return array;
}

}  // namespace detail
}  // namespace kestrix::binding
