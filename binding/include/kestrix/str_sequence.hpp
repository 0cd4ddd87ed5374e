#pragma once
// A sequence of str converted for a call into UTF-8 views, and the in-place
// read of one str's UTF-8 that both it and the chunked readers of the
// modules use.

#include <cstddef>
#include <span>
#include <string_view>

#include "kestrix/buffer.hpp"
#include "kestrix/convert.hpp"

namespace kestrix::binding {

/// How many items ahead a walk over a list asks for the item objects' first bytes.
inline constexpr std::size_t kPrefetchItems = 16;

/// The UTF-8 text of a str: ASCII strs are their own UTF-8, read in place.
/// Throws what to_str throws for anything else.
inline std::string_view str_view(PyObject* item) {
    if (PyUnicode_Check(item) && PyUnicode_IS_COMPACT_ASCII(item)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
    }
    return to_str(item);
}

/// A sequence of str converted for a call: holds a reference to every item so
/// that the UTF-8 views stay valid, whatever the sequence yields.
class StrSequence {
public:
    StrSequence() noexcept = default;
    StrSequence(StrSequence&& other) noexcept
        : items_(std::move(other.items_)), views_(std::move(other.views_)) {}
    StrSequence& operator=(StrSequence&& other) noexcept {
        if (this != &other) {
            release();
            items_ = std::move(other.items_);
            views_ = std::move(other.views_);
        }
        return *this;
    }
    ~StrSequence() { release(); }

    std::size_t size() const noexcept { return views_.size(); }
    std::string_view operator[](std::size_t k) const noexcept { return views_[k]; }
    std::span<const std::string_view> views() const noexcept {
        return {views_.data(), views_.size()};
    }
    static StrSequence from(PyObject* obj);

private:
    void reserve(Py_ssize_t count);
    void append(PyObject* item);  // takes over one new reference to `item`
    void release() noexcept;

    // Blocks of their own rather than vectors: large ones get huge pages,
    // which a fresh block of millions of lines faults in far faster.
    OwnedBuffer<PyObject*> items_;  // one owned reference each
    OwnedBuffer<std::string_view> views_;
};

template <>
struct Convert<StrSequence> {
    static StrSequence from(PyObject* obj) { return StrSequence::from(obj); }
};

}  // namespace kestrix::binding
