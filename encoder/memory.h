#pragma once
#include <cstddef>
#include <cstdint>

// Every block of the encoder is 32-byte aligned; the heap's own pointer is kept
// in the eight bytes before the block. Returns null when the heap fails.
[[nodiscard]] void *aligned_malloc(int32_t size);
// Ignores null.
void aligned_free(void *block);
