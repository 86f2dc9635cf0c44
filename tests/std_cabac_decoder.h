// Test-only CABAC decoder written from the decoding process of clause 9.3
// of the H.265 standard (9-bit offset, bit-by-bit renormalisation, its own
// tables), independent of the encoder's coder, so that tests can check that
// every coded bin decodes back.
#pragma once
#include <cstddef>
#include <cstdint>

// rangeTabLps[pStateIdx][qRangeIdx] and transIdxLps of clause 9.3.4.3.2.
inline const uint8_t std_range_tab_lps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158}, {90, 110, 130, 150}, {85, 104, 123, 142}, {81, 99, 117, 135},
    {77, 94, 111, 128}, {73, 89, 105, 122}, {69, 85, 100, 116}, {66, 80, 95, 110},
    {62, 76, 90, 104}, {59, 72, 86, 99}, {56, 69, 81, 94}, {53, 65, 77, 89},
    {51, 62, 73, 85}, {48, 59, 69, 80}, {46, 56, 66, 76}, {43, 53, 63, 72},
    {41, 50, 59, 69}, {39, 48, 56, 65}, {37, 45, 54, 62}, {35, 43, 51, 59},
    {33, 41, 48, 56}, {32, 39, 46, 53}, {30, 37, 43, 50}, {29, 35, 41, 48},
    {27, 33, 39, 45}, {26, 31, 37, 43}, {24, 30, 35, 41}, {23, 28, 33, 39},
    {22, 27, 32, 37}, {21, 26, 30, 35}, {20, 24, 29, 33}, {19, 23, 27, 31},
    {18, 22, 26, 30}, {17, 21, 25, 28}, {16, 20, 23, 27}, {15, 19, 22, 25},
    {14, 18, 21, 24}, {14, 17, 20, 23}, {13, 16, 19, 22}, {12, 15, 18, 21},
    {12, 14, 17, 20}, {11, 14, 16, 19}, {11, 13, 15, 18}, {10, 12, 15, 17},
    {10, 12, 14, 16}, {9, 11, 13, 15}, {9, 11, 12, 14}, {8, 10, 12, 14},
    {8, 9, 11, 13}, {7, 9, 11, 12}, {7, 9, 10, 12}, {7, 8, 10, 11},
    {6, 8, 9, 11}, {6, 7, 9, 10}, {6, 7, 8, 9}, {2, 2, 2, 2},
};
inline const uint8_t std_trans_idx_lps[64] = {
    0, 0, 1, 2, 2, 4, 4, 5, 6, 7, 8, 9, 9, 11, 11, 12,
    13, 13, 15, 15, 16, 16, 18, 18, 19, 19, 21, 21, 22, 22, 23, 24,
    24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30, 31, 32, 32, 33,
    33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

// A CABAC decoder written from the decoding process of clause 9.3 (9-bit
// offset, bit-by-bit renormalisation), independent of the encoder's tables
// and state coding, used to check that every coded bin decodes back.
struct std_context {
    int p_state;
    int val_mps;
};

struct std_decoder {
    const uint8_t *data;
    size_t size;
    size_t pos;   // bits read
    uint32_t range;
    uint32_t offset;
    bool overrun;

    uint32_t read_bit()
    {
        if (pos / 8 >= size) {
            overrun = true;
            pos++;
            return 0;
        }
        uint32_t b = (data[pos / 8] >> (7 - pos % 8)) & 1;
        pos++;
        return b;
    }
    void init(const uint8_t *d, size_t n)
    {
        data = d;
        size = n;
        pos = 0;
        overrun = false;
        range = 510;
        offset = 0;
        for (int i = 0; i < 9; i++)
            offset = (offset << 1) | read_bit();
    }
    void renorm()
    {
        while (range < 256) {
            range <<= 1;
            offset = (offset << 1) | read_bit();
        }
    }
    int decision(std_context *c)
    {
        uint32_t lps = std_range_tab_lps[c->p_state][(range >> 6) & 3];
        range -= lps;
        int bin;
        if (offset >= range) {
            bin = !c->val_mps;
            offset -= range;
            range = lps;
            if (c->p_state == 0)
                c->val_mps = 1 - c->val_mps;
            c->p_state = std_trans_idx_lps[c->p_state];
        } else {
            bin = c->val_mps;
            if (c->p_state < 62)
                c->p_state++;
        }
        renorm();
        return bin;
    }
    int bypass()
    {
        offset = (offset << 1) | read_bit();
        if (offset >= range) {
            offset -= range;
            return 1;
        }
        return 0;
    }
    int terminate()
    {
        range -= 2;
        if (offset >= range)
            return 1;
        renorm();
        return 0;
    }
};

inline std_context std_init(int init_value, int qp)
{
    int m = (init_value >> 4) * 5 - 45;
    int n = ((init_value & 15) << 3) - 16;
    int pre = (m * qp) / 16;
    // the standard's >> 4 on a negative product rounds down
    if ((m * qp) < 0 && (m * qp) % 16)
        pre -= 1;
    pre += n;
    pre = pre < 1 ? 1 : (pre > 126 ? 126 : pre);
    std_context c;
    c.val_mps = pre <= 63 ? 0 : 1;
    c.p_state = c.val_mps ? pre - 64 : 63 - pre;
    return c;
}

inline uint8_t context_byte_of(const std_context &c)
{
    return (uint8_t)(((63 - c.p_state) << 1) | c.val_mps);
}
