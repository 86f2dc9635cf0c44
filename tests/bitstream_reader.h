// Test-only helpers: a bit reader for RBSPs and a bit-string builder, written
// independently of the encoder's writer so that tests compare two codings.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct test_bit_reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;   // in bits

    test_bit_reader(const uint8_t *d, size_t n) : data(d), size(n) {}
    uint32_t u(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++) {
            uint32_t bit = pos / 8 < size ? (data[pos / 8] >> (7 - pos % 8)) & 1 : 0;
            v = (v << 1) | bit;
        }
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (u(1) == 0 && zeros < 32)
            zeros++;
        return ((1u << zeros) - 1u) + u(zeros);
    }
    int32_t se()
    {
        uint32_t k = ue();
        return (k & 1) ? (int32_t)((k + 1) / 2) : -(int32_t)(k / 2);
    }
    bool byte_aligned() const { return pos % 8 == 0; }
    size_t bits_left() const { return size * 8 - pos; }
};

// Bit strings such as "0100" + test_ue(7), turned into bytes.
inline std::string test_ue(uint32_t v)
{
    uint64_t m = (uint64_t)v + 1;
    std::string s;
    while (m) {
        s.insert(s.begin(), (char)('0' + (m & 1)));
        m >>= 1;
    }
    return std::string(s.size() - 1, '0') + s;
}

inline std::string test_se(int32_t v)
{
    return test_ue(v > 0 ? 2u * (uint32_t)v - 1u : (uint32_t)(-2 * (int64_t)v));
}

inline std::string test_u(int n, uint64_t v)
{
    std::string s;
    for (int i = n - 1; i >= 0; i--)
        s += (char)('0' + ((v >> i) & 1));
    return s;
}

inline std::string test_trailing(std::string s)
{
    s += '1';
    while (s.size() % 8)
        s += '0';
    return s;
}

inline std::vector<uint8_t> test_bytes_of_bits(const std::string &s)
{
    std::vector<uint8_t> out((s.size() + 7) / 8, 0);
    for (size_t i = 0; i < s.size(); i++)
        if (s[i] == '1')
            out[i / 8] |= (uint8_t)(0x80 >> (i % 8));
    return out;
}

inline std::vector<uint8_t> test_hex(const char *text)
{
    std::vector<uint8_t> out;
    unsigned v;
    int n;
    while (sscanf(text, " %2x%n", &v, &n) == 1) {
        out.push_back((uint8_t)v);
        text += n;
    }
    return out;
}
