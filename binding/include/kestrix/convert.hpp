#pragma once
// Conversions of argument objects to native values. Each takes a borrowed
// object and returns the value or throws a PendingError; Convert<T>::from is
// the extension point that Arguments uses (arrays in numpy.hpp, sequences of
// str in str_sequence.hpp).

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kestrix/errors.hpp"

namespace kestrix::binding {

bool to_bool(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
double to_f64(PyObject* obj);
std::int64_t to_i64(PyObject* obj);
std::array<bool, 3> to_bool3(PyObject* obj);
std::vector<std::int64_t> to_i64_vector(PyObject* obj);
std::vector<double> to_f64_vector(PyObject* obj);
/// A str's UTF-8 text, viewed in place: valid while `obj` lives.
std::string_view to_str(PyObject* obj);

namespace detail {
/// The most items a conversion reserves room for ahead: a length only sizes a
/// buffer, and a hostile __len__ must not make us reserve absurd amounts.
inline constexpr std::size_t kMostReserved = std::size_t{1} << 24;

/// Refuses what is no sequence of items (a str among them); returns how many
/// items to reserve room for (at most kMostReserved).
std::size_t sequence_capacity(PyObject* obj);
}  // namespace detail

template <class T>
struct Convert;

/// A Convert<T> whose `from` is one of the functions above.
template <auto Function>
struct ConvertBy {
    static auto from(PyObject* obj) { return Function(obj); }
};
template <>
struct Convert<bool> : ConvertBy<&to_bool> {};
template <>
struct Convert<std::uint64_t> : ConvertBy<&to_u64> {};
template <>
struct Convert<double> : ConvertBy<&to_f64> {};
template <>
struct Convert<std::int64_t> : ConvertBy<&to_i64> {};
template <>
struct Convert<std::array<bool, 3>> : ConvertBy<&to_bool3> {};
template <>
struct Convert<std::vector<std::int64_t>> : ConvertBy<&to_i64_vector> {};
template <>
struct Convert<std::vector<double>> : ConvertBy<&to_f64_vector> {};
template <>
struct Convert<std::string_view> : ConvertBy<&to_str> {};

}  // namespace kestrix::binding
