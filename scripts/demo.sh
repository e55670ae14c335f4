#!/usr/bin/env bash
# Sets up a machine, builds in Release and runs the demo: the simulated
# wheelchair driven through the RT component for about a minute, recorded
# into out/demo/ (CSV files, path.png, velocity.png) with a summary at the end.
#   scripts/demo.sh                      the full run
#   scripts/demo.sh --short              a few seconds of driving
#   scripts/demo.sh --output DIR         elsewhere (see --help for the rest)
#   scripts/demo.sh --middleware openrtm on OpenRTM-aist, when the build found it
#   BUILD_DIR=DIR scripts/demo.sh        build in DIR instead of build/release
# Arguments go to tolvarine-demo unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."

"$PWD/scripts/install-deps.sh"

build_dir="${BUILD_DIR:-build/release}"
echo "demo: building in $build_dir" >&2
mkdir -p "$build_dir"
if ! cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >"$build_dir/configure.log" 2>&1; then
  cat "$build_dir/configure.log" >&2
  echo "demo: configuring the build failed (log above)" >&2
  exit 1
fi
if ! cmake --build "$build_dir" --parallel "$(nproc)" \
    --target tolvarine-demo tolvarine-teleop tolvarine-board-sim rtm_standin_ctl; then
  echo "demo: the build failed (see the compiler messages above)" >&2
  exit 1
fi

exec "$build_dir/tools/demo/tolvarine-demo" "$@"
