// The files a run writes (output, reconstruction, first-pass statistics) are
// opened so that no file is destroyed by mistake: each opened file is compared
// with the input, the files opened before it and the console by device and
// inode, not by name, and an existing file is emptied only once the encoder
// exists, so a refused configuration leaves it as it was.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cli.h"

const char *stats_file_name(const cli_settings *s)
{
    return s->stats_name ? s->stats_name : "two-pass.log";
}

static const char *const role_names[role_count] = {"input", "output", "reconstruction", "statistics"};

// Device and inode of an opened file; 0 for character devices, which may well
// take several streams at once (/dev/null), and for closed descriptors.
static int identify_descriptor(int fd, dev_t *dev, ino_t *ino)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || S_ISCHR(st.st_mode))
        return 0;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return 1;
}

void run_files_init(run_files *files, const char *input_name)
{
    std::memset(files, 0, sizeof(*files));
    files->names[role_input] = input_name;
    struct stat st;
    if (input_name && stat(input_name, &st) == 0 && S_ISREG(st.st_mode)) {
        files->known[role_input] = 1;
        files->dev[role_input] = st.st_dev;
        files->ino[role_input] = st.st_ino;
    }
}

int run_files_admit(run_files *files, int role, const char *name, int fd, const cli_io *io)
{
    files->names[role] = name;
    files->known[role] = identify_descriptor(fd, &files->dev[role], &files->ino[role]);
    if (!files->known[role])
        return 0;
    for (int k = 0; k < role; k++)
        if (files->known[k] && files->dev[k] == files->dev[role] && files->ino[k] == files->ino[role]) {
            fprintf(io->err, "Error: the %s file '%s' and the %s file '%s' are the same file!\n", role_names[k],
                    files->names[k], role_names[role], name);
            return cli_exit_file_open;
        }
    // The banner, warnings and progress lines would land inside the file.
    const char *const console_names[2] = {"standard output", "standard error"};
    FILE *const console[2] = {io->out, io->err};
    for (int c = 0; c < 2; c++) {
        dev_t dev;
        ino_t ino;
        if (console[c] && identify_descriptor(fileno(console[c]), &dev, &ino) && dev == files->dev[role] &&
            ino == files->ino[role]) {
            fprintf(io->err, "Error: the %s file '%s' and the %s are the same file!\n", role_names[role], name,
                    console_names[c]);
            return cli_exit_file_open;
        }
    }
    return 0;
}

void run_files_remove(const run_files *files, int role)
{
    if (!files->known[role])
        return;
    // realpath leads through a symlink to the file the open created.
    char *path = realpath(files->names[role], NULL);
    if (!path)
        return;
    struct stat st;
    if (lstat(path, &st) == 0 && st.st_dev == files->dev[role] && st.st_ino == files->ino[role])
        unlink(path);
    std::free(path);
}

// Opens for writing, creating the file when it does not exist; *created says
// whether this call made it.
static int open_descriptor(const char *name, int extra_flags, int *created)
{
    *created = 0;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | extra_flags, 0666);
    if (fd >= 0) {
        *created = 1;
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    // O_EXCL refuses every symlink; without it a dangling one makes its
    // target, which then belongs to this run as much as a new file does.
    struct stat st;
    int dangling = lstat(name, &st) == 0 && S_ISLNK(st.st_mode) && stat(name, &st) != 0 && errno == ENOENT;
    fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | extra_flags, 0666);
    if (fd >= 0)
        *created = dangling;
    return fd;
}

int open_for_writing(const char *name, int regular_only, FILE **file, int *created)
{
    *file = NULL;
    // Without O_NONBLOCK, opening a FIFO waits for a reader; with it, a FIFO
    // without one fails at once with ENXIO.
    int fd = open_descriptor(name, regular_only ? O_NONBLOCK : 0, created);
    if (fd < 0)
        return regular_only && errno == ENXIO ? open_not_regular : open_failed;
    if (regular_only) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return open_not_regular;
        }
        if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return open_failed;
        }
    }
    *file = fdopen(fd, "wb");  // "w" of fdopen does not truncate
    if (!*file) {
        int saved = errno;
        close(fd);
        errno = saved;
        return open_failed;
    }
    return open_ok;
}

int empty_regular_file(FILE *f)
{
    struct stat st;
    if (!f || fstat(fileno(f), &st) != 0)
        return f ? -1 : 0;
    return S_ISREG(st.st_mode) && st.st_size > 0 ? ftruncate(fileno(f), 0) : 0;
}
