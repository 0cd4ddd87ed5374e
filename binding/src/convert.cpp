// Conversions of argument objects to native values. Each throws a
// PendingError; BoundArguments rewraps it with the parameter's name.

#include <algorithm>

#include "kestrix/binding.hpp"
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

// Refuses what is no sequence of items (a str among them); returns how many
// items to reserve room for. The length only sizes the buffer (a hostile
// __len__ must not make us reserve absurd amounts).
std::size_t sequence_capacity(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        throw PendingError::lazy(PyExc_TypeError, "a str cannot be extracted into a vector");
    }
    if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        n = 0;
    }
    return std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 24);
}

// Reading items by iteration.
template <class T, class Item>
std::vector<T> to_vector(PyObject* obj, Item&& convert_item) {
    std::size_t capacity = sequence_capacity(obj);
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

namespace {

// The UTF-8 text of a str: ASCII strs are their own UTF-8, read in place.
inline std::string_view str_view(PyObject* item) {
    if (PyUnicode_Check(item) && PyUnicode_IS_COMPACT_ASCII(item)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
    }
    return to_str(item);
}

// How many items ahead a walk asks for the item objects' first bytes.
constexpr std::size_t kPrefetchItems = 16;

}  // namespace

void StrSequence::reserve(Py_ssize_t n) {
    std::size_t capacity = std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 24);
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
    s.reserve(static_cast<Py_ssize_t>(sequence_capacity(obj)));
    PyRef it = PyRef::steal(PyObject_GetIter(obj));
    if (!it) raise_fetched();
    while (PyObject* item = PyIter_Next(it.get())) s.append(item);
    if (PyErr_Occurred()) raise_fetched();
    return s;
}

StrChunks StrChunks::lazy(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return of(StrSequence::from(obj));
    StrChunks c;
    c.owner_ = PyRef::borrow(obj);
    c.size_ = static_cast<std::size_t>(Py_SIZE(obj));
    c.buffer_.resize(std::min(c.size_, kChunk));
    return c;
}

StrChunks StrChunks::of(StrSequence whole) noexcept {
    StrChunks c;
    c.whole_ = std::move(whole);
    c.size_ = c.whole_.size();
    return c;
}

std::span<const std::string_view> StrChunks::next() {
    std::size_t n = std::min(kChunk, size_ - done_);
    first_ = done_;
    if (!owner_) {
        chunk_ = whole_.views().subspan(done_, n);
        done_ += n;
        return chunk_;
    }
    PyObject* obj = owner_.get();
    // Python code run between chunks (a signal handler) may have changed a
    // list: its items are read as they are now, and a line it no longer has
    // is a missing entry.
    std::size_t len = static_cast<std::size_t>(Py_SIZE(obj));
    if (n > 0 && len <= done_) {
        panic(missing_entry_message(len, done_));
    }
    n = std::min(n, len - done_);
    PyObject** items = PyList_CheckExact(obj) ? reinterpret_cast<PyListObject*>(obj)->ob_item
                                              : reinterpret_cast<PyTupleObject*>(obj)->ob_item;
    std::size_t ahead = std::min(len, done_ + n + kPrefetchItems);
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = done_ + k;
        if (i + kPrefetchItems < ahead) {
            // The object's header and, past it, the first bytes of its text.
            __builtin_prefetch(items[i + kPrefetchItems]);
            __builtin_prefetch(reinterpret_cast<const char*>(items[i + kPrefetchItems]) + 64);
        }
        buffer_[k] = str_view(items[i]);
    }
    done_ += n;
    chunk_ = std::span<const std::string_view>(buffer_.data(), n);
    return chunk_;
}

void StrChunks::check_rest() {
    while (done_ < size_) next();
}

}  // namespace kestrix::binding
