#include "encoder/picture_list.h"

#include <cstring>

#include "encoder/memory.h"
#include "encoder/picture.h"

picture_list *picture_list_create(int32_t capacity)
{
    // The entry array (capacity + 1 pointers) must fit one allocation.
    if (capacity < 0 || capacity > INT32_MAX / (int32_t)sizeof(void *) - 1) return nullptr;
    picture_list *list = (picture_list *)aligned_malloc((int32_t)sizeof(picture_list));
    if (!list) return nullptr;
    std::memset(list, 0, sizeof(*list));
    list->entries = (void **)aligned_malloc((int32_t)sizeof(void *) * (capacity + 1));
    if (!list->entries) {
        aligned_free(list);
        return nullptr;
    }
    std::memset(list->entries, 0, sizeof(void *) * (capacity + 1));
    list->capacity = capacity;
    if (mutex_init(&list->lock)) goto fail_lock;
    if (cond_init(&list->not_empty)) goto fail_empty;
    if (cond_init(&list->not_full)) goto fail_full;
    return list;
fail_full:
    cond_destroy(&list->not_empty);
fail_empty:
    mutex_destroy(&list->lock);
fail_lock:
    aligned_free(list->entries);
    aligned_free(list);
    return nullptr;
}

void picture_list_destroy(picture_list *list)
{
    if (!list) return;
    mutex_destroy(&list->lock);
    cond_destroy(&list->not_empty);
    cond_destroy(&list->not_full);
    for (int32_t i = 0; i < list->count; i++)
        if (list->entries[i]) picture_free((picture *)list->entries[i]);
    aligned_free(list->entries);
    aligned_free(list);
}

int picture_list_push_last(picture_list *list, void *entry)
{
    if (list->count >= list->capacity) return -1;
    list->entries[list->count++] = entry;
    list->entries[list->count] = nullptr;
    return 0;
}

int picture_list_push_first(picture_list *list, void *entry)
{
    if (list->count >= list->capacity) return -1;
    std::memmove(list->entries + 1, list->entries, sizeof(void *) * (list->count + 1));
    list->entries[0] = entry;
    list->count++;
    return 0;
}

void *picture_list_remove_at(picture_list *list, int32_t index)
{
    if (index < 0 || index >= list->count) return nullptr;
    void *entry = list->entries[index];
    std::memmove(list->entries + index, list->entries + index + 1, sizeof(void *) * (list->count - index));
    list->count--;
    return entry;
}

void *picture_list_pop_first(picture_list *list)
{
    return picture_list_remove_at(list, 0);
}

void *picture_list_pop_last(picture_list *list)
{
    if (list->count <= 0) return nullptr;
    void *entry = list->entries[--list->count];
    list->entries[list->count] = nullptr;
    return entry;
}

void picture_list_push_last_wait(picture_list *list, void *entry)
{
    mutex_lock(&list->lock);
    while (list->count >= list->capacity) cond_wait(&list->not_full, &list->lock);
    (void)picture_list_push_last(list, entry);   // the wait made room
    cond_broadcast(&list->not_empty);
    mutex_unlock(&list->lock);
}

void *picture_list_pop_last_wait(picture_list *list)
{
    mutex_lock(&list->lock);
    while (list->count == 0) cond_wait(&list->not_empty, &list->lock);
    void *entry = picture_list_pop_last(list);
    cond_broadcast(&list->not_full);
    mutex_unlock(&list->lock);
    return entry;
}
