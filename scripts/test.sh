#!/usr/bin/env bash
# Sets up a machine, builds everything and runs every test through CTest.
#   scripts/test.sh                 plain build in build/test
#   SANITIZER=address scripts/test.sh   ASan + UBSan build in build/test-address
#   SANITIZER=thread  scripts/test.sh   TSan build in build/test-thread
#   BUILD_DIR=DIR scripts/test.sh       in DIR (e.g. one per OpenRTM-aist release)
set -euo pipefail
cd "$(dirname "$0")/.."

"$PWD/scripts/install-deps.sh"

sanitizer="${SANITIZER:-}"
build_dir="${BUILD_DIR:-build/test${sanitizer:+-$sanitizer}}"
jobs="$(nproc)"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVARINE_SANITIZER="$sanitizer"
cmake --build "$build_dir" --parallel "$jobs"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$jobs" --timeout 300
