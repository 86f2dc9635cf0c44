#pragma once
#include <cstddef>
#include <cstdint>

// Every block of the encoder is 32-byte aligned; the heap's own pointer is kept
// in the eight bytes before the block. Returns null when the heap fails.
[[nodiscard]] void *aligned_malloc(int32_t size);
// A zeroed block. Large blocks come as fresh pages that the heap does not
// write, so the parts the encoder never touches take no resident memory.
[[nodiscard]] void *aligned_calloc(int32_t size);
// Ignores null.
void aligned_free(void *block);
