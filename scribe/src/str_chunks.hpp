#pragma once
// StrChunks: the lines argument of a parse, as UTF-8 views handed out a chunk
// at a time and converted just ahead of their use.

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "kestrix/str_sequence.hpp"

namespace kestrix::scribe {

/// The items of a sequence of str as UTF-8 views, handed out a chunk at a time
/// and converted just ahead of their use, so that a parse finds each line still
/// in cache. An exact list or tuple is walked in place and held by one
/// reference to itself, not one per item (a million references taken and
/// dropped cost more than the parse): its views stay valid only until Python
/// code runs, which could replace a list's items; a caller drops them first.
/// Each chunk is read from the list as it is then; one that has become too
/// short for the next item is an internal failure naming its length and that
/// item. Another sequence is converted whole first, by StrSequence::from.
class StrChunks {
public:
    static constexpr std::size_t kChunk = 1024;

    /// Chunks of an exact list or tuple, converted lazily; else converted whole.
    static StrChunks lazy(PyObject* obj);
    /// Chunks of lines already converted.
    static StrChunks of(binding::StrSequence whole) noexcept;

    std::size_t size() const noexcept { return size_; }
    /// The next up to kChunk views (fewer where a list was shortened); empty
    /// once all were handed out. Throws what converting an item throws (a
    /// PendingError), or InternalFailure for an item the list no longer has.
    std::span<const std::string_view> next();
    /// Item `index` (0-based, of the whole sequence), from the chunk handed out last.
    std::string_view line(std::size_t index) const noexcept { return chunk_[index - first_]; }
    /// Converts the items not yet handed out, for their conversion errors only:
    /// those come before any error found in the lines.
    void check_rest();

private:
    binding::StrSequence whole_;
    binding::PyRef owner_;  // the list or tuple walked lazily, or null
    std::vector<std::string_view> buffer_;
    std::span<const std::string_view> chunk_;
    std::size_t size_ = 0;
    std::size_t done_ = 0;   // items handed out
    std::size_t first_ = 0;  // index of chunk_[0]
};

}  // namespace kestrix::scribe

template <>
struct kestrix::binding::Convert<kestrix::scribe::StrChunks> {
    static scribe::StrChunks from(PyObject* obj) { return scribe::StrChunks::lazy(obj); }
};
