// Types of a picture as the lookahead decides them, the order in which the
// per-type tables (type_row_limit and the like) index them.
#pragma once
#include <cstdint>

enum {
    PIC_TYPE_AUTO = 0,
    PIC_TYPE_IDR = 1,
    PIC_TYPE_CRA = 2,
    PIC_TYPE_I = 3,
    PIC_TYPE_P = 4,
    PIC_TYPE_BREF = 5,   // a B picture that others predict from
    PIC_TYPE_B = 6,
    PIC_TYPE_COUNT = 7,
};

// IDR, CRA and I pictures.
inline bool picture_type_is_intra(int32_t type)
{
    return type >= PIC_TYPE_IDR && type <= PIC_TYPE_I;
}

// B pictures, referenced or not.
inline bool picture_type_is_b(int32_t type)
{
    return type == PIC_TYPE_BREF || type == PIC_TYPE_B;
}
