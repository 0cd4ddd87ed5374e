#pragma once
// The output text that writers append to (TextBuffer), where it keeps its
// bytes (TextStorage), and the row loop that writers run, polling between
// blocks of rows.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kestrix/poll.hpp"

namespace kestrix::scribe {

/// Where a TextBuffer keeps its bytes. Without one, a TextBuffer keeps them in
/// a native block; a caller may supply one that writes straight into the text's
/// final home instead.
class TextStorage {
public:
    /// A block of at least `capacity` bytes whose first `size` bytes are those
    /// of the current block (none at first); sets `capacity` to the block's
    /// actual size. Throws std::bad_alloc.
    virtual char* reallocate(std::size_t size, std::size_t& capacity) = 0;

protected:
    ~TextStorage() = default;
};

/// An output text that grows geometrically; writers reserve it once up front.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    explicit TextBuffer(TextStorage& storage) noexcept : storage_(&storage) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    /// Makes room for `bytes` bytes in all.
    void reserve(std::size_t bytes) {
        if (bytes > capacity_) reallocate(bytes);
    }
    /// Makes room for `rows` rows of `per_row` bytes and `extra` bytes besides;
    /// std::bad_alloc when that many bytes cannot exist.
    void reserve_rows(std::size_t rows, std::size_t per_row, std::size_t extra);
    /// Room for `bytes` more bytes; returns where to write them (see commit).
    char* prepare(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow(bytes);
        return data_ + size_;
    }
    /// Counts `bytes` written after prepare as part of the text.
    void commit(std::size_t bytes) noexcept { size_ += bytes; }
    void append(std::string_view text);
    void push_back(char c) {
        prepare(1)[0] = c;
        ++size_;
    }
    std::string_view view() const noexcept { return {data_ ? data_ : "", size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    void grow(std::size_t bytes);
    void reallocate(std::size_t capacity);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    TextStorage* storage_ = nullptr;  // null: a native block owned here
};

/// Rows that a writer formats between two polls: a few milliseconds at most,
/// even for rows of the longest numbers.
inline constexpr std::ptrdiff_t kRowsPerPoll = 4096;

/// Calls write_row(r) for the rows r = 0 .. rows - 1 in order, polling between
/// blocks of kRowsPerPoll rows.
template <class WriteRow>
void each_row(std::ptrdiff_t rows, Poll poll, WriteRow&& write_row) {
    for (std::ptrdiff_t first = 0; first < rows; first += kRowsPerPoll) {
        if (first > 0) poll();
        std::ptrdiff_t last = rows - first < kRowsPerPoll ? rows : first + kRowsPerPoll;
        for (std::ptrdiff_t r = first; r < last; ++r) write_row(r);
    }
}

/// Bytes past the end of a text that the number writers may fill with junk
/// (overwritten by what follows, or left beyond the text): writers reserve
/// this much beyond their estimate so that the estimate is never outgrown.
inline constexpr std::size_t kWriteSlack = 16;

}  // namespace kestrix::scribe
