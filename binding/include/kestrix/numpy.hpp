#pragma once
// NumPy arrays in and out: read-only strided views of array arguments, the
// record of arrays in use, and result arrays over natively allocated buffers.
// NumPy is reached lazily, per module, on the first array conversion or creation.

#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "kestrix/buffer.hpp"
#include "kestrix/convert.hpp"
#include "kestrix/errors.hpp"
#include "kestrix/views.hpp"

namespace kestrix::binding {

/// NumPy type numbers of the three element types.
enum class ElementType : int { Bool = 0, Int64 = 7, Float64 = 12 };

template <class T>
constexpr ElementType element_type_of() {
    if constexpr (std::is_same_v<T, double>) return ElementType::Float64;
    else if constexpr (std::is_same_v<T, std::int64_t>) return ElementType::Int64;
    else {
        static_assert(std::is_same_v<T, bool>, "float64, int64 or bool");
        return ElementType::Bool;
    }
}

namespace detail {
/// Accepts `obj` as an array of `type` with `ndim` dimensions: a new reference,
/// registered as a reader in the borrow record; throws the conversion error.
PyRef accept_array(PyObject* obj, ElementType type, int ndim);
/// Removes the reader registration and drops the reference.
void release_array(PyRef& array, ElementType type) noexcept;
/// Data pointer, shape and byte strides of an accepted array.
const char* array_data(PyObject* array) noexcept;
const Py_ssize_t* array_shape(PyObject* array) noexcept;
const Py_ssize_t* array_strides(PyObject* array) noexcept;
/// Wraps a block as a new array whose base is a PySliceContainer holder.
PyRef wrap_block(RawBlock block, ElementType type, int ndim, const Py_ssize_t* shape,
                 std::size_t item_size);
}  // namespace detail

/// An accepted array argument, held for the call: a reference, a reader
/// registration and a read-only view. Released (registration removed,
/// reference dropped) by release() or at the end of its scope.
template <class T, int D>
class ReadonlyArray {
    static_assert(D == 1 || D == 2);

public:
    using View = std::conditional_t<D == 1, Strided1D<T>, Strided2D<T>>;

    static ReadonlyArray from(PyObject* obj) {
        ReadonlyArray array;
        array.ref_ = detail::accept_array(obj, element_type_of<T>(), D);
        return array;
    }
    ReadonlyArray(ReadonlyArray&&) noexcept = default;
    ReadonlyArray& operator=(ReadonlyArray&& other) noexcept {
        if (this != &other) {
            release();
            ref_ = std::move(other.ref_);
        }
        return *this;
    }
    ~ReadonlyArray() { release(); }

    View view() const noexcept {
        PyObject* a = ref_.get();
        const Py_ssize_t* shape = detail::array_shape(a);
        const Py_ssize_t* strides = detail::array_strides(a);
        if constexpr (D == 1) {
            return View{detail::array_data(a), shape[0], strides[0]};
        } else {
            return View{detail::array_data(a), shape[0], shape[1], strides[0], strides[1]};
        }
    }
    PyObject* object() const noexcept { return ref_.get(); }
    void release() noexcept { detail::release_array(ref_, element_type_of<T>()); }

private:
    ReadonlyArray() = default;
    PyRef ref_;
};

template <class T, int D>
struct Convert<ReadonlyArray<T, D>> {
    static ReadonlyArray<T, D> from(PyObject* obj) { return ReadonlyArray<T, D>::from(obj); }
};

/// A new, writeable, C-contiguous array that takes over `buffer`: 1-D of
/// buffer.size() elements, or 2-D of (buffer.size() / cols, cols).
template <class T>
PyRef new_owned_array(OwnedBuffer<T>&& buffer) {
    Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(buffer.size())};
    return detail::wrap_block(std::move(buffer).release(), element_type_of<T>(), 1, shape,
                              sizeof(T));
}
template <class T>
PyRef new_owned_array(OwnedBuffer<T>&& buffer, std::size_t cols) {
    Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(cols ? buffer.size() / cols : 0),
                           static_cast<Py_ssize_t>(cols)};
    return detail::wrap_block(std::move(buffer).release(), element_type_of<T>(), 2, shape,
                              sizeof(T));
}

}  // namespace kestrix::binding
