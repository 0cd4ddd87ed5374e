#pragma once
// The poll that long computations call between blocks of work: it runs the
// pending signal handlers, so that Ctrl-C ends a long call.

#include "kestrix/errors.hpp"
#include "kestrix/poll.hpp"

namespace kestrix::binding {

namespace detail {
// What the signal handlers raise unwinds the call.
inline void check_signals(void*) {
    if (PyErr_CheckSignals() < 0) raise_fetched();
}
}  // namespace detail

/// A poll that runs the pending signal handlers.
constexpr Poll signal_poll() noexcept { return Poll{&detail::check_signals, nullptr}; }

}  // namespace kestrix::binding
