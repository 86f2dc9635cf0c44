// What the program needs from its process before it opens any file.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/cli.h"

int prepare_process(void)
{
    // Started with a standard descriptor closed ("2>&-"), the process would
    // hand that number to the next file it opens, and the console text would
    // land in the output or the reconstruction.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // the lowest free number: fd
        if (opened != fd) {
            fprintf(stderr, "Error: standard descriptor %d is closed and /dev/null cannot be opened!\n", fd);
            return cli_exit_file_open;
        }
    }
    // A console that is a pipe whose reader has gone ("torvenc ... | head")
    // must not cost the stream: its prints fail quietly and the run goes on.
    // A broken pipe as the output becomes a failed write (exit 8).
    signal(SIGPIPE, SIG_IGN);
    return 0;
}
