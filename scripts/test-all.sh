#!/usr/bin/env bash
# Installs the test prerequisites, builds everything and runs every test:
#   1. the native build with tests and benchmark, warnings as errors;
#   2. the same suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the fuzz targets, run for a bounded time;
#   4. the 32-bit Windows build, tested under Wine.
# Run from anywhere, as root (step 0 installs Debian packages).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}

stage() { printf '\n=== %s\n' "$*"; }

stage "prerequisites"
bash scripts/install-test-deps.sh

for preset in dev sanitize; do
  stage "build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

stage "fuzz: ${fuzz_seconds}s shared by the targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash tests/fuzz/run.sh build/fuzz/bin "$fuzz_seconds"

stage "build and test: 32-bit Windows under Wine"
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32 -j "$jobs"
ctest --preset mingw32
