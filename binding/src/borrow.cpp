// The record of arrays in use, shared by every module of the process (and by
// any extension that follows the same convention) as a capsule attribute of
// NumPy's core multiarray module.
//
// Convention, version 1: attribute "_KESTRIX_ARRAY_BORROW_RECORD", a capsule
// named "kestrix.array_borrow_record" whose pointer is a BorrowRecordApi.
// Readers of the same memory coexist; a writer excludes everyone else.
// Registrations are keyed by the owner of the memory (the end of the array's
// base chain) and the byte range the array's view spans.

#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "kestrix/errors.hpp"
#include "numpy_api.hpp"
#include "state.hpp"

namespace kestrix::binding {

struct BorrowRecordApi {
    std::uint64_t version;
    void* record;
    /// 0: registered; -1: the memory is registered for writing; -2: failure;
    /// -3: out of memory (a record of ours; others may say -2).
    int (*acquire)(void* record, PyObject* array, std::size_t item_size);
    /// 0: registered; -1: the memory is in use; -2: failure; -3: out of memory.
    int (*acquire_mut)(void* record, PyObject* array, std::size_t item_size);
    void (*release)(void* record, PyObject* array, std::size_t item_size);
    void (*release_mut)(void* record, PyObject* array, std::size_t item_size);
};

namespace numpy {
namespace {

constexpr const char* kAttribute = "_KESTRIX_ARRAY_BORROW_RECORD";
constexpr const char* kCapsuleName = "kestrix.array_borrow_record";

struct Span {
    std::uintptr_t lo, hi;  // bytes [lo, hi); empty for an array without elements
    bool overlaps(const Span& o) const noexcept { return lo < o.hi && o.lo < hi; }
    bool operator==(const Span&) const = default;
};

struct Entry {
    Span span;
    long readers;  // 0 for the writer's entry
};

struct Record {
    std::unordered_map<PyObject*, std::vector<Entry>> by_owner;
};

PyObject* owner_of(PyObject* array) {
    PyTypeObject* array_type = numpy::array_type(api());
    PyObject* a = array;
    while (PyObject* base = fields(a)->base) {
        if (!PyObject_TypeCheck(base, array_type)) return base;
        a = base;
    }
    return a;
}

Span span_of(PyObject* array, std::size_t item_size) {
    ArrayFields* f = fields(array);
    std::intptr_t lo = reinterpret_cast<std::intptr_t>(f->data), hi = lo;
    for (int k = 0; k < f->nd; ++k) {
        if (f->dimensions[k] == 0) return Span{0, 0};
        std::intptr_t reach = (f->dimensions[k] - 1) * f->strides[k];
        (reach < 0 ? lo : hi) += reach;
    }
    return Span{static_cast<std::uintptr_t>(lo),
                static_cast<std::uintptr_t>(hi) + static_cast<std::uintptr_t>(item_size)};
}

int acquire(void* record, PyObject* array, std::size_t item_size) {
    try {
        auto& entries = static_cast<Record*>(record)->by_owner[owner_of(array)];
        Span span = span_of(array, item_size);
        for (const Entry& e : entries) {
            if (e.readers == 0 && e.span.overlaps(span)) return -1;
        }
        for (Entry& e : entries) {
            if (e.readers > 0 && e.span == span) {
                ++e.readers;
                return 0;
            }
        }
        entries.push_back(Entry{span, 1});
        return 0;
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (...) {
        return -2;
    }
}

int acquire_mut(void* record, PyObject* array, std::size_t item_size) {
    try {
        auto& entries = static_cast<Record*>(record)->by_owner[owner_of(array)];
        Span span = span_of(array, item_size);
        for (const Entry& e : entries) {
            if (e.span.overlaps(span)) return -1;
        }
        entries.push_back(Entry{span, 0});
        return 0;
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (...) {
        return -2;
    }
}

void release_entry(void* record, PyObject* array, std::size_t item_size, bool writer) {
    auto& by_owner = static_cast<Record*>(record)->by_owner;
    auto it = by_owner.find(owner_of(array));
    if (it == by_owner.end()) return;
    Span span = span_of(array, item_size);
    auto& entries = it->second;
    for (auto e = entries.begin(); e != entries.end(); ++e) {
        if (e->span == span && (e->readers == 0) == writer) {
            if (writer || --e->readers == 0) entries.erase(e);
            break;
        }
    }
    if (entries.empty()) by_owner.erase(it);
}

void release(void* record, PyObject* array, std::size_t item_size) {
    release_entry(record, array, item_size, false);
}

void release_mut(void* record, PyObject* array, std::size_t item_size) {
    release_entry(record, array, item_size, true);
}

// Finds the record on the multiarray module, or creates it there.
BorrowRecordApi* reach_record() {
    FrameState& s = state();
    if (s.borrow) return s.borrow;
    try {
        PyRef module = import_multiarray();
        PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), kAttribute));
        if (!capsule) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_fetched();
            PyErr_Clear();
            // Kept for the life of the process, as the capsule that points to it.
            auto* api = new BorrowRecordApi{1, new Record, &acquire, &acquire_mut, &release,
                                            &release_mut};
            capsule = PyRef::steal(PyCapsule_New(api, kCapsuleName, nullptr));
            if (!capsule) raise_fetched();
            if (PyObject_SetAttrString(module.get(), kAttribute, capsule.get()) < 0) {
                raise_fetched();
            }
        }
        if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) {
            raise_type_mismatch(capsule.get(), "PyCapsule");
        }
        const char* name = PyCapsule_GetName(capsule.get());
        if (!name && PyErr_Occurred()) raise_fetched();
        auto* api = static_cast<BorrowRecordApi*>(PyCapsule_GetPointer(capsule.get(), name));
        if (!api) raise_fetched();
        if (api->version < 1) {
            throw PendingError::lazy(PyExc_RuntimeError,
                                     "borrow record version " + std::to_string(api->version) +
                                         " is older than 1");
        }
        s.borrow_capsule = capsule.release();
        s.borrow = api;
    } catch (PendingError& e) {
        panic_with_error("Interal borrow checking API error", std::move(e));
    }
    return s.borrow;
}

}  // namespace

void borrow_acquire(PyObject* array, std::size_t item_size) {
    BorrowRecordApi* r = reach_record();
    int rc = r->acquire(r->record, array, item_size);
    if (rc == -1) {
        panic("an array argument could not be registered for reading, where success was "
              "expected: AlreadyBorrowed");
    }
    if (rc == -3) throw std::bad_alloc();
    if (rc != 0) panic("Interal borrow checking API error: the record refused a reader");
}

void borrow_release(PyObject* array, std::size_t item_size) noexcept {
    if (BorrowRecordApi* r = state().borrow) r->release(r->record, array, item_size);
}

}  // namespace numpy
}  // namespace kestrix::binding
