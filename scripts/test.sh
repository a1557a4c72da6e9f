#!/usr/bin/env bash
# Sets up the machine, checks the formatting, builds everything and runs every test: the
# plain build (with the layering check and the end-to-end runs), then the unit tests and fuzz
# harnesses under AddressSanitizer + UndefinedBehaviorSanitizer, then the concurrency tests
# under ThreadSanitizer. Fails on any test failure, sanitizer report or unformatted file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
# Ninja starts a target's compiles before the libraries it links are built and spends less
# than make between them. A build folder made earlier keeps the generator it was made with.
command -v ninja >/dev/null && export CMAKE_GENERATOR=Ninja
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# OpenCV's image codecs register GDAL, whose own (uninstrumented) lock order the deadlock
# detector reports; the suppression file covers that library only.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/cmake/tsan_suppressions.txt"

echo "== formatting (clang-format) =="
git ls-files -co --exclude-standard '*.h' '*.cpp' '*.cu' '*.cuh' |
  while read -r f; do [ -f "$f" ] && echo "$f"; done | xargs -r clang-format --dry-run --Werror

echo "== plain build (g++) =="
# The benchmarks are not run here, so they are not built either (a build of its own builds them).
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_BUILD_BENCHMARKS=OFF
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (clang, with fuzz harnesses) =="
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVM_SANITIZE=address -DVM_BUILD_FUZZERS=ON -DVM_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== ThreadSanitizer (concurrency tests) =="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DVM_SANITIZE=thread -DVM_BUILD_BENCHMARKS=OFF
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan -j"$jobs" --output-on-failure --no-tests=ignore
