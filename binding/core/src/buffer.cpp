#include "kestrix/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace kestrix::detail {
namespace {

constexpr std::size_t kPage = 4096;
// Blocks from this size up are mapped; below it malloc serves better.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool is_mapped(std::size_t bytes) noexcept { return bytes >= kMapThreshold; }

/// The length of the mapping behind a block of `bytes`: whole huge pages when
/// that wastes at most a quarter of the block (a huge page is backed whole as
/// soon as it is touched), else whole small pages, the tail then small.
std::size_t mapped_length(std::size_t bytes) noexcept {
    std::size_t huge = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    if (huge - bytes <= bytes / 4) return huge;
    return (bytes + kPage - 1) & ~(kPage - 1);
}

bool huge_aligned(const void* p) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) & (kHugePage - 1)) == 0;
}

void advise_huge(void* p, std::size_t len) noexcept {
    if (len >= kHugePage) madvise(p, len, MADV_HUGEPAGE);  // advice only: failure is harmless
}

/// Reserves `len` bytes of address space starting on a huge-page boundary when
/// len is a whole number of huge pages. Transparent huge pages only back aligned
/// ranges, and a fresh 4 KiB page costs several times what its share of a huge
/// page does; an unaligned block would get small pages only.
void* map_aligned(std::size_t len, int prot) {
    if (len < kHugePage) {
        void* p = mmap(nullptr, len, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    std::size_t span = len + kHugePage;
    if (span < len) return nullptr;
    void* raw = mmap(nullptr, span, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(raw);
    std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    std::size_t head = aligned - start, tail = span - head - len;
    if (head) munmap(raw, head);
    if (tail) munmap(reinterpret_cast<void*>(aligned + len), tail);
    return reinterpret_cast<void*>(aligned);
}

void* map(std::size_t bytes) {
    std::size_t len = mapped_length(bytes);
    void* p = map_aligned(len, PROT_READ | PROT_WRITE);
    if (!p) throw std::bad_alloc();
    advise_huge(p, len);
    return p;  // anonymous mappings are zero-filled
}

/// Grows or shrinks a mapping, keeping a grown one huge-page aligned: first in
/// place, else moved (pages move, bytes are not copied) onto a reserved aligned range.
void* remap(void* ptr, std::size_t old_len, std::size_t new_len) {
    if (new_len <= old_len) {
        void* p = mremap(ptr, old_len, new_len, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return p;
    }
    void* p = mremap(ptr, old_len, new_len, 0);
    if (p == MAP_FAILED) {
        p = MAP_FAILED;
        if (new_len >= kHugePage && huge_aligned(ptr)) {
            void* target = map_aligned(new_len, PROT_NONE);
            if (target) {
                p = mremap(ptr, old_len, new_len, MREMAP_MAYMOVE | MREMAP_FIXED, target);
                if (p == MAP_FAILED) munmap(target, new_len);
            }
        }
        if (p == MAP_FAILED) p = mremap(ptr, old_len, new_len, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
    }
    advise_huge(p, new_len);
    return p;
}

}  // namespace

void* block_allocate(std::size_t bytes, bool zero) {
    if (is_mapped(bytes)) return map(bytes);
    void* p = zero ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void* block_resize(void* ptr, std::size_t old_bytes, std::size_t new_bytes) {
    bool was = is_mapped(old_bytes), will = is_mapped(new_bytes);
    if (was && will) {
        std::size_t old_len = mapped_length(old_bytes), new_len = mapped_length(new_bytes);
        if (old_len == new_len) return ptr;
        // A block that reaches huge-page size from below moves once onto aligned pages.
        if (new_len >= kHugePage && !huge_aligned(ptr)) {
            void* p = map(new_bytes);
            std::memcpy(p, ptr, old_bytes < new_bytes ? old_bytes : new_bytes);
            munmap(ptr, old_len);
            return p;
        }
        return remap(ptr, old_len, new_len);
    }
    if (!was && !will) {
        void* p = std::realloc(ptr, new_bytes);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void* p = block_allocate(new_bytes, false);
    std::memcpy(p, ptr, old_bytes < new_bytes ? old_bytes : new_bytes);
    block_free(ptr, old_bytes);
    return p;
}

void block_free(void* ptr, std::size_t bytes) noexcept {
    if (bytes == 0) return;
    if (is_mapped(bytes)) {
        munmap(ptr, mapped_length(bytes));
    } else {
        std::free(ptr);
    }
}

}  // namespace kestrix::detail
