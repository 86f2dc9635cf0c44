// A lookahead window of source pictures for the cost and macroblock-tree
// tests: pictures from a real pool, filled from a sample function and given
// their half-resolution planes as the encoder prepares them.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>

#include "encoder/config.h"
#include "encoder/job_pool.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "encoder/source_picture.h"
#include "kernels/mc/lowres_planes.h"
#include "ratecontrol/lookahead.h"

typedef std::function<uint8_t(int32_t x, int32_t y)> sample_fn;

// Smooth texture (a sum of blobs, seeded) shifted by (dx, dy) luma samples.
inline sample_fn smooth_texture(uint32_t seed, int32_t dx = 0, int32_t dy = 0)
{
    std::mt19937 rng(seed);
    struct blob {
        double x, y, r, a;
    };
    std::vector<blob> blobs;
    for (int i = 0; i < 40; i++)
        blobs.push_back({(double)(rng() % 256) - 32, (double)(rng() % 256) - 32, 6.0 + rng() % 10,
                         (double)((int)(rng() % 161) - 80)});
    return [blobs, dx, dy](int32_t x, int32_t y) {
        double v = 128;
        for (const blob &b : blobs) {
            double d2 = (x + dx - b.x) * (x + dx - b.x) + (y + dy - b.y) * (y + dy - b.y);
            v += b.a * std::exp(-d2 / (2 * b.r * b.r));
        }
        return (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
    };
}

// Independent noise per seed: nothing of one picture predicts another.
inline sample_fn noise(uint32_t seed)
{
    return [seed](int32_t x, int32_t y) {
        uint32_t h = (uint32_t)x * 73856093u ^ (uint32_t)y * 19349663u ^ seed * 83492791u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return (uint8_t)(h & 0xFF);
    };
}

class cost_window {
  public:
    cost_window(int32_t count, int32_t bframes = 7, int32_t hierarchy = 2, int32_t width = 64, int32_t height = 128,
                int32_t pool_threads = 0, int32_t mbtree = 0)
    {
        config_defaults(&cfg_);
        cfg_.width = width;
        cfg_.height = height;
        cfg_.bframes = bframes;
        cfg_.hierarchy = hierarchy;
        cfg_.rc_mode = RC_MODE_ABR;
        cfg_.mbtree = mbtree;
        cfg_.aq_mode = mbtree ? 1 : 0;
        cfg_.aq_strength = 0.0f;
        cfg_.qcompress = 0.6f;
        cfg_.search_range = 16;
        picture_geometry g = {};
        g.width = width;
        g.height = height;
        g.ctu_cols = (width + 63) / 64;
        g.ctu_rows = (height + 63) / 64;
        g.bframes = bframes;
        g.aq = 1;
        g.motion_l1 = 1;
        EXPECT_EQ(picture_pools_init(&pools_, &g, 40, 1, nullptr), 0);
        coding_ = picture_list_create(40);
        if (pool_threads > 0) {
            EXPECT_EQ(job_pool_create(&pool_, pool_threads, nullptr, 0), 0);
        }
        lookahead_links links = {};
        links.cfg = &cfg_;
        links.pools = &pools_;
        links.coding_queue = coding_;
        links.lookahead_delay = 16;
        links.pool = pool_;
        EXPECT_EQ(lookahead_init(&la_, &links, 19), 0);
        for (int32_t i = 0; i < count; i++) {
            picture *pic = picture_get(&pools_, PICTURE_POOL_SOURCE);
            pic->frame_number = i;
            fill(pic, [](int32_t, int32_t) { return (uint8_t)100; });
            EXPECT_EQ(lookahead_put_frame(la_, pic), 0);
        }
    }
    ~cost_window()
    {
        lookahead_delete(la_);
        if (pool_) job_pool_destroy(pool_);
        picture_list_destroy(coding_);
        picture_pools_destroy(&pools_);
    }
    void fill(picture *pic, const sample_fn &f)
    {
        for (int32_t y = 0; y < cfg_.height; y++)
            for (int32_t x = 0; x < cfg_.width; x++) pic->planes[0][(int64_t)y * pic->strides[0] + x] = f(x, y);
        lowres_build_params params = {cfg_.width, cfg_.height, 0, cfg_.bframes, build_lowres_planes_c,
                                      downscale_2x2_plane_c, nullptr};
        picture_lowres_build(&params, pic, 1);
        if (pic->aq_weight) {
            int32_t blocks = 16 * ((cfg_.width + 63) / 64) * ((cfg_.height + 63) / 64);
            for (int32_t b = 0; b < blocks; b++) {
                pic->aq_weight[b] = 256;
                if (pic->mbtree_qp_offset) pic->mbtree_qp_offset[b] = 0.0f;
            }
        }
    }
    void fill(int32_t i, const sample_fn &f) { fill(at(i), f); }
    picture **frames() { return (picture **)la_->input_queue->entries; }
    picture *at(int32_t i) { return frames()[i]; }
    void cost(int32_t p0, int32_t p1, int32_t b) { lookahead_frame_cost(la_, frames(), p0, p1, b); }
    int32_t computed_cells(int32_t i)
    {
        int32_t n = 0;
        for (int a = 0; a < PICTURE_GRID; a++)
            for (int b = 0; b < PICTURE_GRID; b++) n += at(i)->frame_cost[a][b] >= 0;
        return n;
    }
    int32_t block_stride() const { return 4 * ((cfg_.width + 63) / 64); }
    int32_t block_cols() const { return (cfg_.width + 15) / 16; }
    int32_t block_rows() const { return (cfg_.height + 15) / 16; }

    internal_config cfg_;
    lookahead *la_ = nullptr;

  private:
    picture_pools pools_ = {};
    picture_list *coding_ = nullptr;
    job_pool *pool_ = nullptr;
};
