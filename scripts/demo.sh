#!/usr/bin/env bash
# The main job: builds the native release and runs the demonstration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
mkdir -p build

# --wine: the same program as a Windows build, under Wine, against the real
# Horolog.dll (the 32-bit build where this host can run it, else the 64-bit).
if [[ ${1:-} == --wine ]]; then
  shift
  source scripts/wine-env.sh
  trap wine_stop EXIT
  log=build/$win_preset.demo.log
  if ! { cmake --preset "$win_preset" >"$log" 2>&1 &&
         cmake --build "build/$win_preset" -j "$(nproc)" --target horolog-demo >>"$log" 2>&1; }; then
    tail -n 80 "$log"
    echo "demo: build failed (log: $log)" >&2
    exit 1
  fi
  wine_start
  "$wine_bin" "build/$win_preset/bin/horolog-demo.exe" "$@"
  exit $?
fi

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
