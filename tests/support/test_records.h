#pragma once
// The three records of an encoder linked by hand, for tests that drive CTU- or
// picture-level code without opening an encoder: the encoder, one frame
// instance and the context of its row 0, all zeroed, in one allocation that
// std::free releases through the row context's address.
#include <cstdlib>

#include "encoder/encoder_instance.h"

struct test_records {
    row_context row;   // first: its address is the allocation's
    frame_instance fi;
    encoder_instance enc;
};

inline row_context *test_row_context_new()
{
    test_records *t = (test_records *)std::calloc(1, sizeof(test_records));
    if (!t) return nullptr;
    t->fi.enc = &t->enc;
    t->fi.row0 = &t->row;
    t->row.enc = &t->enc;
    t->row.fi = &t->fi;
    return &t->row;
}
