// Compression guard: short natural clips at every complexity, in constant QP
// and in constant rate factor, against a record of their stream bytes and
// PSNR-Y. A run fails when the bytes move by more than bytes_tolerance either
// way or the PSNR-Y drops by more than psnr_tolerance, so that a change which
// alters compression (a rounding offset, a rate-control constant) cannot
// pass unnoticed: an intended change updates the record in the same commit
// and says why in its message.
//
// The figures do not depend on the build, so the sanitizer runs leave the
// guard out (the "slow" label). To regenerate the record on purpose, run
//     TV_COMPRESSION_RECORD=1 build/tests/compression_guard_slow_test
// which prints the new table in the form of `record` below (and checks
// nothing but the decodes); paste it over the old one. Encodes use two
// threads: the bytes are the same for every thread count of two or more and
// every build (they differ with one thread, which codes without wavefront
// rows). The clips come from tests/support/natural_clip.sh with the ffmpeg
// and the wallpaper photographs that scripts/setup.sh installs; another
// ffmpeg may scale them differently, which also calls for a new record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/cli_capture.h"
#include "tests/support/decode_compare.h"
#include "tests/support/natural_clip.h"
#include "tests/support/test_paths.h"

namespace {

const double bytes_tolerance = 0.01;   // 1% of the recorded bytes
const double psnr_tolerance = 0.005;   // dB below the recorded PSNR-Y

struct guard_clip {
    const char *kind;
    int width, height, pictures;
};

const guard_clip clips[] = {
    {"pan6", 256, 144, 10},
    {"grain", 200, 136, 10},
    // P pictures 128 samples right and 64 down of their references
    {"pan16", 256, 144, 10},
};

struct recorded {
    const char *kind;
    int complexity;
    const char *mode;   // "cqp" or "crf"
    long bytes;
    double psnr_y;
};

// clip, complexity, mode, bytes, PSNR-Y (dB)
const recorded record[] = {
    {"pan16", 0, "cqp", 7508, 37.139},
    {"pan16", 0, "crf", 7114, 37.938},
    {"pan16", 1, "cqp", 7589, 37.297},
    {"pan16", 1, "crf", 6955, 37.945},
    {"pan16", 2, "cqp", 6771, 37.616},
    {"pan16", 2, "crf", 6742, 38.171},
    {"pan16", 3, "cqp", 6340, 39.049},
    {"pan16", 3, "crf", 5999, 39.253},
    {"pan16", 4, "cqp", 4859, 40.336},
    {"pan16", 4, "crf", 5852, 39.600},
    {"pan16", 5, "cqp", 4633, 40.555},
    {"pan16", 5, "crf", 4107, 40.565},
    {"pan16", 6, "cqp", 4460, 40.949},
    {"pan16", 6, "crf", 3906, 40.692},
    {"pan16", 7, "cqp", 4373, 41.007},
    {"pan16", 7, "crf", 3903, 40.763},
    {"pan6", 0, "cqp", 6905, 34.434},
    {"pan6", 0, "crf", 7018, 34.692},
    {"pan6", 1, "cqp", 6982, 34.416},
    {"pan6", 1, "crf", 7013, 34.715},
    {"pan6", 2, "cqp", 6873, 34.506},
    {"pan6", 2, "crf", 8553, 34.032},
    {"pan6", 3, "cqp", 6210, 35.939},
    {"pan6", 3, "crf", 6739, 35.276},
    {"pan6", 4, "cqp", 6061, 35.947},
    {"pan6", 4, "crf", 5127, 35.448},
    {"pan6", 5, "cqp", 6393, 36.213},
    {"pan6", 5, "crf", 5178, 35.435},
    {"pan6", 6, "cqp", 6035, 36.245},
    {"pan6", 6, "crf", 4846, 35.477},
    {"pan6", 7, "cqp", 6062, 36.345},
    {"pan6", 7, "crf", 4823, 35.465},
    {"grain", 0, "cqp", 10722, 29.902},
    {"grain", 0, "crf", 10739, 29.903},
    {"grain", 1, "cqp", 10440, 29.866},
    {"grain", 1, "crf", 10724, 29.907},
    {"grain", 2, "cqp", 10024, 29.806},
    {"grain", 2, "crf", 9417, 29.771},
    {"grain", 3, "cqp", 13175, 30.157},
    {"grain", 3, "crf", 10685, 29.984},
    {"grain", 4, "cqp", 13202, 30.206},
    {"grain", 4, "crf", 10967, 30.071},
    {"grain", 5, "cqp", 13418, 30.264},
    {"grain", 5, "crf", 11398, 30.169},
    {"grain", 6, "cqp", 13456, 30.296},
    {"grain", 6, "crf", 9086, 30.073},
    {"grain", 7, "cqp", 13691, 30.339},
    {"grain", 7, "crf", 9110, 30.098},
};

std::vector<std::string> mode_args(const std::string &mode)
{
    if (mode == "cqp") return {"--cqp", "-q", "30"};
    return {"--crf", "26"};
}

const recorded *find_record(const std::string &kind, int complexity, const std::string &mode)
{
    for (const recorded &r : record)
        if (kind == r.kind && complexity == r.complexity && mode == r.mode) return &r;
    return nullptr;
}

TEST(CompressionGuard, BytesAndPsnrMatchTheRecord)
{
    bool recording = std::getenv("TV_COMPRESSION_RECORD") != nullptr;
    std::string table;
    for (const guard_clip &c : clips) {
        std::string clip = test_tmp_path(std::string("guard_") + c.kind + ".y4m");
        ASSERT_TRUE(natural_clip_write(c.kind, c.width, c.height, c.pictures, clip));
        std::vector<uint8_t> source =
            natural_clip_samples(c.kind, c.width, c.height, c.pictures, test_tmp_path("guard_source.y4m"));
        ASSERT_FALSE(source.empty());
        for (int complexity = 0; complexity <= 7; complexity++) {
            for (std::string mode : {"cqp", "crf"}) {
                std::string name = std::string(c.kind) + " complexity " + std::to_string(complexity) + " " + mode;
                SCOPED_TRACE(name);
                std::string base = test_tmp_path("guard_" + std::to_string(complexity) + mode);
                std::vector<std::string> args = {"-l", "0", "-y", "-c", std::to_string(complexity), "-t", "2",
                                                 "--recon", base + "_recon.yuv"};
                for (const std::string &a : mode_args(mode)) args.push_back(a);
                args.push_back(clip);
                args.push_back(base + ".hevc");
                program_result run = run_torvenc(args);
                ASSERT_EQ(run.exit_code, 0) << run.err;
                EXPECT_TRUE(decode_and_compare(base + ".hevc", base + "_recon.yuv", c.width, c.height));
                long bytes = (long)read_file(base + ".hevc").size();
                double psnr = natural_clip_psnr_y(source, base + "_recon.yuv", c.width, c.height, c.pictures);
                for (const char *suffix : {".hevc", "_recon.yuv", ".hevc.ffmpeg.yuv", ".hevc.dec265.yuv",
                                           ".hevc.ffmpeg.log", ".hevc.dec265.log"})
                    std::remove((base + suffix).c_str());
                char line[160];
                std::snprintf(line, sizeof(line), "    {\"%s\", %d, \"%s\", %ld, %.3f},\n", c.kind, complexity,
                              mode.c_str(), bytes, psnr);
                table += line;
                if (recording) continue;
                const recorded *r = find_record(c.kind, complexity, mode);
                if (!r) {
                    ADD_FAILURE() << "no record (regenerate it with TV_COMPRESSION_RECORD=1)";
                    continue;
                }
                double moved = (double)(bytes - r->bytes) / (double)r->bytes;
                EXPECT_LE(std::fabs(moved), bytes_tolerance)
                    << bytes << " bytes against " << r->bytes << " recorded (" << 100.0 * moved << "%)";
                EXPECT_GE(psnr, r->psnr_y - psnr_tolerance) << "PSNR-Y " << psnr << " dB against " << r->psnr_y;
            }
        }
        std::remove(clip.c_str());
    }
    if (recording) std::printf("const recorded record[] = {\n%s};\n", table.c_str());
}

}  // namespace
