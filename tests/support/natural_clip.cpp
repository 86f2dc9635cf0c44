#include "natural_clip.h"

#include "decode_compare.h"

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
