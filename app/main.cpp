// torvenc: the command-line encoder. All of the work is in the app library.
#include "app/cli.h"

int main(int argc, char **argv)
{
    int rc = prepare_process();
    if (rc != 0)
        return rc;
    cli_io io = {stdin, stdout, stderr};
    return cli_main(argc, argv, &library_encoder_api, &io);
}
