#pragma once
// Natively allocated result blocks that NumPy takes over without a copy. Plain
// C++: the computations fill an OwnedBuffer, the binding frame hands its block
// to a PySliceContainer holder, whose release routine frees it.
//
// Small blocks come from malloc. Large ones are anonymous mappings that ask for
// transparent huge pages (fresh 4 KiB pages dominate the cost of large outputs)
// and grow and shrink with mremap, which moves pages instead of copying bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrix {

/// A block handed over to a holder: address, element count, capacity, and the
/// routine that frees it given those three.
struct RawBlock {
    void* ptr;
    std::size_t count;
    std::size_t capacity;
    void (*release)(void* ptr, std::size_t count, std::size_t capacity);
};

namespace detail {
/// Allocates `bytes` (> 0); zero-filled when `zero`. Throws std::bad_alloc.
void* block_allocate(std::size_t bytes, bool zero);
/// Resizes a block of `old_bytes` (> 0) to `new_bytes` (> 0), keeping the common prefix.
void* block_resize(void* ptr, std::size_t old_bytes, std::size_t new_bytes);
/// Frees a block of `bytes`; nothing for a zero-sized block.
void block_free(void* ptr, std::size_t bytes) noexcept;
}  // namespace detail

/// A growable, exclusively owned array of trivially copyable T.
template <class T>
class OwnedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    OwnedBuffer() noexcept = default;
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~OwnedBuffer() { reset(); }

    /// n elements with unspecified contents.
    static OwnedBuffer uninitialised(std::size_t n) { return make(n, false); }
    /// n zero elements.
    static OwnedBuffer zeroed(std::size_t n) { return make(n, true); }

    /// Never null, also when empty (NumPy would allocate for a null data pointer).
    T* data() noexcept { return data_ ? data_ : dangling(); }
    const T* data() const noexcept { return data_ ? data_ : dangling(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t k) noexcept { return data_[k]; }
    const T& operator[](std::size_t k) const noexcept { return data_[k]; }

    /// Makes room for at least n elements in all.
    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }
    /// Sets the size; new elements are unspecified.
    void resize_uninitialised(std::size_t n) {
        if (n > capacity_) reallocate(grown(n));
        size_ = n;
    }
    void push_back(const T& v) {
        if (size_ == capacity_) reallocate(grown(size_ + 1));
        data_[size_++] = v;
    }
    /// Sets the capacity to n, at least the size; the first min(n, capacity)
    /// elements are kept, also those past the size.
    void resize_capacity(std::size_t n) {
        if (n == capacity_) return;
        if (n == 0) {
            reset();
            return;
        }
        reallocate(n);
    }
    /// Gives back the capacity beyond the size.
    void shrink_to_fit() {
        if (capacity_ == size_) return;
        if (size_ == 0) {
            reset();
            return;
        }
        reallocate(size_);
    }

    /// Hands the block over; the buffer is left empty.
    RawBlock release() && noexcept {
        RawBlock block{data_ ? static_cast<void*>(data_) : static_cast<void*>(dangling()), size_,
                       capacity_, &release_block};
        data_ = nullptr;
        size_ = capacity_ = 0;
        return block;
    }

private:
    static T* dangling() noexcept { return reinterpret_cast<T*>(alignof(T)); }
    static void release_block(void* p, std::size_t, std::size_t cap) {
        if (cap) detail::block_free(p, cap * sizeof(T));
    }
    static std::size_t bytes_for(std::size_t n) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        return n * sizeof(T);
    }
    static OwnedBuffer make(std::size_t n, bool zero) {
        OwnedBuffer buffer;
        if (n) {
            buffer.data_ = static_cast<T*>(detail::block_allocate(bytes_for(n), zero));
            buffer.capacity_ = n;
        }
        buffer.size_ = n;
        return buffer;
    }
    std::size_t grown(std::size_t need) const noexcept {
        std::size_t twice = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
        std::size_t n = need > twice ? need : twice;
        return n < 16 ? 16 : n;
    }
    void reallocate(std::size_t n) {
        std::size_t bytes = bytes_for(n);
        data_ = static_cast<T*>(data_ ? detail::block_resize(data_, capacity_ * sizeof(T), bytes)
                                    : detail::block_allocate(bytes, false));
        capacity_ = n;
    }
    void reset() noexcept {
        if (capacity_) detail::block_free(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrix
