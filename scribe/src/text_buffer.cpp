// TextBuffer's growth: a native block of the frame's allocator, or the blocks
// of a TextStorage, enlarged geometrically and, short of memory, in smaller
// steps.

#include "text_buffer.hpp"

#include <cstdint>
#include <cstring>
#include <new>

#include "kestrix/buffer.hpp"

namespace kestrix::scribe {

TextBuffer::~TextBuffer() {
    if (!storage_ && capacity_) kestrix::detail::block_free(data_, capacity_);
}

void TextBuffer::reallocate(std::size_t capacity) {
    if (storage_) {
        data_ = storage_->reallocate(size_, capacity);  // may give more than asked
    } else {
        data_ = static_cast<char*>(capacity_ ? kestrix::detail::block_resize(data_, capacity_, capacity)
                                             : kestrix::detail::block_allocate(capacity, false));
    }
    capacity_ = capacity;
}

void TextBuffer::reserve_rows(std::size_t rows, std::size_t per_row, std::size_t extra) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(rows, per_row, &bytes) ||
        __builtin_add_overflow(bytes, extra, &bytes) || bytes > PTRDIFF_MAX)
        throw std::bad_alloc();
    reserve(bytes);
}

void TextBuffer::grow(std::size_t bytes) {
    if (bytes > PTRDIFF_MAX - size_) throw std::bad_alloc();
    std::size_t need = size_ + bytes;
    // Half again as much, for speed only: where memory lacks that, smaller
    // steps (still geometric, so that rows do not each move the text), then
    // just what the text needs. A text that fits in memory gets made.
    for (std::size_t step : {capacity_ / 2, capacity_ / 8, capacity_ / 64}) {
        if (need >= capacity_ + step) break;
        try {
            reallocate(capacity_ + step);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    reallocate(need);
}

void TextBuffer::append(std::string_view text) {
    if (text.empty()) return;
    std::memcpy(prepare(text.size()), text.data(), text.size());
    size_ += text.size();
}

}  // namespace kestrix::scribe
