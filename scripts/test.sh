#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian 12 machine: installs what is missing, builds
# with warnings as errors, runs the unit and integration tests, the unit tests again under
# ASan+UBSan, cross-compiles the portable core for Windows, and runs each fuzzer briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh build test cross fuzz apache

jobs=$(nproc)
step() { printf '\n==== %s\n' "$*"; }

step "debug build and all tests"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

step "unit tests under ASan+UBSan"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

step "portable core cross-built for Windows (mingw-w64)"
cmake --preset mingw-core >/dev/null
cmake --build --preset mingw-core -j "$jobs"

step "fuzzers (short bounded runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash scripts/run-fuzzers.sh build/fuzz "${FUZZ_SECONDS:-20}"

step "all tests passed"
