#include "encoder/memory.h"

#include <cstdlib>

void *aligned_malloc(int32_t size)
{
    if (size < 0) return nullptr;
    void *raw = std::malloc((size_t)size + 39);
    if (!raw) return nullptr;
    uintptr_t block = ((uintptr_t)raw + 39) & ~(uintptr_t)31;
    ((void **)block)[-1] = raw;
    return (void *)block;
}

void aligned_free(void *block)
{
    if (!block) return;
    std::free(((void **)block)[-1]);
}
