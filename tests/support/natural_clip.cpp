#include "natural_clip.h"

#include "cli_capture.h"
#include "decode_compare.h"

#include <cmath>
#include <cstdio>
#include <iostream>

bool natural_clip_write(const std::string &kind, int width, int height, int frames,
                        const std::string &path)
{
    std::string script = std::string(TV_SOURCE_DIR) + "/tests/support/natural_clip.sh";
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    int status = run_program({"sh", script, kind, size, std::to_string(frames), path}, "");
    if (status != 0)
        std::cerr << "natural_clip.sh " << kind << " " << size << " failed with status " << status
                  << " (are ffmpeg and plasma-workspace-wallpapers installed?)\n";
    return status == 0;
}

std::vector<uint8_t> natural_clip_samples(const std::string &kind, int width, int height, int frames,
                                          const std::string &scratch)
{
    std::vector<uint8_t> samples;
    if (!natural_clip_write(kind, width, height, frames, scratch)) return samples;
    FILE *f = std::fopen(scratch.c_str(), "rb");
    if (!f) return samples;
    size_t picture = (size_t)width * height * 3 / 2;
    samples.resize(picture * (size_t)frames);
    // A header line, then each picture after its own "FRAME" line.
    bool ok = true;
    for (int k = -1; k < frames && ok; k++) {
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {}
        if (c == EOF) ok = false;
        if (k >= 0 && ok) ok = std::fread(samples.data() + picture * (size_t)k, 1, picture, f) == picture;
    }
    std::fclose(f);
    std::remove(scratch.c_str());
    if (!ok) samples.clear();
    return samples;
}

double natural_clip_psnr_y(const std::vector<uint8_t> &source, const std::string &recon, int width, int height,
                           int pictures)
{
    std::string r = read_file(recon);
    size_t picture = (size_t)width * height * 3 / 2;
    if (r.size() != picture * pictures || source.size() != picture * pictures) return -1.0;
    double sse = 0.0;
    for (int k = 0; k < pictures; k++)
        for (size_t i = 0; i < (size_t)width * height; i++) {
            double d = (double)source[k * picture + i] - (double)(uint8_t)r[k * picture + i];
            sse += d * d;
        }
    if (sse == 0.0) return 100.0;
    return 10.0 * std::log10(255.0 * 255.0 * (double)width * height * pictures / sse);
}
