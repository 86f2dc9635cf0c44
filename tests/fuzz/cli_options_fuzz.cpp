// libFuzzer target for the command-line parser: the input is split at NUL
// bytes into arguments, which go through the pre-scan, the option loop and
// the value parsers, and the resulting settings are printed as a table.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = std::fopen("/dev/null", "w");
    if (size > 4096)
        return 0;
    std::vector<std::string> args(1, "torvenc");
    args.emplace_back();
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back((char)data[i]);
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    cli_io io = {nullptr, sink, sink};
    cli_settings s;
    int exit_code = 0;
    if (parse_command_line((int)args.size(), argv.data(), &s, &io, &exit_code) == 0)
        print_settings_table(&s, sink);

    // Each value parser on its own, with the last argument as the value.
    const char *value = argv[args.size() - 1];
    if (value[0] != '-') {
        cli_settings t;
        std::memset(&t, 0, sizeof(t));
        parse_size(&t, value, sink);
        parse_compat(&t, value, sink);
        parse_framerate(&t, value, sink);
        parse_sar(&t, value, sink);
    }
    return 0;
}
