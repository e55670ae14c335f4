#!/usr/bin/env bash
# Sets up a machine, builds in Release and runs the link demo: the serial
# connector against the simulated control board, showing every frame.
#   scripts/demo.sh                  5 s on the simulated board
#   scripts/demo.sh --seconds 10     longer
#   scripts/demo.sh --port /dev/ttyUSB0   a real board (see --help)
set -euo pipefail
cd "$(dirname "$0")/.."

"$PWD/scripts/install-deps.sh"

build_dir="build/release"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" --parallel "$(nproc)" --target tolvarine-link-demo
"$build_dir/tools/link_demo/tolvarine-link-demo" "$@"
