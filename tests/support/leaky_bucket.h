// Coded sizes of an Annex B stream and the leaky bucket that replays them, for
// the rate-control stream tests.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// Access units of an Annex B stream of this encoder: one slice per picture,
// parameter sets and SEI only before a slice, so a unit starts at every NAL
// unit that follows a slice.
inline std::vector<uint32_t> access_units(const std::string &bytes)
{
    std::vector<size_t> starts;   // NAL start codes (the zero before a 4-byte one included)
    std::vector<int> types;
    for (size_t i = 0; i + 3 < bytes.size(); i++) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
        starts.push_back(i > 0 && bytes[i - 1] == 0 ? i - 1 : i);
        types.push_back(((uint8_t)bytes[i + 3] >> 1) & 63);
        i += 2;
    }
    std::vector<uint32_t> units;
    size_t unit_start = 0;
    for (size_t k = 1; k < starts.size(); k++)
        if (types[k - 1] < 32) {
            units.push_back((uint32_t)(starts[k] - unit_start));
            unit_start = starts[k];
        }
    if (!starts.empty()) units.push_back((uint32_t)(bytes.size() - unit_start));
    return units;
}

// Pictures that find the bucket short of their size: it starts 0.9 full; per
// access unit, in coding order, its size goes out and maxrate / frame rate
// comes back, up to the buffer size.
inline int bucket_underflows(const std::vector<uint32_t> &au_bytes, double maxrate_kbps, double buffer_kbit,
                             double fps)
{
    double size = buffer_kbit * 1000.0, fill = 0.9 * size, refill = maxrate_kbps * 1000.0 / fps;
    int count = 0;
    for (uint32_t bytes : au_bytes) {
        fill -= 8.0 * bytes;
        if (fill < 0.0) {
            count++;
            fill = 0.0;
        }
        fill = std::min(fill + refill, size);
    }
    return count;
}
