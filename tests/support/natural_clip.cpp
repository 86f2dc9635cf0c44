#include "natural_clip.h"

#include "decode_compare.h"

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
