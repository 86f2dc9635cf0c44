#include "cli_capture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

captured_stream::captured_stream() : f(std::tmpfile()) {}

captured_stream::~captured_stream()
{
    if (f)
        std::fclose(f);
}

std::string captured_stream::text()
{
    std::fflush(f);
    long end = std::ftell(f);
    std::string s(end > 0 ? (size_t)end : 0, '\0');
    std::rewind(f);
    size_t got = std::fread(&s[0], 1, s.size(), f);
    s.resize(got);
    std::fseek(f, 0, SEEK_END);
    return s;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

static std::string slurp_fd(int fd)
{
    std::string s;
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, (size_t)n);
    return s;
}

// Standard streams go through unlinked scratch files rather than pipes, so a
// chatty child can never block on a full pipe.
static int scratch_fd(const std::string &content)
{
    FILE *f = std::tmpfile();
    int fd = dup(fileno(f));
    std::fclose(f);
    if (!content.empty() && write(fd, content.data(), content.size()) < 0)
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return fd;
}

program_result run_program(const std::string &exe_path, const std::vector<std::string> &args,
                           const std::string &workdir, const std::string &input_text)
{
    int in_fd = scratch_fd(input_text), out_fd = scratch_fd(""), err_fd = scratch_fd("");
    std::vector<char *> argv;
    std::string exe = exe_path;
    argv.push_back(&exe[0]);
    std::vector<std::string> copies(args);
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (!workdir.empty() && chdir(workdir.c_str()) != 0)
            _exit(120);
        execv(exe.c_str(), argv.data());
        _exit(121);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    program_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp_fd(out_fd);
    r.err = slurp_fd(err_fd);
    close(in_fd);
    close(out_fd);
    close(err_fd);
    return r;
}

bool matches_with_numbers(const std::string &text, const std::string &pattern)
{
    size_t t = 0;
    for (char p : pattern) {
        if (p == '#') {
            auto digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
            if (!digit(t))
                return false;
            while (digit(t))
                t++;
            if (t < text.size() && text[t] == '.' && digit(t + 1)) {
                t++;
                while (digit(t))
                    t++;
            }
        } else {
            if (t >= text.size() || text[t] != p)
                return false;
            t++;
        }
    }
    return t == text.size();
}
