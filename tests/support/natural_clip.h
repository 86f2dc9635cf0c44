#pragma once
// Natural test content: clips made from the photographs of Debian's wallpaper
// packages by tests/support/natural_clip.sh (pans, a zoom, grain, a moving
// overlay, a fade, a cut), the same generator the bench scripts use.
#include <cstdint>
#include <string>
#include <vector>

// Writes `frames` pictures of `kind` ("pan2", "pan6", "pan16", "zoom", "grain",
// "still_grain", "overlay", "fade", "cut") at width x height (even) as a
// YUV4MPEG2 file at 30 pictures per second. Returns false, with the reason in
// the test log, when ffmpeg or the photographs are missing.
bool natural_clip_write(const std::string &kind, int width, int height, int frames,
                        const std::string &path);

// The same clip as packed YUV 4:2:0 pictures, for library encodes (the
// YUV4MPEG2 file is made under `scratch` and removed). Empty on failure.
std::vector<uint8_t> natural_clip_samples(const std::string &kind, int width, int height, int frames,
                                          const std::string &scratch);

// PSNR-Y of a packed YUV 4:2:0 reconstruction file against the clip's samples,
// from the summed squared error of every luma sample; -1 when the sizes do
// not match.
double natural_clip_psnr_y(const std::vector<uint8_t> &source, const std::string &recon, int width, int height,
                           int pictures);
