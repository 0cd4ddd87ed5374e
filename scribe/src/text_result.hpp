#pragma once
// Writer output as a Python str: text of one byte a character is written
// straight into the str's own bytes; wider text is converted from UTF-8 once,
// at its final kind.

#include <cstddef>
#include <string_view>

#include "kestrix/binding.hpp"
#include "text_buffer.hpp"
#include "utf8_text.hpp"

namespace kestrix::scribe {

// Output of one byte a character is written straight into the bytes of a new
// str, which finally shrinks in place: no second copy of a large text. Growing it
// may copy (the allocator's realloc), so the first block gets half again the
// estimate as headroom; pages that are never written cost nothing. Where
// memory holds the estimate but not the headroom, the estimate alone it is.
class OneByteStrStorage final : public TextStorage {
public:
    /// For a str whose characters are ASCII (maxchar 0x7F) or Latin-1 (0xFF).
    explicit OneByteStrStorage(Py_UCS4 maxchar) noexcept : maxchar_(maxchar) {}

    char* reallocate(std::size_t, std::size_t& capacity) override;
    /// The bytes written so far; null before the first.
    char* data() const noexcept {
        return str_ ? reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_.get())) : nullptr;
    }
    /// The str holding the first `size` bytes written.
    binding::PyRef finish(std::size_t size);

private:
    binding::PyRef new_str_of(std::size_t length) const;
    void resize(std::size_t length);

    Py_UCS4 maxchar_;
    binding::PyRef str_;
};

/// A str of two or four bytes a character (maxchar 0xFFFF or 0x10FFFF) from
/// UTF-8, made at its final kind: CPython's decoder would first build an ASCII
/// str and widen it into another while the text is still held.
binding::PyRef wide_str(std::string_view utf8, Py_UCS4 maxchar);

/// Runs `write` on a TextBuffer and returns the text, UTF-8, as a new str;
/// `maxchar` is widest_char_bound of what is written: the str's kind.
template <class Write>
binding::PyRef text_result(Py_UCS4 maxchar, Write&& write) {
    if (maxchar <= 0xFF) {
        // Latin-1 text is written as UTF-8 too, then narrowed where it lies:
        // its UTF-8 is never shorter than its characters.
        OneByteStrStorage storage(maxchar);
        std::size_t size;
        {
            TextBuffer out(storage);
            write(out);
            size = out.size();
        }
        if (maxchar > 0x7F && size > 0) size = narrow_utf8_in_place(storage.data(), size);
        return storage.finish(size);
    }
    TextBuffer out;
    write(out);
    return wide_str(out.view(), maxchar);
}

}  // namespace kestrix::scribe
