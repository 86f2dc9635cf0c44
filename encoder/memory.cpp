#include "encoder/memory.h"

#include <cstdlib>

#include <sys/mman.h>

namespace {

// Zeroed blocks of this size and more are mappings of their own: their pages
// are zero without being written, so each is faulted in by whichever thread
// first uses it. From the heap such a block is cleared at once on the
// allocating thread whenever the heap hands out memory it used before (the
// 208 row contexts of 8 threads at 1080p: 2600 pages cleared on the caller's
// thread before the first picture can start). Address-sanitizer builds stay
// on the heap, whose blocks the sanitizer checks.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TV_HEAP_ONLY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(TV_HEAP_ONLY)
constexpr bool MAPPED_ZEROED = false;
#else
constexpr bool MAPPED_ZEROED = true;
#endif
constexpr int32_t MAPPED_MIN_BYTES = 64 * 1024;
// The mapping's length and base (tagged by its lowest bit) before the block.
constexpr int64_t MAPPED_HEADER_BYTES = 64;
constexpr uintptr_t MAPPED_TAG = 1;

void *mapped_zeroed(int32_t size)
{
    size_t bytes = (size_t)size + MAPPED_HEADER_BYTES;
    void *base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    uint8_t *block = (uint8_t *)base + MAPPED_HEADER_BYTES;
    ((size_t *)block)[-2] = bytes;
    ((uintptr_t *)block)[-1] = (uintptr_t)base | MAPPED_TAG;
    return block;
}

// Aligns a heap block of size + 39 bytes and keeps the heap's pointer before it.
void *aligned_from(void *raw)
{
    if (!raw) return nullptr;
    uintptr_t block = ((uintptr_t)raw + 39) & ~(uintptr_t)31;
    ((void **)block)[-1] = raw;
    return (void *)block;
}

}  // namespace

void *aligned_malloc(int32_t size)
{
    if (size < 0) return nullptr;
    return aligned_from(std::malloc((size_t)size + 39));
}

void *aligned_calloc(int32_t size)
{
    if (size < 0) return nullptr;
    if (MAPPED_ZEROED && size >= MAPPED_MIN_BYTES) return mapped_zeroed(size);
    return aligned_from(std::calloc((size_t)size + 39, 1));
}

void aligned_free(void *block)
{
    if (!block) return;
    uintptr_t raw = ((uintptr_t *)block)[-1];
    if (raw & MAPPED_TAG) {
        munmap((void *)(raw & ~MAPPED_TAG), ((size_t *)block)[-2]);
        return;
    }
    std::free((void *)raw);
}
