#pragma once
#include <string>

// A fresh path under the build's scratch folder, unique per test process.
std::string test_tmp_path(const std::string &name);
