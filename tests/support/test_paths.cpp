#include "test_paths.h"

#include <sys/stat.h>
#include <unistd.h>

std::string test_tmp_path(const std::string &name)
{
    std::string dir = TV_TEST_TMPDIR;
    mkdir(dir.c_str(), 0755);
    dir += "/" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}
