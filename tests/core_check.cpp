// Built and run by test_binding_core.py without Python: the frame's Python-free
// core (result blocks, views, saturating casts, internal failures, polls,
// three-vectors). Prints one line per failed check and exits with their count.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "kestrix/buffer.hpp"
#include "kestrix/panic.hpp"
#include "kestrix/poll.hpp"
#include "kestrix/saturate.hpp"
#include "kestrix/vec3.hpp"
#include "kestrix/views.hpp"

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool huge_aligned(const void* p) {
    return (reinterpret_cast<std::uintptr_t>(p) & (kHugePage - 1)) == 0;
}

// Element k holds k * 3 + 1, so a lost or moved stretch shows.
bool holds_pattern(const kestrix::OwnedBuffer<std::uint64_t>& buffer, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        if (buffer[k] != k * 3 + 1) return false;
    }
    return true;
}

void growth_keeps_every_element() {
    // From malloc'd blocks through mapped ones to huge-page blocks: each
    // reallocation must carry over everything written so far.
    kestrix::OwnedBuffer<std::uint64_t> buffer;
    const std::size_t total = (std::size_t{9} << 20) / sizeof(std::uint64_t);
    std::size_t last_capacity = 0;
    bool kept = true, aligned_when_huge = true;
    for (std::size_t k = 0; k < total; ++k) {
        buffer.push_back(k * 3 + 1);
        if (buffer.capacity() != last_capacity) {
            last_capacity = buffer.capacity();
            kept = kept && holds_pattern(buffer, buffer.size());
            // Blocks of whole huge pages sit on a huge-page boundary.
            std::size_t bytes = last_capacity * sizeof(std::uint64_t);
            if (bytes >= kHugePage && bytes % kHugePage == 0)
                aligned_when_huge = aligned_when_huge && huge_aligned(buffer.data());
        }
    }
    check(kept && holds_pattern(buffer, total), "push_back growth keeps the elements");
    check(aligned_when_huge, "blocks of whole huge pages are huge-page aligned");

    // Down across the thresholds and up again, by capacity.
    for (std::size_t capacity : {std::size_t{5} << 17, std::size_t{3} << 16, std::size_t{100},
                                 std::size_t{1} << 19, std::size_t{3} << 20}) {
        if (capacity < buffer.size()) buffer.resize_uninitialised(capacity);
        buffer.resize_capacity(capacity);
        check(buffer.capacity() == capacity,
              "resize_capacity sets the capacity " + std::to_string(capacity));
        check(holds_pattern(buffer, buffer.size()),
              "resize_capacity to " + std::to_string(capacity) + " keeps the elements");
    }
}

void mapped_block_grows_onto_huge_pages() {
    // A mapped block below huge-page size (1 MiB) grown past it moves onto
    // aligned pages: its contents must come along whole.
    auto buffer = kestrix::OwnedBuffer<std::uint64_t>::uninitialised((std::size_t{1} << 20) / 8);
    for (std::size_t k = 0; k < buffer.size(); ++k) buffer[k] = k * 3 + 1;
    std::size_t size = buffer.size();
    buffer.resize_uninitialised((std::size_t{4} << 20) / 8);
    check(holds_pattern(buffer, size), "a mapped block moved onto huge pages keeps its contents");
    check(huge_aligned(buffer.data()), "a block of 4 MiB is huge-page aligned");
    buffer.shrink_to_fit();
    check(buffer.capacity() == buffer.size(), "shrink_to_fit gives back the capacity");
}

void zeroed_and_empty_blocks() {
    for (std::size_t count : {std::size_t{0}, std::size_t{10}, std::size_t{1} << 18, std::size_t{3} << 19}) {
        auto buffer = kestrix::OwnedBuffer<double>::zeroed(count);
        bool zero = buffer.size() == count;
        for (std::size_t k = 0; zero && k < count; ++k) zero = buffer[k] == 0.0;
        check(zero, "zeroed(" + std::to_string(count) + ") is all zero");
        check(buffer.data() != nullptr, "data() is never null");
    }
    kestrix::OwnedBuffer<double> empty;
    check(reinterpret_cast<std::uintptr_t>(empty.data()) % alignof(double) == 0,
          "an empty buffer's data pointer is aligned");
    bool refused = false;
    try {
        auto huge = kestrix::OwnedBuffer<double>::uninitialised(SIZE_MAX / 4);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    check(refused, "a size past the address space is std::bad_alloc");
}

void release_hands_the_block_over() {
    auto buffer = kestrix::OwnedBuffer<std::int64_t>::uninitialised(3 << 17);
    buffer[0] = 42;
    std::int64_t* data = buffer.data();
    kestrix::RawBlock block = std::move(buffer).release();
    check(block.ptr == data && block.count == (3 << 17) && block.capacity == (3 << 17),
          "release() hands over address, count and capacity");
    check(buffer.size() == 0 && buffer.capacity() == 0, "release() leaves the buffer empty");
    check(static_cast<std::int64_t*>(block.ptr)[0] == 42, "the handed-over block keeps its contents");
    block.release(block.ptr, block.count, block.capacity);
}

void views_read_as_strided() {
    // Rows of 3 doubles, 9 bytes apart: unaligned elements; read backwards too.
    std::vector<char> bytes(9 * 4 + 24);
    for (int r = 0; r < 4; ++r) {
        double v = r + 0.5;
        std::memcpy(bytes.data() + 9 * r, &v, sizeof v);
    }
    kestrix::Strided1D<double> forward{bytes.data(), 4, 9};
    kestrix::Strided1D<double> backward{bytes.data() + 27, 4, -9};
    bool ok = true;
    for (int r = 0; r < 4; ++r) ok = ok && forward[r] == r + 0.5 && backward[r] == 3 - r + 0.5;
    check(ok, "1-D views read unaligned and negative strides");

    unsigned char flags[6] = {0, 1, 2, 0, 255, 0};
    kestrix::Strided2D<bool> mask{reinterpret_cast<const char*>(flags), 2, 3, 3, 1};
    check(!mask(0, 0) && mask(0, 1) && mask(0, 2) && !mask(1, 0) && mask(1, 1) && !mask(1, 2),
          "a bool view reads any non-zero byte as true");
    kestrix::Strided2D<bool> transposed{reinterpret_cast<const char*>(flags), 3, 2, 1, 3};
    check(transposed(2, 0) == mask(0, 2) && transposed(1, 1) == mask(1, 1),
          "a 2-D view follows both strides");

    for (std::ptrdiff_t bad : {std::ptrdiff_t{-1}, std::ptrdiff_t{4}}) {
        std::string message;
        try {
            forward.at(bad);
        } catch (const kestrix::InternalFailure& failure) {
            message = failure.message();
        }
        check(message == kestrix::kIndexOutOfBounds, "at(" + std::to_string(bad) + ") fails as out of bounds");
    }
    bool failed = false;
    try {
        mask.at(1, 3);
    } catch (const kestrix::InternalFailure&) {
        failed = true;
    }
    check(failed && mask.at(1, 2) == false, "2-D at() checks the column");
}

void casts_saturate() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::uint64_t u_max = ~std::uint64_t{0};
    const std::int64_t i_max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t i_min = std::numeric_limits<std::int64_t>::min();
    struct { double x; std::uint64_t u; std::int64_t i; } cases[] = {
        {nan, 0, 0},
        {-1.5, 0, -1},
        {1.9, 1, 1},
        {-0.0, 0, 0},
        {inf, u_max, i_max},
        {-inf, 0, i_min},
        {18446744073709551616.0, u_max, i_max},
        {18446744073709549568.0, 18446744073709549568u, i_max},  // largest double below 2^64
        {9223372036854775808.0, 9223372036854775808u, i_max},
        {-9223372036854775808.0, 0, i_min},
        {-9223372036854777856.0, 0, i_min},                      // next double below -2^63
        {9223372036854774784.0, 9223372036854774784u, 9223372036854774784},
    };
    for (const auto& c : cases) {
        check(kestrix::saturating_u64(c.x) == c.u, "saturating_u64(" + std::to_string(c.x) + ")");
        check(kestrix::saturating_i64(c.x) == c.i, "saturating_i64(" + std::to_string(c.x) + ")");
    }
}

void panics_carry_their_message() {
    std::string message;
    try {
        kestrix::panic("core check: deliberate");
    } catch (const kestrix::InternalFailure& failure) {
        message = failure.message();
    }
    check(message == "core check: deliberate", "panic throws its message");
}

void polls_and_vectors() {
    int calls = 0;
    kestrix::Poll poll{[](void* context) { ++*static_cast<int*>(context); }, &calls};
    poll();
    poll();
    kestrix::Poll{}();  // no callback: nothing
    check(calls == 2, "a poll calls its function with its context");

    // (1e16 + 1) - 1e16 is 0 in doubles: the sum's order is x, y, then z.
    check(kestrix::dot({1e16, 1.0, -1e16}, {1.0, 1.0, 1.0}) == 0.0, "dot adds x and y first");
}

}  // namespace

int main() {
    growth_keeps_every_element();
    mapped_block_grows_onto_huge_pages();
    zeroed_and_empty_blocks();
    release_hands_the_block_over();
    views_read_as_strided();
    casts_saturate();
    panics_carry_their_message();
    polls_and_vectors();
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures;
}
