// A bounded, null-terminated array list of pointers with a lock and two
// conditions: picture queues, free pools, reference lists and job lists.
#pragma once
#include <cstdint>
#include "encoder/platform/platform.h"

struct picture_list {
    void **entries;      // capacity + 1 slots; entry count is always null
    int32_t capacity;
    int32_t count;
    tv_mutex lock;
    tv_cond not_empty;
    tv_cond not_full;
};

[[nodiscard]] picture_list *picture_list_create(int32_t capacity);
// Frees the pictures still held; users storing other pointers clear them first.
void picture_list_destroy(picture_list *list);

// Without locking: one thread only, or with the list's lock held.
// The plain pushes return -1 and change nothing when the list is full.
[[nodiscard]] int picture_list_push_last(picture_list *list, void *entry);
[[nodiscard]] int picture_list_push_first(picture_list *list, void *entry);
void *picture_list_pop_first(picture_list *list);
void *picture_list_pop_last(picture_list *list);
// Removes entry i, moving the later ones down; null when out of range.
void *picture_list_remove_at(picture_list *list, int32_t index);

// Blocking forms: take the lock, wait for room or an entry, broadcast the other side.
void picture_list_push_last_wait(picture_list *list, void *entry);
void *picture_list_pop_last_wait(picture_list *list);
