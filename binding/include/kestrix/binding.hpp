#pragma once
// The Python binding frame, all of it but NumPy (numpy.hpp): references, the
// error model, function declarations and their arguments, conversions,
// results, the per-call entry and module start-up. Every extension module
// links its own copy, so every piece of state in it exists once per module.

#include "kestrix/arguments.hpp"
#include "kestrix/call.hpp"
#include "kestrix/convert.hpp"
#include "kestrix/errors.hpp"
#include "kestrix/function.hpp"
#include "kestrix/module.hpp"
#include "kestrix/ref.hpp"
#include "kestrix/results.hpp"
#include "kestrix/signals.hpp"
#include "kestrix/str_sequence.hpp"
