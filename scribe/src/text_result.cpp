// OneByteStrStorage's str blocks, huge-page advice over them, and the
// two- and four-byte strs made from UTF-8.

#include "text_result.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace kestrix::scribe {

using binding::PyRef;

namespace {

// Asks for transparent huge pages over a block of `bytes` bytes about to be
// written: first touches of fresh 4 KiB pages otherwise cost several times the
// writing itself. The advice covers every page of the block, its terminating
// NUL included: all of the mapping when the allocator maps the block on its own,
// as glibc does large ones. Advice over part of a mapping would split it, and
// the allocator could then no longer grow the block in place (mremap) but
// would copy it, needing room for both. A refusal changes nothing.
void advise_huge_pages(char* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20, kPage = 4096;
    if (bytes < kHuge) return;
    auto begin = reinterpret_cast<std::uintptr_t>(data);
    std::uintptr_t first = begin & ~(kPage - 1);
    std::uintptr_t last = (begin + bytes + 1 + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Out of memory is std::bad_alloc here, as TextStorage promises, so that
// TextBuffer may ask again for less.
void throw_if_no_memory() {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    PyErr_Clear();
    throw std::bad_alloc();
}

}  // namespace

char* OneByteStrStorage::reallocate(std::size_t, std::size_t& capacity) {
    if (!str_) {
        try {
            str_ = new_str_of(capacity + capacity / 2);
            capacity += capacity / 2;
        } catch (const std::bad_alloc&) {
            str_ = new_str_of(capacity);
        }
    } else {
        resize(capacity);
    }
    char* data = this->data();
    advise_huge_pages(data, capacity);
    return data;
}

PyRef OneByteStrStorage::finish(std::size_t size) {
    if (size == 0 || !str_) return binding::new_str({});
    resize(size);
    return std::move(str_);
}

PyRef OneByteStrStorage::new_str_of(std::size_t length) const {
    if (length > PY_SSIZE_T_MAX) throw std::bad_alloc();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar_);
    if (!str) throw_if_no_memory();
    return binding::checked_new(str);
}

void OneByteStrStorage::resize(std::size_t length) {
    if (length > PY_SSIZE_T_MAX) throw std::bad_alloc();
    // The str is new, unshared and unhashed, so CPython resizes it in place;
    // on failure it keeps the old object and sets MemoryError.
    PyObject* obj = str_.release();
    int rc = PyUnicode_Resize(&obj, static_cast<Py_ssize_t>(length));
    str_ = PyRef::steal(obj);
    if (rc < 0) {
        throw_if_no_memory();
        binding::raise_fetched();
    }
}

PyRef wide_str(std::string_view utf8, Py_UCS4 maxchar) {
    std::size_t length = count_code_points(utf8);
    PyRef str = binding::checked_new(PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar));
    if (PyUnicode_KIND(str.get()) == PyUnicode_2BYTE_KIND) {
        widen_utf8(utf8, PyUnicode_2BYTE_DATA(str.get()));
    } else {
        widen_utf8(utf8, PyUnicode_4BYTE_DATA(str.get()));
    }
    return str;
}

}  // namespace kestrix::scribe
