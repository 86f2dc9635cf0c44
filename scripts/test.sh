#!/usr/bin/env bash
# Runs the whole test suite: the Release build, then the unit tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threading tests under
# ThreadSanitizer. Each build has its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
J=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTV_WERROR=ON
cmake --build build -j"$J"
ctest --test-dir build -j"$J" --output-on-failure --timeout 900

# clang, so that the libFuzzer targets are built and run here as well.
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTV_SANITIZE=address -DTV_WERROR=ON
cmake --build build-asan -j"$J"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -LE slow -j"$J" --output-on-failure --timeout 900

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTV_WERROR=ON -DTV_SANITIZE=thread -DTV_TEST_PATTERN='*_mt_test.cpp'
cmake --build build-tsan -j"$J" --target mt_tests
# Newer kernels randomise mmap beyond what this ThreadSanitizer runtime accepts.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  setarch "$(uname -m)" -R ctest --test-dir build-tsan -L threads -j"$J" --output-on-failure --timeout 900
