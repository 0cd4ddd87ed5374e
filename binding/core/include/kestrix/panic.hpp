#pragma once
// Internal failures: an index out of range, a value that must be present and is
// not. Plain C++, shared by the binding frame and the pure computations; the
// per-call entry turns an InternalFailure into the module's PanicException.

#include <cstddef>
#include <source_location>
#include <string>
#include <utility>

namespace kestrix {

/// Message of every element read or written beyond an array's shape.
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";

/// Message of an entry missing from a sequence: its length, then the index.
inline std::string missing_entry_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

/// An unrecoverable failure inside a call, carrying one message text.
class InternalFailure {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

/// Writes the diagnostic line (message and source location) to standard error,
/// then throws InternalFailure.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace kestrix
