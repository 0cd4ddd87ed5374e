#pragma once
// The `lines` argument of a parse function as a LineSource: converted a chunk
// at a time, answering signals between chunks.

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "kestrix/binding.hpp"
#include "line_source.hpp"
#include "str_chunks.hpp"

namespace kestrix::scribe {

/// What the entry functions poll between chunks and blocks of rows.
inline constexpr Poll kCheckSignals = binding::signal_poll();

// The lines of a parse argument as a LineSource, answering signals between
// chunks. A handler may change the list there, so each chunk is read from the
// list after the poll; no Python code runs while a parser reads a chunk.
class ChunkedLines final : public LineSource {
public:
    explicit ChunkedLines(StrChunks chunks) noexcept : chunks_(std::move(chunks)) {}
    std::size_t size() const noexcept override { return chunks_.size(); }
    std::span<const std::string_view> next() override {
        // Outside the try: what a handler raises is no conversion error of `lines`.
        if (started_) kCheckSignals();
        started_ = true;
        try {
            return chunks_.next();
        } catch (binding::PendingError& e) {
            throw binding::rewrap_argument_error("lines", std::move(e));
        }
    }
    /// The text of the line where `e` was found, once every line not yet
    /// converted is: an item that is no str is reported first, as when the
    /// lines were all converted before the parse.
    std::string_view failed(const ParseError& e) {
        std::string_view line = chunks_.line(e.line);
        try {
            chunks_.check_rest();
        } catch (binding::PendingError& error) {
            throw binding::rewrap_argument_error("lines", std::move(error));
        }
        return line;
    }

private:
    StrChunks chunks_;
    bool started_ = false;
};

}  // namespace kestrix::scribe
