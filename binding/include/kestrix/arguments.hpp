#pragma once
// Binding one call's fast-call arguments to the parameters of its function,
// and reading them by name: each name is looked up at compile time, and a
// conversion error is reported with the parameter's name.

#include <array>
#include <optional>
#include <type_traits>

#include "kestrix/convert.hpp"
#include "kestrix/function.hpp"

namespace kestrix::binding {

/// Parameter slots after binding: borrowed references, nullptr when empty.
using Slots = std::array<PyObject*, kMaxParams>;

/// Matches the fast-call arguments against the table; throws the TypeError.
Slots bind_arguments(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

/// How a parameter is read: its value (or its bool or integer default), as an
/// optional (default None), or as the argument object itself.
enum class Access { kValue, kOptional, kObject };

/// A parameter of the function declared as F, named in the source and found
/// at compile time, checked against how it is read.
template <const auto& F, Access How, class T = void>
struct ParamName {
    consteval ParamName(const char* name) : index(F.index_of(name)) {
        const Param::Default fallback = F.params[index].fallback;
        if constexpr (How == Access::kOptional) {
            if (fallback != Param::Default::kNone) throw "get_optional reads a None default";
        } else if constexpr (How == Access::kValue) {
            if (fallback == Param::Default::kNone) throw "a None default is read by get_optional";
            if (fallback == Param::Default::kBool && !std::is_same_v<T, bool>)
                throw "a bool default is read as bool";
            if (fallback == Param::Default::kInteger &&
                !(std::is_integral_v<T> && !std::is_same_v<T, bool>))
                throw "an integer default is read as an integer";
        }
    }
    std::size_t index;
};

/// The bound arguments of one call to the function declared as F.
template <const auto& F>
class Arguments {
public:
    Arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : slots_(bind_arguments(kTable, args, nargs, kwnames)) {}

    /// A parameter's value; its default when one was declared and the
    /// argument omitted.
    template <class T>
    T get(ParamName<F, Access::kValue, T> param) const {
        PyObject* obj = slots_[param.index];
        if constexpr (std::is_integral_v<T>) {
            if (!obj) return static_cast<T>(F.params[param.index].value);
        }
        return convert<T>(param.index, obj);
    }
    /// A parameter whose default is None: no value when omitted or None.
    template <class T>
    std::optional<T> get_optional(ParamName<F, Access::kOptional> param) const {
        PyObject* obj = slots_[param.index];
        if (!obj || obj == Py_None) return std::nullopt;
        return convert<T>(param.index, obj);
    }
    /// The argument object itself, null when omitted.
    PyObject* object(ParamName<F, Access::kObject> param) const noexcept {
        return slots_[param.index];
    }

private:
    static constexpr ParamTable kTable = F.table();

    template <class T>
    T convert(std::size_t index, PyObject* obj) const {
        try {
            return Convert<T>::from(obj);
        } catch (PendingError& error) {
            throw rewrap_argument_error(F.params[index].name, std::move(error));
        }
    }

    Slots slots_;
};

}  // namespace kestrix::binding
