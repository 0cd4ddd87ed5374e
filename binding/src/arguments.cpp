// Binding fast-call arguments to parameter slots, with CPython's TypeError texts.

#include <cstring>

#include "kestrix/arguments.hpp"

namespace kestrix::binding {
namespace {

[[noreturn]] [[gnu::cold]] void too_many_positional(const ParamTable& table,
                                                    std::size_t given) {
    std::string m = std::string(table.function_name) + "() takes ";
    const std::size_t n = table.params.size();
    if (table.required == n) {
        m += std::to_string(n);
    } else {
        m += "from " + std::to_string(table.required) + " to " + std::to_string(n);
    }
    m += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
    throw PendingError::lazy(PyExc_TypeError, std::move(m));
}

[[noreturn]] [[gnu::cold]] void multiple_values(const ParamTable& table,
                                                std::string_view keyword) {
    throw PendingError::lazy(PyExc_TypeError, std::string(table.function_name) +
                                                  "() got multiple values for argument '" +
                                                  std::string(keyword) + "'");
}

[[noreturn]] [[gnu::cold]] void unexpected_keyword(const ParamTable& table,
                                                   PyObject* keyword) {
    // str() of the name, as CPython words it: a str subclass may define its
    // own __str__, and what that raises is the caller's error. An exact str
    // keeps every character, lone surrogates included.
    PyRef msg = PyRef::steal(
        PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'",
                             table.function_name, keyword));
    if (!msg) raise_fetched();
    throw PendingError::materialised(
        checked_new(PyObject_CallOneArg(PyExc_TypeError, msg.get())));
}

[[noreturn]] [[gnu::cold]] void missing_required(const ParamTable& table,
                                                 const Slots& slots, std::size_t given) {
    std::vector<const char*> names;
    for (std::size_t k = given; k < table.required; ++k) {
        if (!slots[k]) names.push_back(table.params[k].name);
    }
    std::string m = std::string(table.function_name) + "() missing " +
                    std::to_string(names.size()) +
                    " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                    ": ";
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) {
            if (names.size() > 2) m += ",";
            m += (k + 1 == names.size()) ? " and " : " ";
        }
        m += "'";
        m += names[k];
        m += "'";
    }
    throw PendingError::lazy(PyExc_TypeError, std::move(m));
}

}  // namespace

Slots bind_arguments(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    Slots slots{};
    const std::size_t n = table.params.size();
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t k = 0; k < given && k < n; ++k) slots[k] = args[k];
    if (given > n) too_many_positional(table, given);

    if (kwnames) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(keyword, &len);
            if (!text) PyErr_Clear();  // unencodable: matches no parameter
            std::size_t match = n;
            for (std::size_t p = 0; text && p < n; ++p) {
                if (table.params[p].length == static_cast<std::size_t>(len) &&
                    std::memcmp(table.params[p].name, text, len) == 0) {
                    match = p;
                    break;
                }
            }
            if (match == n) unexpected_keyword(table, keyword);
            if (slots[match]) multiple_values(table, std::string_view(text, len));
            slots[match] = args[given + k];
        }
    }

    if (given < table.required) {
        for (std::size_t k = given; k < table.required; ++k) {
            if (!slots[k]) missing_required(table, slots, given);
        }
    }
    return slots;
}

}  // namespace kestrix::binding
