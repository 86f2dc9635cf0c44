// A model encoder for rate-control tests: pictures with given lookahead costs
// are "coded" CTU by CTU at the QPs rate control chooses, each CTU taking
// bits = k x cost / qscale. It drives the same calls the encoder makes per
// picture and per CTU, on one frame instance.
#pragma once
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "encoder/config.h"
#include "encoder/lambda_tables.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"

struct sim_picture {
    std::unique_ptr<picture> src{new picture()};
    std::unique_ptr<picture> rec{new picture()};
    std::vector<int32_t> rows_inter, ctus_inter, rows_intra, ctus_intra;
    std::vector<int32_t> vbv_row_bits, vbv_ctu_bits;
    std::vector<float> vbv_row_qp, vbv_row_qscale;
    std::vector<uint32_t> lowres_inter, lowres_intra;
    std::vector<uint8_t> ctu_qps;
    std::vector<float> tree;
};

struct sim_result {
    int32_t qp;
    float qp_f;
    uint32_t bits;
    int32_t fill_before;   // VBV fill when the picture started (first record)
};

class rc_simulation {
public:
    internal_config cfg;
    ratecontrol *rc = nullptr;
    double k = 13.6;                 // bits x qscale per cost unit
    std::unique_ptr<lambda_tables> lambdas{new lambda_tables()};
    std::vector<std::unique_ptr<sim_picture>> pictures;
    // Macroblock-tree offset of every block of the pictures coded next (with
    // cfg.mbtree set; 0 leaves the offsets off).
    float tree_offset = 0.0f;
    // One CTU of the pictures coded next that takes this many times its
    // model bits (spike_x -1: none), as detail the lookahead missed.
    int32_t spike_x = -1, spike_y = -1;
    double spike_scale = 1.0;

    explicit rc_simulation(const internal_config &c) : cfg(c) {}
    ~rc_simulation() { ratecontrol_delete(rc); }

    int open() { return ratecontrol_new(&rc, &cfg); }
    int32_t cols() const { return (cfg.width + 63) / 64; }
    int32_t rows() const { return (cfg.height + 63) / 64; }

    // Codes the next picture (IDR first, then P pictures referencing the
    // previous one) whose inter cost is `cost`, intra cost 3 x cost.
    // `bits_scale` multiplies what the model gives (a picture harder than the
    // lookahead thought). Returns false when rate control refused it.
    bool code(int32_t cost, double bits_scale, sim_result *out, uint32_t type = 0)
    {
        uint32_t bits = 0;
        if (!start_and_code(rc, cost, bits_scale, out, type, &bits)) return false;
        end(rc, (uint32_t)type_of(type), bits);
        return true;
    }

    // Frame instances in rotation, as the encode call runs them: picture k
    // starts on record k % n after the hand-over, and the picture started
    // n - 1 calls earlier ends in the same call. Returns the bits of the
    // picture that ended, or -1 when none did (or rate control refused).
    int64_t code_rotating(int32_t cost, double bits_scale, sim_result *out)
    {
        int32_t n = rc->record_count, at = (int32_t)pictures.size();
        ratecontrol *cur = &rc[at % n], *next = &rc[(at + 1) % n];
        if (n > 1 && at > 0) ratecontrol_thread_sync(cur, &rc[(at + n - 1) % n], next);
        uint32_t bits = 0;
        if (!start_and_code(cur, cost, bits_scale, out, 0, &bits)) return -1;
        pending.resize((size_t)n);
        pending[(size_t)(at % n)] = bits;
        if (at < n - 1) return -1;
        ratecontrol *old = n > 1 ? next : cur;
        uint32_t b = pending[(size_t)((at + 1) % n)];
        end(old, old->pic.source->picture_type, b);
        return b;
    }

private:
    std::vector<uint32_t> pending;

    uint32_t type_of(uint32_t type) const
    {
        return type ? type : (pictures.size() == 1 ? (uint32_t)PIC_TYPE_IDR : (uint32_t)PIC_TYPE_P);
    }

    bool start_and_code(ratecontrol *r, int32_t cost, double bits_scale, sim_result *out, uint32_t type,
                        uint32_t *bits)
    {
        int32_t n = (int32_t)pictures.size();
        pictures.emplace_back(new sim_picture());
        sim_picture *p = pictures.back().get();
        if (type == 0) type = n == 0 ? PIC_TYPE_IDR : PIC_TYPE_P;
        fill(p, n, cost, type);
        rc_picture info = {};
        info.source = p->src.get();
        info.recon = p->rec.get();
        info.ref0 = n > 0 && type != PIC_TYPE_IDR ? pictures[n - 1]->rec.get() : nullptr;
        info.slice_class = type <= PIC_TYPE_I ? 2 : 1;
        info.coding_number = n;
        info.irap_count = 0;
        out->fill_before = rc->vbv_fill;
        if (ratecontrol_start(r, &cfg, &info) != 0) return false;
        out->qp = ratecontrol_frame_qp(r, &cfg);
        out->qp_f = r->frame_qp_f;
        *bits = code_ctus(r, p, type, bits_scale);
        out->bits = *bits;
        return true;
    }

    void end(ratecontrol *r, uint32_t type, uint32_t bits)
    {
        rc_frame_totals t = {};
        t.residual_bits = bits / 2;
        t.prediction_bits = bits / 4;
        t.other_bits = bits - t.residual_bits - t.prediction_bits;
        t.intra_area = type <= PIC_TYPE_I ? (uint32_t)r->frame_8x8_units : 0;
        ratecontrol_end(r, &cfg, &t, bits);
    }

    void fill(sim_picture *p, int32_t n, int32_t cost, uint32_t type)
    {
        int32_t c = cols(), r = rows(), ctus = c * r;
        int32_t per = cost / ctus;
        p->rows_inter.assign(r, per * c);
        p->rows_intra.assign(r, 3 * per * c);
        p->ctus_inter.resize(ctus);
        p->ctus_intra.resize(ctus);
        for (int32_t i = 0; i < ctus; i++) {
            p->ctus_inter[i] = per * (i % c + 1);
            p->ctus_intra[i] = 3 * per * (i % c + 1);
        }
        p->vbv_row_bits.assign(r, 0);
        p->vbv_row_qp.assign(r, 0.0f);
        p->vbv_row_qscale.assign(r, 0.0f);
        p->vbv_ctu_bits.assign(ctus, 0);
        p->ctu_qps.assign(ctus, 0);
        int32_t blocks = 16 * ctus;
        p->lowres_inter.assign(blocks, (uint32_t)std::max(cost / std::max(blocks, 1), 1));
        p->lowres_intra.assign(blocks, (uint32_t)std::max(3 * cost / std::max(blocks, 1), 1));
        picture *s = p->src.get(), *rec = p->rec.get();
        for (picture *q : {s, rec}) {
            q->picture_type = type;
            q->poc = n;
            q->frame_number = n;
            q->layer = 0;
            q->vbv_row_bits = p->vbv_row_bits.data();
            q->vbv_ctu_bits = p->vbv_ctu_bits.data();
            q->vbv_row_qp = p->vbv_row_qp.data();
            q->vbv_row_qscale = p->vbv_row_qscale.data();
        }
        rec->ctu_qps = p->ctu_qps.data();
        s->frame_cost[0][0] = s->frame_cost_aq[0][0] = 3 * cost;
        s->frame_cost[1][0] = s->frame_cost_aq[1][0] = cost;
        s->row_costs[0][0] = p->rows_intra.data();
        s->ctu_costs[0][0] = p->ctus_intra.data();
        s->row_costs[1][0] = p->rows_inter.data();
        s->ctu_costs[1][0] = p->ctus_inter.data();
        s->lowres_costs[0][0] = p->lowres_intra.data();
        s->lowres_costs[1][0] = p->lowres_inter.data();
        if (tree_offset != 0.0f) {
            p->tree.assign(blocks, tree_offset);
            s->mbtree_qp_offset = p->tree.data();
            s->mbtree_offsets_apply = 1;
        }
    }

    uint32_t code_ctus(ratecontrol *record, sim_picture *p, uint32_t type, double bits_scale)
    {
        int32_t c = cols(), r = rows();
        rc_ctu_context ctx = {};
        ctx.rc = record;
        ctx.cfg = &cfg;
        ctx.lambdas = lambdas.get();
        ctx.source = p->src.get();
        ctx.recon = p->rec.get();
        ctx.slice_class = type <= PIC_TYPE_I ? 2 : 1;
        ctx.block_stride = 4 * c;
        uint64_t total = 0;
        for (int32_t y = 0; y < r; y++) {
            ctx.qp_plan_row_sum = ctx.qp_coded_row_sum = 0.0f;
            for (int32_t x = 0; x < c; x++) {
                ctx.ctu_x = x;
                ctx.ctu_y = y;
                ctx.ctu_index = y * c + x;
                rc_row_update(&ctx);
                rc_ctu_qp(&ctx);
                int32_t i = y * c + x;
                double cost = ctx.slice_class == 2 ? p->ctus_intra[i] - (x ? p->ctus_intra[i - 1] : 0)
                                                   : p->ctus_inter[i] - (x ? p->ctus_inter[i - 1] : 0);
                double bits = bits_scale * k * cost / rc_qp_to_qscale(ctx.ctu_qp) + 20.0;
                if (x == spike_x && y == spike_y) bits *= spike_scale;
                uint32_t b = (uint32_t)bits;
                total += b;
                rc_row_vbv_adjust(&ctx, b);
            }
            rc_accumulate_ctu_qp(&ctx);
        }
        return (uint32_t)total;
    }
};

// 320x256 (5 x 4 CTUs), 25 fps, P pictures only, no AQ / macroblock-tree, one
// frame instance.
inline internal_config sim_config(int32_t rc_mode)
{
    internal_config cfg;
    config_defaults(&cfg);
    cfg.width = 320;
    cfg.height = 256;
    cfg.rc_mode = rc_mode;
    cfg.qp = 30;
    cfg.bframes = 0;
    cfg.frame_instances = 1;
    cfg.fps_num = 25;
    cfg.fps_den = 1;
    config_auto(&cfg);
    cfg.mbtree = 0;
    cfg.aq_mode = 0;
    cfg.idr_period = 1000;
    cfg.bitrate = 1000;
    cfg.frame_instances = 1;
    cfg.latency_mode = LATENCY_NONE;
    return cfg;
}
