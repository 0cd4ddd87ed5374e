// Module start-up, function registration and result objects.

#include "kestrix/call.hpp"
#include "kestrix/module.hpp"
#include "kestrix/results.hpp"
#include "state.hpp"

namespace kestrix::binding {

FrameState& state() noexcept {
    static FrameState s;
    return s;
}

PyObject* interned(PyObject*& slot, const char* text) {
    if (!slot) slot = checked_new(PyUnicode_InternFromString(text)).release();
    return slot;
}

namespace {

constexpr const char* kSubinterpreterRefusal =
    "kestrix native modules do not yet support sub-interpreters; "
    "see entry 2 of the kestrix issue tracker";

void add_function(PyObject* module, const PyMethodDef& record) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) raise_fetched();
    // CPython keeps a pointer to the definition for the life of the function:
    // a copy of its own, never freed.
    auto* def = new PyMethodDef(record);
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) raise_fetched();

    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(state().name_name, "__name__")));
    if (!name) raise_fetched();
    if (!PyUnicode_Check(name.get())) raise_type_mismatch(name.get(), "PyString");

    PyObject* all_name = interned(state().all_name, "__all__");
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_fetched();
        PyErr_Clear();
        all = checked_new(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) raise_fetched();
    }
    if (!PyList_Check(all.get())) raise_type_mismatch(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) < 0) {
        panic_with_error("could not append __name__ to __all__", PendingError::fetch());
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) raise_fetched();
}

}  // namespace

PyObject* module_init(ModuleDefinition& definition) noexcept {
    return guard([&]() -> PyRef {
        std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) raise_fetched();
        std::int64_t expected = -1;
        if (!definition.interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
            throw PendingError::lazy(PyExc_ImportError, kSubinterpreterRefusal);
        }
        if (definition.cache) return PyRef::borrow(definition.cache);

        PyRef module = PyRef::steal(PyModule_Create2(&definition.def, PYTHON_API_VERSION));
        if (!module) raise_fetched();
        for (const PyMethodDef* record : definition.functions) add_function(module.get(), *record);
        if (!definition.cache) definition.cache = Py_NewRef(module.get());
        return PyRef::borrow(definition.cache);
    });
}

// ---------------------------------------------------------------- results

PyRef new_tuple(std::span<PyRef> items) {
    PyRef tuple = checked_new(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t k = 0; k < items.size(); ++k) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
    }
    return tuple;
}

PyRef new_str(std::string_view utf8) {
    if (utf8.size() > PY_SSIZE_T_MAX) throw std::bad_alloc();
    return checked_new(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

}  // namespace kestrix::binding
