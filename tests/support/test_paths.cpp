#include "test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace {

// Folders by the scope that owns them: the running test, the running suite
// (its set-up and tear-down), the program (static objects, environments).
enum scope { scope_test, scope_suite, scope_program, scope_count };

struct scratch_folders {
    std::mutex lock;
    std::string path[scope_count];
};

scratch_folders &folders()
{
    static scratch_folders f;
    return f;
}

scope current_scope(std::string *label)
{
    const ::testing::UnitTest *unit = ::testing::UnitTest::GetInstance();
    if (const ::testing::TestInfo *test = unit->current_test_info()) {
        *label = std::string(test->test_suite_name()) + "." + test->name();
        return scope_test;
    }
    if (const ::testing::TestSuite *suite = unit->current_test_suite()) {
        *label = suite->name();
        return scope_suite;
    }
    *label = "program";
    return scope_program;
}

void remove_folder(scope which)
{
    std::string path;
    {
        std::lock_guard<std::mutex> hold(folders().lock);
        path.swap(folders().path[which]);
    }
    if (path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

class scratch_cleanup : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override { remove_folder(scope_test); }
    void OnTestSuiteEnd(const ::testing::TestSuite &) override { remove_folder(scope_suite); }
    void OnTestProgramEnd(const ::testing::UnitTest &) override
    {
        for (int k = 0; k < scope_count; k++)
            remove_folder((scope)k);
    }
};

// Linked in with test_tmp_path, so every program that makes scratch files
// also removes them.
const bool cleanup_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new scratch_cleanup);
    return true;
}();

}  // namespace

std::string test_tmp_path(const std::string &name)
{
    (void)cleanup_registered;
    std::string label;
    scope which = current_scope(&label);
    std::lock_guard<std::mutex> hold(folders().lock);
    std::string &folder = folders().path[which];
    if (folder.empty()) {
        std::string base = TV_TEST_TMPDIR;
        mkdir(base.c_str(), 0755);
        // Parameterised tests carry '/' in their names, and a name must fit.
        for (char &c : label)
            if (c == '/')
                c = '_';
        label.resize(std::min<size_t>(label.size(), 120));
        std::vector<char> pattern(base.begin(), base.end());
        std::string leaf = "/" + label + ".XXXXXX";
        pattern.insert(pattern.end(), leaf.begin(), leaf.end());
        pattern.push_back('\0');
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "test_tmp_path: cannot make a folder like %s: %s\n", pattern.data(),
                         std::strerror(errno));
            std::abort();
        }
        folder = pattern.data();
    }
    return folder + "/" + name;
}
