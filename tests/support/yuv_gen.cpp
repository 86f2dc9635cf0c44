#include "yuv_gen.h"

#include <cstdio>
#include <cstdlib>

int yuv_chroma_width(int width) { return (width + 1) / 2; }
int yuv_chroma_height(int height) { return (height + 1) / 2; }

size_t yuv_picture_bytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return (size_t)width * (size_t)height
         + 2 * (size_t)yuv_chroma_width(width) * (size_t)yuv_chroma_height(height);
}

// A 32-bit integer hash with good avalanche; the noise must not show patterns
// that a predictor could exploit, and must be identical on every platform.
static uint32_t mix32(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// Triangle wave over 0..255 with period 512: ramps without the hard edge a
// plain wrap-around would put into the "smooth" content.
static int triangle(uint32_t v)
{
    v &= 511;
    return v < 256 ? (int)v : (int)(511 - v);
}

static int gradient_sample(uint32_t seed, int t, int plane, int x, int y)
{
    uint32_t s = seed & 255;
    if (plane == 0)
        return triangle((uint32_t)(2 * x + y + 3 * t) + s);
    if (plane == 1)
        return 64 + triangle((uint32_t)(3 * x + t) + s) / 2;
    return 64 + triangle((uint32_t)(3 * y + 2 * t) + s) / 2;
}

static int noise_sample(uint32_t seed, int t, int plane, int x, int y)
{
    uint32_t base = mix32(seed ^ mix32((uint32_t)t * 3u + (uint32_t)plane + 0x9e3779b9U));
    return (int)(mix32(base ^ ((uint32_t)x | ((uint32_t)y << 16))) >> 24);
}

// True when luma position (x, y) lies in the moving rectangle or disc of
// picture t; `which` tells which (1 rectangle, 2 disc, 0 none).
static int shape_at(const yuv_gen_params *p, uint32_t seed, int t, int x, int y)
{
    int w = p->width, h = p->height;
    int rw = w / 4 > 2 ? w / 4 : 2, rh = h / 4 > 2 ? h / 4 : 2;
    int vx = 3 + (int)(seed % 5), vy = 1 + (int)((seed >> 3) % 3);
    int rx = (int)(((int64_t)t * vx) % w), ry = (int)(((int64_t)t * vy) % h);
    int dx = ((x - rx) % w + w) % w, dy = ((y - ry) % h + h) % h;
    if (dx < rw && dy < rh)
        return 1;
    int r = (w < h ? w : h) / 6;
    if (r < 1)
        r = 1;
    int cx = (int)((w / 2 + (int64_t)t * (vx + 2)) % w);
    int cy = (int)((h / 3 + (int64_t)t * 2) % h);
    int ex = x - cx, ey = y - cy;
    if (ex * ex + ey * ey <= r * r)
        return 2;
    return 0;
}

static int shapes_sample(const yuv_gen_params *p, uint32_t seed, int t, int plane, int x, int y,
                         int invert)
{
    // Chroma samples take the shape of the co-sited luma sample.
    int lx = plane ? 2 * x : x, ly = plane ? 2 * y : y;
    int which = shape_at(p, seed, t, lx, ly);
    static const int colours[3][3] = {{0, 0, 0}, {220, 90, 170}, {30, 200, 60}};
    if (which)
        return (colours[which][plane] + (int)(seed >> 8 & 15)) & 255;
    int v;
    if (plane == 0)
        v = 60 + ((((x >> 3) ^ (y >> 3)) & 1) * 40) + ((x + y) & 31);
    else
        v = 128 + (plane == 1 ? (x & 15) : -(y & 15));
    return invert ? 255 - v : v;
}

static int sample(const yuv_gen_params *p, int t, int plane, int x, int y)
{
    switch (p->pattern) {
    case yuv_pattern_noise:
        return noise_sample(p->seed, t, plane, x, y);
    case yuv_pattern_shapes:
        return shapes_sample(p, p->seed, t, plane, x, y, 0);
    case yuv_pattern_scene_cut:
        if (t < p->cut_picture)
            return gradient_sample(p->seed, t, plane, x, y);
        return shapes_sample(p, p->seed ^ 0x5bd1e995U, t, plane, x, y, 1);
    default:
        return gradient_sample(p->seed, t, plane, x, y);
    }
}

void yuv_gen_picture(const yuv_gen_params *params, int index, uint8_t *out)
{
    int widths[3] = {params->width, yuv_chroma_width(params->width),
                     yuv_chroma_width(params->width)};
    int heights[3] = {params->height, yuv_chroma_height(params->height),
                      yuv_chroma_height(params->height)};
    for (int plane = 0; plane < 3; plane++) {
        for (int y = 0; y < heights[plane]; y++)
            for (int x = 0; x < widths[plane]; x++)
                *out++ = (uint8_t)sample(params, index, plane, x, y);
    }
}

std::vector<uint8_t> yuv_gen_sequence(const yuv_gen_params *params, int first, int count)
{
    size_t bytes = yuv_picture_bytes(params->width, params->height);
    std::vector<uint8_t> data(bytes * (size_t)(count > 0 ? count : 0));
    for (int i = 0; i < count; i++)
        yuv_gen_picture(params, first + i, data.data() + bytes * (size_t)i);
    return data;
}

std::string y4m_header_line(int width, int height, int fps_num, int fps_den)
{
    char text[128];
    std::snprintf(text, sizeof(text), "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C420\n", width, height,
                  fps_num, fps_den);
    return text;
}

// Writes the header (may be empty), then for each picture the frame line (may
// be empty) and the picture, generating one picture at a time so that large
// files need little memory.
static bool write_pictures(const std::string &path, const std::string &header,
                           const std::string &frame_line, const yuv_gen_params *params,
                           int count)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    std::vector<uint8_t> picture(yuv_picture_bytes(params->width, params->height));
    for (int i = 0; ok && i < count; i++) {
        yuv_gen_picture(params, i, picture.data());
        ok = std::fwrite(frame_line.data(), 1, frame_line.size(), f) == frame_line.size()
          && std::fwrite(picture.data(), 1, picture.size(), f) == picture.size();
    }
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

bool yuv_write_raw(const std::string &path, const yuv_gen_params *params, int count)
{
    return write_pictures(path, "", "", params, count);
}

bool yuv_write_y4m(const std::string &path, const yuv_gen_params *params, int count,
                   int fps_num, int fps_den)
{
    return write_pictures(path, y4m_header_line(params->width, params->height, fps_num, fps_den),
                          "FRAME\n", params, count);
}

bool yuv_write_y4m_custom(const std::string &path, const std::string &header,
                          const std::string &frame_line, const yuv_gen_params *params, int count)
{
    return write_pictures(path, header, frame_line, params, count);
}

bool write_file_bytes(const std::string &path, const void *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

bool read_file_bytes(const std::string &path, std::vector<uint8_t> *out)
{
    out->clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}
