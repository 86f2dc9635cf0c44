#pragma once
// Helpers for front-end tests: capture what a FILE* received, and run the built
// torvenc binary with its standard streams captured.
#include <cstdio>
#include <string>
#include <vector>

// A scratch stream whose text can be read back.
struct captured_stream {
    FILE *f;
    captured_stream();
    ~captured_stream();
    std::string text();
    captured_stream(const captured_stream &) = delete;
    captured_stream &operator=(const captured_stream &) = delete;
};

struct program_result {
    int exit_code;    // exit status, or 128 + n when killed by signal n
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a program with these arguments in `workdir` (empty: the current
// folder), standard input from `input_text`.
program_result run_program(const std::string &exe, const std::vector<std::string> &args,
                           const std::string &workdir = "", const std::string &input_text = "");

#ifdef TV_TORVENC_EXE
// The built torvenc binary (its path is a compile definition of every test).
inline program_result run_torvenc(const std::vector<std::string> &args, const std::string &workdir = "",
                                  const std::string &input_text = "")
{
    return run_program(TV_TORVENC_EXE, args, workdir, input_text);
}
#endif

// Reads a whole file; "" when it does not exist.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// Whole-text match where each '#' in the pattern stands for a decimal number
// such as 12 or 0.25 (the timing figures that vary from run to run).
bool matches_with_numbers(const std::string &text, const std::string &pattern);
