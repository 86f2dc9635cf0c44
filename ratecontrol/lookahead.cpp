// The lookahead record and its two queues.
#include "ratecontrol/lookahead.h"

#include <cstring>

#include "encoder/config.h"
#include "encoder/memory.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "ratecontrol/lookahead_ahead.h"
#include "ratecontrol/lookahead_workers.h"

int lookahead_init(lookahead **out, const lookahead_links *links, int32_t depth)
{
    *out = nullptr;
    if (depth < 1) return -1;
    lookahead *la = (lookahead *)aligned_malloc((int32_t)sizeof(lookahead));
    if (!la) return -1;
    std::memset(la, 0, sizeof(*la));
    la->links = *links;
    la->input_queue = picture_list_create(depth + 1);
    la->output_queue = picture_list_create(depth);
    if (!la->input_queue || !la->output_queue || lookahead_workers_open(la) != 0 || lookahead_ahead_open(la) != 0) {
        picture_list_destroy(la->input_queue);
        picture_list_destroy(la->output_queue);
        lookahead_workers_close(la);
        aligned_free(la);
        return -1;
    }
    la->depth = depth;
    la->last_keyframe = -links->cfg->idr_period;
    la->last_base_p = 0;
    la->ra_count = -1;
    *out = la;
    return 0;
}

void lookahead_delete(lookahead *la)
{
    if (!la) return;
    // Its thread reads the queued pictures: it ends first.
    lookahead_ahead_close(la);
    picture_list_destroy(la->input_queue);
    picture_list_destroy(la->output_queue);
    if (la->held_anchor) picture_release(la->links.pools, la->held_anchor);
    lookahead_workers_close(la);
    aligned_free(la);
}

int lookahead_put_frame(lookahead *la, picture *pic)
{
    // Pooled pictures come back with their previous decision; a type left on
    // an undecided picture would be read as a B run or an anchor.
    pic->picture_type = 0;
    pic->layer = 0;
    pic->p_layer = 0;
    return picture_list_push_last(la->input_queue, pic);
}

int lookahead_get_frames(lookahead *la)
{
    if (la->input_queue->count == 0) return 0;
    int reordered = lookahead_reorder_minigop(la);
    // The decided pictures have left the window; so do their costs worked out ahead.
    lookahead_ahead_discard(la);
    if (reordered != 0) return -1;
    picture_list *coding = la->links.coding_queue;
    while (picture *pic = (picture *)picture_list_pop_first(la->output_queue)) {
        if (picture_list_push_last(coding, pic) != 0) {
            // Back where it came from, where it was just taken from.
            (void)picture_list_push_first(la->output_queue, pic);
            return -1;
        }
    }
    if (coding->count == 0) return 0;
    picture *anchor = (picture *)coding->entries[0];
    if (la->held_anchor) picture_release(la->links.pools, la->held_anchor);
    la->held_anchor = anchor;
    anchor->reference_count++;
    return 0;
}

int32_t lookahead_pending_count(lookahead *la)
{
    // Input before output: the one lock order used wherever both are taken.
    mutex_lock(&la->input_queue->lock);
    mutex_lock(&la->output_queue->lock);
    int32_t n = la->input_queue->count + la->output_queue->count;
    mutex_unlock(&la->output_queue->lock);
    mutex_unlock(&la->input_queue->lock);
    return n;
}
