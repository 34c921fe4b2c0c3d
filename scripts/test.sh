#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian 12 machine: installs what is missing, builds
# with warnings as errors, runs the unit and integration tests (broker, Apache, Kerberos realm),
# the unit tests again under ASan+UBSan, each fuzzer for a bounded time, the real-browser walk of
# the demo, the Debian packages installed and serving a site from the system Apache, and the
# Windows deliverables cross-built and tested under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh build test fuzz apache package

jobs=$(nproc)
step() { printf '\n==== %s (%s)\n' "$*" "$(date +%T)"; }

step "debug build and all tests"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

step "real-browser walk of the demo (headless chromium)"
TG_BUILD="$PWD/build/debug" bash gate/apache/tests/browser/run.sh

step "Debian packages: built, installed, upgraded, serving a site from the system Apache, purged"
bash scripts/test-packages.sh

step "unit tests under ASan+UBSan"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

step "fuzzers (short bounded runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash scripts/run-fuzzers.sh build/fuzz "${FUZZ_SECONDS:-15}"

step "Windows deliverables: cross-build with mingw-w64, tests under Wine"
bash scripts/test-windows.sh

step "all tests passed"
