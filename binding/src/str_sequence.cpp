// Converting a sequence of str into UTF-8 views held for the call.

#include <algorithm>

#include "kestrix/str_sequence.hpp"

namespace kestrix::binding {

void StrSequence::reserve(Py_ssize_t count) {
    std::size_t capacity = std::min<std::size_t>(static_cast<std::size_t>(count), detail::kMostReserved);
    items_.reserve(capacity);
    views_.reserve(capacity);
}

void StrSequence::append(PyObject* item) {
    PyRef owned = PyRef::steal(item);  // dropped if the item is refused
    std::string_view view = str_view(item);
    views_.push_back(view);
    items_.push_back(item);
    static_cast<void>(owned.release());
}

void StrSequence::release() noexcept {
    // Last item first: the items a caller read last are the likeliest to be
    // still in cache.
    PyObject** items = items_.data();
    for (std::size_t k = items_.size(); k-- > 0;) {
        if (k >= kPrefetchItems) __builtin_prefetch(items[k - kPrefetchItems], 1);
        Py_DECREF(items[k]);
    }
    items_.resize_uninitialised(0);
}

namespace {

// Walks an exact list or tuple in place: what its iterator yields, without the
// iterator. A list is re-measured at every step, as its iterator does; no
// Python code runs meanwhile, so each item stays alive. `keep(item)` is called
// once each item's view is taken.
template <class Keep>
void walk_in_place(PyObject* obj, OwnedBuffer<std::string_view>& views, Keep&& keep) {
    bool list = PyList_CheckExact(obj);
    for (Py_ssize_t k = 0; k < Py_SIZE(obj); ++k) {
        PyObject** items = list ? reinterpret_cast<PyListObject*>(obj)->ob_item
                                : reinterpret_cast<PyTupleObject*>(obj)->ob_item;
        if (k + Py_ssize_t(kPrefetchItems) < Py_SIZE(obj))
            __builtin_prefetch(items[k + Py_ssize_t(kPrefetchItems)], 1);
        PyObject* item = items[k];
        views.push_back(str_view(item));
        keep(item);
    }
}

}  // namespace

StrSequence StrSequence::from(PyObject* obj) {
    StrSequence s;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        s.reserve(Py_SIZE(obj));
        walk_in_place(obj, s.views_, [&s](PyObject* item) {
            s.items_.push_back(item);  // room reserved above unless past 2^24 items
            Py_INCREF(item);           // owned by items_ from here on
        });
        return s;
    }
    s.reserve(static_cast<Py_ssize_t>(detail::sequence_capacity(obj)));
    PyRef it = PyRef::steal(PyObject_GetIter(obj));
    if (!it) raise_fetched();
    while (PyObject* item = PyIter_Next(it.get())) s.append(item);
    if (PyErr_Occurred()) raise_fetched();
    return s;
}

}  // namespace kestrix::binding
