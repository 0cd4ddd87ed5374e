#pragma once
// A callback that long computations call between blocks of work, so that the
// caller can answer signals. Python-free: the entry files supply it.

namespace kestrix {

/// Called now and then during a long call; it may throw to abandon the call,
/// which frees everything the call holds.
struct Poll {
    void (*fn)(void* context) = nullptr;
    void* context = nullptr;
    void operator()() const {
        if (fn) fn(context);
    }
};

}  // namespace kestrix
