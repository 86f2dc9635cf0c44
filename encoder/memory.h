#pragma once
#include <cstddef>
#include <cstdint>

// Every block of the encoder is 32-byte aligned; the heap's own pointer (or a
// zeroed block's own mapping) is kept in the bytes before the block. Returns
// null when the heap fails.
[[nodiscard]] void *aligned_malloc(int32_t size);
// A zeroed block. Blocks of 64 KB and more come as fresh pages that nothing
// writes before the encoder does, so the parts it never touches take no
// resident memory, and each page is faulted in by the thread that first uses it.
[[nodiscard]] void *aligned_calloc(int32_t size);
// Ignores null.
void aligned_free(void *block);
