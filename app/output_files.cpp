// The files a run writes (output, reconstruction, first-pass statistics) are
// checked and opened so that no file is destroyed by mistake: no two of them,
// nor one of them and the input, may be the same file, and an existing file is
// emptied only once the encoder exists, so a refused configuration leaves it
// as it was.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cli.h"

const char *stats_file_name(const cli_settings *s)
{
    return s->stats_name ? s->stats_name : "two-pass.log";
}

namespace {

// What a name refers to: an existing regular file by device and inode, a file
// still to be created by its folder's device and inode and its own name.
struct file_identity {
    int known;     // 0: not compared (no name, a device, a pipe, an unreadable folder)
    int exists;
    dev_t dev;
    ino_t ino;
    std::string leaf;
};

file_identity identify(const char *name)
{
    file_identity id = {0, 0, 0, 0, std::string()};
    if (!name || !*name)
        return id;
    struct stat st;
    if (stat(name, &st) == 0) {
        // Devices such as /dev/null may well take several streams at once.
        id.known = S_ISREG(st.st_mode);
        id.exists = 1;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        return id;
    }
    if (errno != ENOENT)
        return id;
    const char *slash = std::strrchr(name, '/');
    std::string folder = slash ? std::string(name, (size_t)(slash - name) + 1) : std::string(".");
    id.leaf = slash ? slash + 1 : name;
    if (id.leaf.empty() || stat(folder.c_str(), &st) != 0)
        return id;
    id.known = 1;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
}

int same_file(const file_identity &a, const file_identity &b)
{
    return a.known && b.known && a.exists == b.exists && a.dev == b.dev && a.ino == b.ino && a.leaf == b.leaf;
}

}  // namespace

int check_distinct_files(const cli_settings *s, FILE *err)
{
    const char *const roles[4] = {"input", "output", "reconstruction", "statistics"};
    const char *names[4] = {s->input_name, s->output_name, s->recon_name,
                            s->pass != 0 ? stats_file_name(s) : NULL};
    file_identity ids[4];
    for (int k = 0; k < 4; k++)
        ids[k] = identify(names[k]);
    for (int a = 0; a < 4; a++)
        for (int b = a + 1; b < 4; b++)
            if (same_file(ids[a], ids[b])) {
                fprintf(err, "Error: the %s file '%s' and the %s file '%s' are the same file!\n", roles[a],
                        names[a], roles[b], names[b]);
                return cli_exit_file_open;
            }
    return 0;
}

FILE *open_for_writing(const char *name, int *created)
{
    *created = 0;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0)
        *created = 1;
    else if (errno == EEXIST)  // without O_EXCL a dangling link still makes its target
        fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return NULL;
    FILE *f = fdopen(fd, "wb");  // "w" of fdopen does not truncate
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

int empty_regular_file(FILE *f)
{
    struct stat st;
    if (!f || fstat(fileno(f), &st) != 0)
        return f ? -1 : 0;
    return S_ISREG(st.st_mode) && st.st_size > 0 ? ftruncate(fileno(f), 0) : 0;
}
