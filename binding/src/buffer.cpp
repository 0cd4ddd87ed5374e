#include "kestrix/buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace kestrix::detail {
namespace {

constexpr std::size_t kPage = 4096;
// Blocks from this size up are mapped; below it malloc serves better.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool is_mapped(std::size_t bytes) noexcept { return bytes >= kMapThreshold; }
std::size_t page_round(std::size_t bytes) noexcept { return (bytes + kPage - 1) & ~(kPage - 1); }

void advise_huge(void* p, std::size_t len) noexcept {
    if (len >= kHugePage) madvise(p, len, MADV_HUGEPAGE);  // advice only: failure is harmless
}

void* map(std::size_t bytes) {
    std::size_t len = page_round(bytes);
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    advise_huge(p, len);
    return p;  // anonymous mappings are zero-filled
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
        std::size_t old_len = page_round(old_bytes), new_len = page_round(new_bytes);
        if (old_len == new_len) return ptr;
        void* p = mremap(ptr, old_len, new_len, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (new_len > old_len) advise_huge(p, new_len);
        return p;
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
        munmap(ptr, page_round(bytes));
    } else {
        std::free(ptr);
    }
}

}  // namespace kestrix::detail
