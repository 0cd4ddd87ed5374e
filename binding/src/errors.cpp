// The error model: pending Python errors, PanicException, the rewrap of
// conversion errors and the "Python API call failed" path.

#include <cstring>

#include "kestrix/call.hpp"
#include "kestrix/errors.hpp"
#include "state.hpp"

namespace kestrix::binding {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will "
    "typically propagate all the way through the stack and cause the Python "
    "interpreter to exit.";

constexpr const char* kPanicFallback = "native code failed without saying why";

// UTF-8 text of str(obj) or repr(obj); `fallback` when that fails.
std::string text_of(PyObject* obj, bool use_repr, const char* fallback) {
    PyRef s = PyRef::steal(use_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    if (s) {
        Py_ssize_t n = 0;
        if (const char* u = PyUnicode_AsUTF8AndSize(s.get(), &n)) return std::string(u, n);
    }
    PyErr_Clear();
    return fallback;
}

PyRef str_from(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "replace"));
}

}  // namespace

// ---------------------------------------------------------------- PanicException

PyObject* panic_exception_type() {
    if (!state().panic_type) {
        PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
        if (!t) panic_with_error("Failed to initialize new exception type.", PendingError::fetch());
        if (state().panic_type) {
            Py_DECREF(t);  // the first one stored stays
        } else {
            state().panic_type = t;
        }
    }
    return state().panic_type;
}

// ---------------------------------------------------------------- PendingError

PendingError PendingError::lazy(PyObject* type, std::string message) {
    PendingError e;
    e.type_ = type;
    e.message_ = std::move(message);
    return e;
}

PendingError PendingError::materialised(PyRef exception) {
    PendingError e;
    e.type_ = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    e.value_ = std::move(exception);
    return e;
}

PendingError PendingError::fetch() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic_type = state().panic_type;
    if (panic_type && reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) == panic_type) {
        // Python code that we called re-raised one of our own panics: resume it
        // as an internal failure instead of treating it as an ordinary error.
        std::string message = text_of(exc.get(), false, "Unwrapped panic from Python code");
        PySys_WriteStderr(
            "--- kestrix: an internal failure resumes after a PanicException was "
            "fetched from Python ---\n");
        PySys_WriteStderr("Python stack trace below:\n");
        PyErr_SetRaisedException(exc.release());
        PyErr_PrintEx(0);
        throw InternalFailure(std::move(message));
    }
    return materialised(std::move(exc));
}

PyObject* PendingError::type() const noexcept { return type_; }

namespace {
bool callers_own(PyObject* type) {
    return PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
           PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt) ||
           PyErr_GivenExceptionMatches(type, PyExc_SystemExit);
}
}  // namespace

bool PendingError::is_callers_own() const noexcept { return callers_own(type_); }

PyObject* PendingError::value() {
    if (!value_) {
        PyRef msg = str_from(message_);
        PyObject* v = msg ? PyObject_CallOneArg(type_, msg.get()) : nullptr;
        if (!v) v = PyErr_GetRaisedException();  // what CPython gives instead
        value_ = PyRef::steal(v);
        type_ = reinterpret_cast<PyObject*>(Py_TYPE(v));
    }
    return value_.get();
}

std::string PendingError::debug_text() {
    PyObject* v = value();
    std::string out = "PyErr { type: ";
    out += text_of(type_, true, "<unprintable type>");
    out += ", value: ";
    out += text_of(v, true, "<unprintable value>");
    out += ", traceback: ";
    PyRef tb = PyRef::steal(PyException_GetTraceback(v));
    if (tb && tb.get() != Py_None) {
        out += "Some(" + text_of(tb.get(), true, "<unprintable traceback>") + ")";
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

void PendingError::restore() && {
    if (value_) {
        PyErr_SetRaisedException(value_.release());
        return;
    }
    PyRef msg = str_from(message_);
    if (msg) PyErr_SetObject(type_, msg.get());  // else the decoding error stays set
}

// ---------------------------------------------------------------- helpers

void raise_value_error(std::string message) {
    throw PendingError::lazy(PyExc_ValueError, std::move(message));
}

void raise_type_mismatch(PyObject* obj, const char* target) {
    std::string name = "<failed to extract type name>";
    PyRef q = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    Py_ssize_t n = 0;
    const char* u = q ? PyUnicode_AsUTF8AndSize(q.get(), &n) : nullptr;
    if (u) {
        name.assign(u, n);
    } else {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise_fetched();
        PyErr_Clear();
    }
    throw PendingError::lazy(PyExc_TypeError,
                             "'" + name + "' object cannot be converted to '" + target + "'");
}

void raise_fetched() { throw PendingError::fetch(); }

// Running out of memory, or a KeyboardInterrupt that a signal handler raised
// inside a CPython call, is no fault of ours: the caller gets it to handle,
// and nothing of the call stays behind.
void api_call_failed(std::source_location where) {
    if (PyObject* pending = PyErr_Occurred(); pending && callers_own(pending)) raise_fetched();
    if (PyErr_Occurred()) PyErr_Print();
    panic("Python API call failed", where);
}

void panic_with_error(std::string text, PendingError error, std::source_location where) {
    if (error.is_callers_own()) throw std::move(error);
    panic(std::move(text) + ": " + error.debug_text(), where);
}

PyRef checked_new(PyObject* created, std::source_location where) {
    if (!created) api_call_failed(where);
    return PyRef::steal(created);
}

PendingError rewrap_argument_error(const char* name, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* v = error.value();
    if (reinterpret_cast<PyObject*>(Py_TYPE(v)) != PyExc_TypeError) return error;
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += text_of(v, false, "<unprintable error>");
    PyRef msg = checked_new(PyUnicode_DecodeUTF8(message.data(),
                                                 static_cast<Py_ssize_t>(message.size()),
                                                 "surrogatepass"));
    PyRef rewrapped = checked_new(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    PyObject* cause = PyException_GetCause(v);  // new reference or NULL
    PyException_SetCause(rewrapped.get(), cause ? cause : Py_NewRef(Py_None));
    return PendingError::materialised(std::move(rewrapped));
}

// ---------------------------------------------------------------- raising

namespace detail {

PyObject* raise_internal_failure(const InternalFailure& failure) noexcept {
    try {
        PyObject* type = panic_exception_type();
        const std::string& m = failure.message();
        PyRef msg = str_from(m.empty() ? std::string_view(kPanicFallback) : std::string_view(m));
        if (!msg) return nullptr;
        PyRef args = PyRef::steal(PyTuple_Pack(1, msg.get()));
        if (!args) return nullptr;
        PyErr_SetObject(type, args.get());
    } catch (PendingError& e) {
        std::move(e).restore();
    } catch (const InternalFailure&) {
        // The exception class itself cannot be made: leave what CPython reported.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "uncaught panic at ffi boundary");
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "uncaught panic at ffi boundary");
    }
    return nullptr;
}

PyObject* raise_no_memory() noexcept { return PyErr_NoMemory(); }

PyObject* raise_unknown() noexcept {
    try {
        panic("unexpected C++ exception");
    } catch (const InternalFailure& f) {
        return raise_internal_failure(f);
    }
}

}  // namespace detail
}  // namespace kestrix::binding
