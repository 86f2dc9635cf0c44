#pragma once
#include <string>

// A path in the running test's own scratch folder under the build's test_tmp.
// The folder is made (unique, by mkdtemp) on the test's first call and removed
// with everything in it when the test ends; paths asked for outside a test go
// to a folder removed when the test suite, or the program, ends.
std::string test_tmp_path(const std::string &name);
