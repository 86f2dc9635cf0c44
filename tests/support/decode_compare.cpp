#include "decode_compare.h"

#include "yuv_gen.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "yuv_gen.h"

extern char **environ;

static const char plane_names[3] = {'Y', 'U', 'V'};

// Turns a byte offset inside one packed picture into plane and position.
static void locate_sample(uint64_t offset, int width, int height, int *plane, int *x, int *y)
{
    uint64_t luma = (uint64_t)width * (uint64_t)height;
    uint64_t cw = (uint64_t)yuv_chroma_width(width);
    uint64_t chroma = cw * (uint64_t)yuv_chroma_height(height);
    uint64_t row_width = (uint64_t)width;
    if (offset < luma) {
        *plane = 0;
    } else if (offset < luma + chroma) {
        *plane = 1;
        offset -= luma;
        row_width = cw;
    } else {
        *plane = 2;
        offset -= luma + chroma;
        row_width = cw;
    }
    *x = (int)(offset % row_width);
    *y = (int)(offset / row_width);
}

static std::string describe_length(uint64_t bytes, uint64_t picture_bytes)
{
    char text[128];
    uint64_t whole = bytes / picture_bytes, rest = bytes % picture_bytes;
    if (rest)
        std::snprintf(text, sizeof(text), "%" PRIu64 " bytes (%" PRIu64 " pictures + %" PRIu64
                      " bytes)", bytes, whole, rest);
    else
        std::snprintf(text, sizeof(text), "%" PRIu64 " bytes (%" PRIu64 " pictures)", bytes,
                      whole);
    return text;
}

// Compares n bytes that start at byte `base` of both streams; records the
// first difference. Returns true when a difference was found.
static bool compare_span(yuv_compare_result *r, const uint8_t *a, const uint8_t *b, size_t n,
                         uint64_t base, int width, int height)
{
    if (std::memcmp(a, b, n) == 0)
        return false;
    size_t i = 0;
    while (a[i] == b[i])
        i++;
    uint64_t picture_bytes = yuv_picture_bytes(width, height);
    uint64_t offset = base + i;
    r->kind = yuv_compare_differ;
    r->picture = (int64_t)(offset / picture_bytes);
    locate_sample(offset % picture_bytes, width, height, &r->plane, &r->x, &r->y);
    r->expected_value = a[i];
    r->actual_value = b[i];
    char text[256];
    std::snprintf(text, sizeof(text),
                  "first difference at picture %" PRId64 ", plane %c, x %d, y %d: "
                  "reconstruction %d, decoded %d",
                  r->picture, plane_names[r->plane], r->x, r->y, r->expected_value,
                  r->actual_value);
    r->message = text;
    return true;
}

// Fills kind and message once both lengths are known and no sample differed.
static void finish_result(yuv_compare_result *r, int width, int height)
{
    if (r->kind != yuv_compare_equal)
        return;
    uint64_t picture_bytes = yuv_picture_bytes(width, height);
    if (r->expected_bytes == r->actual_bytes) {
        r->message = "equal: " + describe_length(r->expected_bytes, picture_bytes);
        return;
    }
    r->kind = yuv_compare_length;
    r->message = "lengths differ (equal over the common part): reconstruction "
               + describe_length(r->expected_bytes, picture_bytes) + ", decoded "
               + describe_length(r->actual_bytes, picture_bytes);
}

static yuv_compare_result new_result()
{
    yuv_compare_result r;
    r.kind = yuv_compare_equal;
    r.picture = -1;
    r.plane = -1;
    r.x = r.y = -1;
    r.expected_value = r.actual_value = -1;
    r.expected_bytes = r.actual_bytes = 0;
    return r;
}

static bool size_usable(yuv_compare_result *r, int width, int height)
{
    if (width > 0 && height > 0)
        return true;
    r->kind = yuv_compare_io_error;
    r->message = "unusable picture size " + std::to_string(width) + "x" + std::to_string(height);
    return false;
}

yuv_compare_result compare_yuv_buffers(const uint8_t *expected, size_t expected_size,
                                       const uint8_t *actual, size_t actual_size, int width,
                                       int height)
{
    yuv_compare_result r = new_result();
    if (!size_usable(&r, width, height))
        return r;
    r.expected_bytes = expected_size;
    r.actual_bytes = actual_size;
    size_t common = expected_size < actual_size ? expected_size : actual_size;
    if (common)
        compare_span(&r, expected, actual, common, 0, width, height);
    finish_result(&r, width, height);
    return r;
}

static uint64_t read_chunk(FILE *f, std::vector<uint8_t> *buf, bool *failed)
{
    size_t n = std::fread(buf->data(), 1, buf->size(), f);
    if (n < buf->size() && std::ferror(f))
        *failed = true;
    return n;
}

yuv_compare_result compare_yuv_files(const std::string &expected_path,
                                     const std::string &actual_path, int width, int height)
{
    yuv_compare_result r = new_result();
    if (!size_usable(&r, width, height))
        return r;
    FILE *fa = std::fopen(expected_path.c_str(), "rb");
    int open_error = errno;
    FILE *fb = fa ? std::fopen(actual_path.c_str(), "rb") : nullptr;
    if (!fa || !fb) {
        if (fa)
            open_error = errno;
        r.kind = yuv_compare_io_error;
        r.message = "cannot open " + (fa ? actual_path : expected_path) + ": "
                  + std::strerror(open_error);
        if (fa)
            std::fclose(fa);
        if (fb)
            std::fclose(fb);
        return r;
    }
    // One picture at a time keeps memory small for long HD sequences.
    size_t chunk = yuv_picture_bytes(width, height);
    std::vector<uint8_t> a(chunk), b(chunk);
    bool failed = false, differ = false;
    for (;;) {
        uint64_t na = read_chunk(fa, &a, &failed), nb = read_chunk(fb, &b, &failed);
        uint64_t common = na < nb ? na : nb;
        if (!differ && common)
            differ = compare_span(&r, a.data(), b.data(), common, r.expected_bytes, width,
                                  height);
        r.expected_bytes += na;
        r.actual_bytes += nb;
        if ((na < chunk && nb < chunk) || failed)
            break;
    }
    std::fclose(fa);
    std::fclose(fb);
    if (failed) {
        r.kind = yuv_compare_io_error;
        r.message = "read error on " + expected_path + " or " + actual_path;
        return r;
    }
    finish_result(&r, width, height);
    return r;
}

std::string find_in_path(const std::string &name)
{
    const char *path = std::getenv("PATH");
    if (!path || name.empty())
        return "";
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)
            && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

std::string find_dec265()
{
    std::string p = find_in_path("dec265");
    return p.empty() ? find_in_path("libde265-dec265") : p;
}

int run_program(const std::vector<std::string> &argv, const std::string &log_path)
{
    if (argv.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const char *log = log_path.empty() ? "/dev/null" : log_path.c_str();
    posix_spawn_file_actions_addopen(&actions, 1, log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::vector<std::string> ffmpeg_decode_command(const std::string &ffmpeg,
                                               const std::string &stream,
                                               const std::string &out_yuv)
{
    // -f hevc: the stream's name need not say what it is. -xerror: stop with
    // a failure on a decoding error instead of concealing it. passthrough:
    // never duplicate or drop pictures to fit a frame rate.
    return {ffmpeg, "-nostdin", "-v", "error", "-xerror", "-y", "-f", "hevc", "-i", stream,
            "-vsync", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", out_yuv};
}

std::vector<std::string> dec265_decode_command(const std::string &dec265,
                                               const std::string &stream,
                                               const std::string &out_yuv)
{
    // -q: no display window; -o FILE: write the decoded pictures as raw YUV.
    return {dec265, "-q", "-o", out_yuv, stream};
}

static std::string file_text_head(const std::string &path, size_t limit)
{
    std::vector<uint8_t> bytes;
    if (!read_file_bytes(path, &bytes))
        return "";
    if (bytes.size() > limit)
        bytes.resize(limit);
    return std::string(bytes.begin(), bytes.end());
}

// Runs one decoder and compares its output; returns "" on a match, else the
// reason.
static std::string check_decoder(const char *label, const std::string &exe,
                                 const std::vector<std::string> &command,
                                 const std::string &out_yuv, const std::string &log,
                                 const std::string &recon, int width, int height)
{
    if (exe.empty())
        return std::string(label) + " not found in PATH (install "
             + (std::strcmp(label, "ffmpeg") == 0 ? "ffmpeg" : "libde265-examples") + ")";
    std::remove(out_yuv.c_str());
    std::remove(log.c_str());
    int status = run_program(command, log);
    if (status != 0)
        return std::string(label) + " exited with status " + std::to_string(status) + ": "
             + file_text_head(log, 2000);
    struct stat st;
    if (stat(out_yuv.c_str(), &st) != 0)
        return std::string(label) + " wrote no output file " + out_yuv;
    yuv_compare_result r = compare_yuv_files(recon, out_yuv, width, height);
    if (r.kind == yuv_compare_equal)
        return "";
    return std::string(label) + " output " + out_yuv + " vs reconstruction " + recon + ": "
         + r.message;
}

// The stream without the parameter sets that follow its first slice.
static bool strip_repeated_parameter_sets(const std::string &in, const std::string &out)
{
    std::vector<uint8_t> d, kept;
    if (!read_file_bytes(in, &d)) return false;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= d.size(); i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) starts.push_back(i);
    bool slice_seen = false;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t begin = k > 0 ? starts[k] : 0, end = k + 1 < starts.size() ? starts[k + 1] : d.size();
        if (k > 0 && begin > 0 && d[begin - 1] == 0) begin--;
        if (k + 1 < starts.size() && d[end - 1] == 0) end--;
        int type = starts[k] + 3 < d.size() ? (d[starts[k] + 3] >> 1) & 63 : 0;
        if (type >= 32 && type <= 34 && slice_seen) continue;
        if (type < 32) slice_seen = true;
        kept.insert(kept.end(), d.begin() + (long)begin, d.begin() + (long)end);
    }
    return write_file_bytes(out, kept.data(), kept.size());
}

::testing::AssertionResult decode_and_compare(const std::string &stream, const std::string &recon,
                                              int width, int height, bool strip_for_dec265)
{
    struct stat st;
    if (stat(stream.c_str(), &st) != 0)
        return ::testing::AssertionFailure() << "stream " << stream << " does not exist";
    std::string ffmpeg = find_in_path("ffmpeg"), dec265 = find_dec265();
    std::string failures;
    std::string reason = check_decoder("ffmpeg", ffmpeg,
                                       ffmpeg_decode_command(ffmpeg, stream, stream + ".ffmpeg.yuv"),
                                       stream + ".ffmpeg.yuv", stream + ".ffmpeg.log", recon,
                                       width, height);
    if (!reason.empty())
        failures += reason + "\n";
    std::string for_dec265 = stream;
    if (strip_for_dec265) {
        for_dec265 = stream + ".stripped.hevc";
        if (!strip_repeated_parameter_sets(stream, for_dec265))
            return ::testing::AssertionFailure() << "cannot strip the parameter sets of " << stream;
    }
    reason = check_decoder("dec265", dec265,
                           dec265_decode_command(dec265, for_dec265, stream + ".dec265.yuv"),
                           stream + ".dec265.yuv", stream + ".dec265.log", recon, width, height);
    if (!reason.empty())
        failures += reason + "\n";
    if (failures.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "decode of " << stream << " does not match:\n"
                                         << failures;
}
