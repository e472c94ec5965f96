#!/usr/bin/env bash
# The main job: builds the native release and runs the demonstration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
mkdir -p build
log=build/native-release.log
if ! { cmake --preset native-release >"$log" 2>&1 && cmake --build build/native-release -j "$(nproc)" >>"$log" 2>&1; }; then
  tail -n 80 "$log"
  echo "demo: build failed (log: $log)" >&2
  exit 1
fi
demo=build/native-release/bin/horolog-demo
if [[ -x $demo ]]; then
  exec "$demo" "$@"
fi
echo "demo: the library and tools are built in build/native-release/bin"
