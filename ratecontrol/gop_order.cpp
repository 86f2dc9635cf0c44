// Coding order of a decided mini-GOP: the anchor first, then its B pictures in
// B-pyramid order, each reference B before the other B pictures of its half
// or quarter of the run.
#include "encoder/config.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "ratecontrol/lookahead.h"

namespace {

enum { MAX_MINIGOP = PICTURE_MAX_BFRAMES + 1 };

int32_t append_range(int32_t *order, int32_t k, int32_t from, int32_t to)
{
    for (int32_t i = from; i < to; i++) order[k++] = i;
    return k;
}

// Display positions 0 .. nb - 1 are the B run, nb the anchor. Fills order with
// the display positions in coding order.
void minigop_order(int32_t *order, int32_t nb, int32_t hierarchy)
{
    int32_t k = 0;
    order[k++] = nb;
    int32_t m = (nb + 1) / 2 - 1;
    if (hierarchy == 2 && nb >= 4) {
        int32_t l = ((nb + 1) / 2) / 2 - 1;
        int32_t r = m + (nb - m) / 2;
        order[k++] = m;
        order[k++] = l;
        k = append_range(order, k, 0, l);
        k = append_range(order, k, l + 1, m);
        order[k++] = r;
        k = append_range(order, k, m + 1, r);
        append_range(order, k, r + 1, nb);
    } else if (hierarchy != 0 && nb >= 1) {
        order[k++] = m;
        k = append_range(order, k, 0, m);
        append_range(order, k, m + 1, nb);
    } else {
        append_range(order, k, 0, nb);
    }
}

}  // namespace

int lookahead_reorder_minigop(lookahead *la)
{
    picture_list *input = la->input_queue;
    int32_t n = input->count;
    if (lookahead_slicetype_decide(la) != 0) return -1;
    picture **frames = (picture **)input->entries;

    int64_t pts[MAX_MINIGOP];
    int32_t nb = 0;
    while (nb < n) {
        picture *pic = frames[nb];
        pts[nb] = pic->pts;
        if (pic->picture_type != PIC_TYPE_BREF && pic->picture_type != PIC_TYPE_B) break;
        nb++;
        // The decision always closes a run within bframes + 1 pictures; a run
        // without an anchor would be a fault upstream, so its last picture
        // closes it rather than overrunning the tables.
        if (nb == MAX_MINIGOP - 1 || nb == n - 1) {
            pts[nb] = frames[nb]->pts;
            break;
        }
    }
    if (nb >= n) nb = n - 1;

    picture *display[MAX_MINIGOP];
    for (int32_t i = 0; i <= nb; i++) display[i] = (picture *)picture_list_pop_first(input);
    int32_t order[MAX_MINIGOP];
    minigop_order(order, nb, la->links.cfg->hierarchy);
    for (int32_t k = 0; k <= nb; k++) {
        picture *pic = display[order[k]];
        // Coding position k carries the timestamp of display position k.
        pic->dts = pts[k];
        if (picture_list_push_last(la->output_queue, pic) == 0) continue;
        for (; k <= nb; k++) picture_release(la->links.pools, display[order[k]]);
        return -1;
    }
    for (int32_t i = 0; i < input->count; i++) ((picture *)input->entries[i])->picture_type = 0;
    return 0;
}
