#pragma once
// The Python binding frame: module start-up, function registration, the
// per-call entry, argument binding and conversion, and the error model.
// Every extension module links its own copy, so every piece of state here
// exists once per module.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/buffer.hpp"
#include "kestrix/panic.hpp"
#include "kestrix/poll.hpp"

namespace kestrix::binding {

// ---------------------------------------------------------------- references

/// One owned reference, move-only.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);  // last, as Py_SETREF: a finalizer may run Python code
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------- errors

/// A Python exception not yet handed to the interpreter, thrown as a C++
/// exception through the frame. Lazy (class and message; the exception object
/// is built only when raised or inspected) or materialised (an exception object).
class PendingError {
public:
    /// Lazy error of `type` (a borrowed, immortal class such as PyExc_ValueError).
    static PendingError lazy(PyObject* type, std::string message);
    /// Materialised error around an exception object.
    static PendingError materialised(PyRef exception);
    /// The exception that a failing CPython call left pending. A pending
    /// PanicException of this module resumes as an InternalFailure (thrown);
    /// no pending exception gives SystemError.
    static PendingError fetch();

    /// The exception's class (borrowed).
    PyObject* type() const noexcept;
    /// A MemoryError, KeyboardInterrupt or SystemExit (or subclass): a failed
    /// allocation or a signal handler's exit, which the caller gets unchanged.
    bool is_callers_own() const noexcept;
    /// Builds the exception object if it is lazy; never fails (a failure to
    /// build one is reported through the object that CPython gives instead).
    PyObject* value();
    /// "PyErr { type: ..., value: ..., traceback: ... }".
    std::string debug_text();
    /// Makes this the thread's current exception.
    void restore() &&;

private:
    PyObject* type_ = nullptr;  // lazy: borrowed immortal class
    std::string message_;
    PyRef value_;  // materialised
};

/// Throws the lazy error; for the content errors of the modules (ValueError).
[[noreturn]] void raise_value_error(std::string message);
/// Throws the lazy TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target);
/// Throws PendingError::fetch(): a CPython call reported a failure.
[[noreturn]] void raise_fetched();

namespace detail {
// What the signal handlers raise unwinds the call.
inline void check_signals(void*) {
    if (PyErr_CheckSignals() < 0) raise_fetched();
}
}  // namespace detail

/// A poll that runs the pending signal handlers, so that Ctrl-C ends a long call.
constexpr Poll signal_poll() noexcept { return Poll{&detail::check_signals, nullptr}; }
/// The "Python API call failed" path: print the pending exception, then fail.
/// A pending MemoryError is thrown on as it is instead.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());
/// Ends the call as the internal failure "{text}: {debug text of error}",
/// unless `error` is a MemoryError, which is thrown on as it is.
[[noreturn]] void panic_with_error(std::string text, PendingError error,
                                   std::source_location where = std::source_location::current());
/// Returns `created` as an owned reference, or takes the "Python API call
/// failed" path when a constructor returned NULL.
PyRef checked_new(PyObject* created,
                  std::source_location where = std::source_location::current());

/// Re-raises a conversion error of parameter `name`: exactly TypeError becomes
/// "argument '{name}': {message}" with the same __cause__; others pass.
PendingError rewrap_argument_error(const char* name, PendingError error);

// ---------------------------------------------------------------- records

/// The static description of one Python function's parameters.
struct FunctionSignature {
    const char* name;                     ///< function name
    std::span<const char* const> params;  ///< parameter names, in order
    std::size_t required;                 ///< the leading `required` have no default
};

inline constexpr std::size_t kMaxParams = 10;

/// A fast-call entry: module, argument array, positional count, keyword names.
using FastCallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// One Python function: name, entry routine, flags, docstring.
struct MethodEntry {
    const char* name;
    FastCallEntry entry;
    int flags;  // METH_FASTCALL | METH_KEYWORDS
    const char* doc;
};

/// One module: its body (the functions it adds, in order), the CPython module
/// definition, the interpreter that imported it and the cached module object.
struct ModuleDefinition {
    /// A module named `name` (as in "_vicinal") with these functions and no docstring.
    constexpr ModuleDefinition(std::span<const MethodEntry> functions_, const char* name) noexcept
        : functions(functions_),
          def{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr} {}

    std::span<const MethodEntry> functions;
    PyModuleDef def;
    std::atomic<std::int64_t> interpreter_id{-1};
    PyObject* cache = nullptr;
};

/// Single-phase start-up behind PyInit_<name>.
PyObject* module_init(ModuleDefinition& definition) noexcept;

// ---------------------------------------------------------------- binding

/// Parameter slots after binding: borrowed references, nullptr when empty.
using Slots = std::array<PyObject*, kMaxParams>;

/// Matches the fast-call arguments against the signature; throws the TypeError.
Slots bind_arguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

// ---------------------------------------------------------------- conversions
// Each conversion takes a borrowed object and returns the native value or
// throws a PendingError. `Convert<T>::from` is the extension point that
// BoundArguments uses; the array kinds are in numpy.hpp.

bool to_bool(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
double to_f64(PyObject* obj);
std::int64_t to_i64(PyObject* obj);
std::array<bool, 3> to_bool3(PyObject* obj);
std::vector<std::int64_t> to_i64_vector(PyObject* obj);
std::vector<double> to_f64_vector(PyObject* obj);
/// A str's UTF-8 text, viewed in place: valid while `obj` lives.
std::string_view to_str(PyObject* obj);

/// A sequence of str converted for a call: holds a reference to every item so
/// that the UTF-8 views stay valid, whatever the sequence yields.
class StrSequence {
public:
    StrSequence() noexcept = default;
    StrSequence(StrSequence&& o) noexcept
        : items_(std::move(o.items_)), views_(std::move(o.views_)) {}
    StrSequence& operator=(StrSequence&& o) noexcept {
        if (this != &o) {
            release();
            items_ = std::move(o.items_);
            views_ = std::move(o.views_);
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
    void reserve(Py_ssize_t n);
    void append(PyObject* item);  // takes over one new reference to `item`
    void release() noexcept;

    // Blocks of their own rather than vectors: large ones get huge pages,
    // which a fresh block of millions of lines faults in far faster.
    OwnedBuffer<PyObject*> items_;  // one owned reference each
    OwnedBuffer<std::string_view> views_;
};

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
    static StrChunks of(StrSequence whole) noexcept;

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
    StrSequence whole_;
    PyRef owner_;  // the list or tuple walked lazily, or null
    std::vector<std::string_view> buffer_;
    std::span<const std::string_view> chunk_;
    std::size_t size_ = 0;
    std::size_t done_ = 0;   // items handed out
    std::size_t first_ = 0;  // index of chunk_[0]
};

template <class T>
struct Convert;
template <>
struct Convert<bool> {
    static bool from(PyObject* o) { return to_bool(o); }
};
template <>
struct Convert<std::uint64_t> {
    static std::uint64_t from(PyObject* o) { return to_u64(o); }
};
template <>
struct Convert<double> {
    static double from(PyObject* o) { return to_f64(o); }
};
template <>
struct Convert<std::int64_t> {
    static std::int64_t from(PyObject* o) { return to_i64(o); }
};
template <>
struct Convert<std::array<bool, 3>> {
    static std::array<bool, 3> from(PyObject* o) { return to_bool3(o); }
};
template <>
struct Convert<std::vector<std::int64_t>> {
    static std::vector<std::int64_t> from(PyObject* o) { return to_i64_vector(o); }
};
template <>
struct Convert<std::vector<double>> {
    static std::vector<double> from(PyObject* o) { return to_f64_vector(o); }
};
template <>
struct Convert<std::string_view> {
    static std::string_view from(PyObject* o) { return to_str(o); }
};
template <>
struct Convert<StrSequence> {
    static StrSequence from(PyObject* o) { return StrSequence::from(o); }
};
template <>
struct Convert<StrChunks> {
    static StrChunks from(PyObject* o) { return StrChunks::lazy(o); }
};

/// The bound arguments of one call, converted parameter by parameter.
class BoundArguments {
public:
    BoundArguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames)
        : sig_(sig), slots_(bind_arguments(sig, args, nargs, kwnames)) {}

    /// A required parameter.
    template <class T>
    T get(std::size_t index) const {
        return convert<T>(index, slots_[index]);
    }
    /// The argument object itself, null when omitted.
    PyObject* argument(std::size_t index) const noexcept { return slots_[index]; }
    /// A parameter with a default: the default when the argument was omitted.
    template <class T>
    T get_or(std::size_t index, T fallback) const {
        if (!slots_[index]) return fallback;
        return convert<T>(index, slots_[index]);
    }
    /// An optional parameter: no value when omitted or None.
    template <class T>
    std::optional<T> get_optional(std::size_t index) const {
        PyObject* o = slots_[index];
        if (!o || o == Py_None) return std::nullopt;
        return convert<T>(index, o);
    }

private:
    template <class T>
    T convert(std::size_t index, PyObject* o) const {
        try {
            return Convert<T>::from(o);
        } catch (PendingError& e) {
            throw rewrap_argument_error(sig_.params[index], std::move(e));
        }
    }

    const FunctionSignature& sig_;
    Slots slots_;
};

// ---------------------------------------------------------------- results

/// A new tuple holding the given references (taken over).
PyRef new_tuple(std::span<PyRef> items);
template <class... R>
PyRef make_tuple(R&&... items) {
    std::array<PyRef, sizeof...(R)> a{std::move(items)...};
    return new_tuple(a);
}
/// A new str from UTF-8 text.
PyRef new_str(std::string_view utf8);
/// A new list of str from UTF-8 texts.
PyRef new_str_list(std::span<const std::string> items);

// ---------------------------------------------------------------- calls

namespace detail {
PyObject* raise_internal_failure(const InternalFailure& failure) noexcept;
PyObject* raise_no_memory() noexcept;
PyObject* raise_unknown() noexcept;
}  // namespace detail

/// Runs a function body, handing back its result or raising what it threw.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (PendingError& e) {
        std::move(e).restore();
        return nullptr;
    } catch (const InternalFailure& f) {
        return detail::raise_internal_failure(f);
    } catch (const std::bad_alloc&) {
        return detail::raise_no_memory();
    } catch (...) {
        return detail::raise_unknown();
    }
}

/// The per-call entry of a body `PyRef body(PyObject* const*, Py_ssize_t, PyObject*)`.
template <PyRef (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return Body(args, nargs, kwnames); });
}

/// A MethodEntry for a body, with the fast-call flags.
template <PyRef (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
constexpr MethodEntry method(const char* name, const char* doc) {
    return MethodEntry{name, &entry<Body>, METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace kestrix::binding
