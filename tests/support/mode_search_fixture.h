#pragma once
// A row context prepared by hand for the CTU search of one CTU at (0, 0) of
// an I picture: kernel tables, rate-distortion tables, search work blocks,
// CTU buffers with empty borders, and a constant-QP rate-control view.
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/mode_search.h"
#include "encoder/cpu.h"
#include "encoder/encoder_rd.h"
#include "encoder/memory.h"
#include "tests/support/test_records.h"

struct search_fixture {
    row_context *ctx = nullptr;
    std::vector<uint8_t> source_luma, source_chroma, recon;
    std::vector<int16_t> levels;
    std::vector<uint8_t> depth_max, depth_min;
    ratecontrol rc_record;
    picture source_pic;

    search_fixture(int complexity, int qp, int width = 64, int height = 64)
    {
        ctx = test_row_context_new();
        internal_config *cfg = &ctx->config;
        config_defaults(cfg);
        config_preset(cfg, complexity, 0);
        cfg->rc_mode = RC_MODE_CQP;
        cfg->aq_mode = 0;
        cfg->qp = qp;
        cfg->qp_min = 0;
        cfg->qp_max = 51;
        uint32_t flags = cpu_detect();
        ctx->enc->rd = encoder_rd_open(cfg, nullptr);
        transform_table_init(flags, &ctx->enc->transform);
        quant_table_init(flags, &ctx->enc->quant);
        metric_table_init(flags, &ctx->enc->metric, cfg->metric_selector);
        intra_pred_table_init(flags, &ctx->enc->intra_pred);
        ctx->enc->scans = (scan_tables *)aligned_malloc((int32_t)sizeof(scan_tables));
        std::memset(ctx->enc->scans, 0, sizeof(scan_tables));
        EXPECT_EQ(scan_tables_init(ctx->enc->scans), 0);
        ctx->enc->width = width;
        ctx->enc->height = height;
        ctx->enc->ctu_cols = (width + 63) / 64;
        ctx->enc->ctu_rows = (height + 63) / 64;
        ctx->fi->pic.slice_class = 2;
        ctx->fi->pic.sh.slice_type = 2;
        ctx->enc->sps.log2_min_cb_size = 3;
        ctx->enc->sps.log2_min_tb_size = 2;
        ctx->enc->sps.log2_max_tb_size = 5;
        cabac_init_contexts(&ctx->cabac, 2, qp, 120);
        ctx->qp_prev = qp;

        ctu_context *c = &ctx->ctu;
        source_luma.assign(64 * 64, 0);
        source_chroma.assign(64 * 32, 0);
        recon.assign(128 * 120, 0);
        c->source_luma = source_luma.data();
        c->source_chroma = source_chroma.data();
        c->recon_luma = recon.data() + 128 + 8;
        c->recon_chroma = recon.data() + 128 * 70 + 8;
        c->ctu_w = width < 64 ? width : 64;
        c->ctu_h = height < 64 ? height : 64;
        c->speed_level = complexity;
        c->rdoq = cfg->rdoq;
        c->rdoq_alt_on = cfg->rdoq && complexity > 4;
        c->qg_units = 256;
        levels.assign(4096 + 2 * 1024, 0);
        c->tu_levels[0] = levels.data();
        c->tu_levels[1] = levels.data() + 4096;
        c->tu_levels[2] = levels.data() + 5120;
        ctx->fi->pic.sh.slice_qp = qp;
        c->search_work[0] = (uint8_t *)aligned_malloc(SEARCH_WORK_BYTES_A);
        c->search_work[1] = (uint8_t *)aligned_malloc(SEARCH_WORK_BYTES_B);
        std::memset(c->search_work[0], 0, SEARCH_WORK_BYTES_A);
        std::memset(c->search_work[1], 0, SEARCH_WORK_BYTES_B);
        std::memset(c->maps.cu_depth_map, 0xff, sizeof(c->maps.cu_depth_map));
        std::memset(c->maps.cu_qp_map, 0xff, sizeof(c->maps.cu_qp_map));
        std::memset(c->maps.pred_mode_map, 0xff, sizeof(c->maps.pred_mode_map));
        std::memset(c->maps.tu_size_map, 16, sizeof(c->maps.tu_size_map));
        std::memset(c->intra_modes, 0xff, sizeof(c->intra_modes));
        depth_max.assign(4, 0);
        depth_min.assign(4, 100);
        ctx->fi->tables.ctu_depth_max = depth_max.data();
        ctx->fi->tables.ctu_depth_min = depth_min.data();

        std::memset(&rc_record, 0, sizeof(rc_record));
        rc_record.frame_qp_f = (float)qp;
        std::memset(&source_pic, 0, sizeof(source_pic));
        source_pic.picture_type = PIC_TYPE_IDR;
        ctx->fi->pic.source_picture = &source_pic;
        ctx->rcc.rc = &rc_record;
        ctx->rcc.cfg = cfg;
        ctx->rcc.lambdas = encoder_rd_lambdas(ctx->enc->rd);
        ctx->rcc.source = &source_pic;
        ctx->rcc.slice_class = 2;
    }

    ~search_fixture()
    {
        aligned_free(ctx->ctu.search_work[0]);
        aligned_free(ctx->ctu.search_work[1]);
        scan_tables_free(ctx->enc->scans);
        aligned_free(ctx->enc->scans);
        encoder_rd_close(ctx->enc->rd);
        std::free(ctx);
    }

    // Deterministic content: a blend of ramps, edges and noise by seed.
    void fill_source(uint32_t seed, int noise)
    {
        uint32_t s = seed * 2654435761u + 1;
        auto rnd = [&s]() {
            s = s * 1664525u + 1013904223u;
            return (int)(s >> 24);
        };
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 64; x++) {
                int v = 40 + x * 2 + ((x / 16 + y / 8 + (int)seed) % 3) * 30 + (noise ? rnd() % noise : 0);
                if ((x - 40) * (x - 40) + (y - 20) * (y - 20) < 150) v = 220 - y;
                source_luma[y * 64 + x] = (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        for (int y = 0; y < 32; y++)
            for (int x = 0; x < 64; x++)
                source_chroma[y * 64 + x] = (uint8_t)(x < 32 ? 90 + x + (noise ? rnd() % (noise / 2 + 1) : 0)
                                                            : 160 - y + ((x + y) % 7) * 3);
    }

    // Rate-estimation part of the live coder.
    std::vector<uint8_t> rate_state() const
    {
        const cabac_rate_state &r = ctx->cabac.rate;
        const uint8_t *bits = (const uint8_t *)&r.est_bits;
        std::vector<uint8_t> v(bits, bits + sizeof(r.est_bits));
        v.insert(v.end(), r.ctx, r.ctx + cabac_num_ctx);
        v.insert(v.end(), r.rdoq_sig_state, r.rdoq_sig_state + 2);
        v.insert(v.end(), r.rdoq_gt1_state, r.rdoq_gt1_state + 2);
        return v;
    }
};
