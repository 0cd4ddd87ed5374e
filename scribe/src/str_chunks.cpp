// Handing out the lines of a parse a chunk at a time.

#include "str_chunks.hpp"

#include <algorithm>

#include "kestrix/panic.hpp"

namespace kestrix::scribe {

using binding::kPrefetchItems;
using binding::str_view;

StrChunks StrChunks::lazy(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj))
        return of(binding::StrSequence::from(obj));
    StrChunks chunks;
    chunks.owner_ = binding::PyRef::borrow(obj);
    chunks.size_ = static_cast<std::size_t>(Py_SIZE(obj));
    chunks.buffer_.resize(std::min(chunks.size_, kChunk));
    return chunks;
}

StrChunks StrChunks::of(binding::StrSequence whole) noexcept {
    StrChunks chunks;
    chunks.whole_ = std::move(whole);
    chunks.size_ = chunks.whole_.size();
    return chunks;
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

}  // namespace kestrix::scribe
