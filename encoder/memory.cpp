#include "encoder/memory.h"

#include <cstdlib>

namespace {

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
    return aligned_from(std::calloc((size_t)size + 39, 1));
}

void aligned_free(void *block)
{
    if (!block) return;
    std::free(((void **)block)[-1]);
}
