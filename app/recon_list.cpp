// Reconstruction file in display order. The encoder returns pictures in coding
// order (B pictures after the P picture they refer to); a picture that is not
// the next one to write is copied into a list sorted by pts and written as soon
// as its turn comes.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "app/cli.h"

void recon_list_init(recon_list *list, FILE *err)
{
    list->next_pts = 0;
    list->head = NULL;
    list->err = err;
    list->failed = 0;
}

static void recon_node_free(recon_node *node)
{
    std::free(node->data);
    std::free(node);
}

void recon_list_free(recon_list *list)
{
    while (list->head) {
        recon_node *next = list->head->next;
        recon_node_free(list->head);
        list->head = next;
    }
}

static uint64_t picture_bytes(int width, int height)
{
    return (uint64_t)(width / 2) * (uint64_t)(height / 2) * 6;
}

static void report_short_write(recon_list *list, int64_t pts, uint64_t written, uint64_t expected)
{
    list->failed = 1;
    fprintf(list->err, "[frame %" PRId64 "] write reconstruct file error: %zu/%zu bytes writed\n", pts,
            (size_t)written, (size_t)expected);
}

int64_t recon_write_frame(recon_list *list, FILE *file, int64_t pts, const uint8_t *const planes[3],
                          const uint32_t strides[3], int width, int height)
{
    if (pts > list->next_pts)
        return 0;
    uint64_t written = 0;
    for (int y = 0; y < height; y++)
        written += fwrite(planes[0] + (size_t)y * strides[0], 1, (size_t)width, file);
    for (int c = 1; c < 3; c++)
        for (int y = 0; y < height / 2; y++)
            written += fwrite(planes[c] + (size_t)y * strides[c], 1, (size_t)(width / 2), file);
    list->next_pts++;
    uint64_t expected = picture_bytes(width, height);
    if (written != expected)
        report_short_write(list, pts, written, expected);
    return written ? (int64_t)written : -1;
}

int64_t recon_write_pending(recon_list *list, FILE *file, int only_next)
{
    recon_node *node = list->head;
    if (!node || (only_next && node->pts > list->next_pts))
        return 0;
    uint64_t written = fwrite(node->data, 1, (size_t)node->size, file);
    if (written != node->size)
        report_short_write(list, node->pts, written, node->size);
    list->head = node->next;
    recon_node_free(node);
    list->next_pts++;
    return written ? (int64_t)written : -1;
}

int recon_node_new(recon_node **link, uint64_t size)
{
    recon_node *node = (recon_node *)std::calloc(1, sizeof(recon_node));
    if (!node)
        return 1;
    node->data = (uint8_t *)std::malloc(size ? (size_t)size : 1);
    if (!node->data) {
        std::free(node);
        return 1;
    }
    node->size = size;
    node->next = *link;
    *link = node;
    return 0;
}

int recon_keep_sorted(recon_list *list, int64_t pts, const uint8_t *const planes[3],
                      const uint32_t strides[3], int width, int height)
{
    recon_node **link = &list->head;
    while (*link && (*link)->pts < pts)
        link = &(*link)->next;
    uint64_t size = (uint64_t)width * (uint64_t)height + 2 * (uint64_t)(width / 2) * (uint64_t)(height / 2);
    if (recon_node_new(link, size))
        return 1;
    recon_node *node = *link;
    node->pts = pts;
    uint8_t *dst = node->data;
    for (int y = 0; y < height; y++, dst += width)
        std::memcpy(dst, planes[0] + (size_t)y * strides[0], (size_t)width);
    for (int c = 1; c < 3; c++)
        for (int y = 0; y < height / 2; y++, dst += width / 2)
            std::memcpy(dst, planes[c] + (size_t)y * strides[c], (size_t)(width / 2));
    return 0;
}
