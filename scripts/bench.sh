#!/usr/bin/env bash
# The benchmark (not part of the tests): builds the native release, runs
# horolog-bench (Horolog against Boost.Asio, the same workloads in the same
# run) and plots the lateness into docs/benchmark-lateness.png. Arguments go
# to horolog-bench, for instance --only W1,W3; --soak MINUTES runs the soak
# mode and --stress SECONDS the stress mode instead, which plot nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
mkdir -p build
log=build/native-release.log
if ! { cmake --preset native-release >"$log" 2>&1 &&
       cmake --build build/native-release -j "$(nproc)" --target horolog-bench >>"$log" 2>&1; }; then
  tail -n 80 "$log"
  echo "bench: build failed (log: $log)" >&2
  exit 1
fi
bench=build/native-release/bin/horolog-bench
for arg in "$@"; do
  [[ $arg == --soak || $arg == --stress ]] && exec "$bench" "$@"
done

out=build/bench
rm -rf "$out/samples"
mkdir -p "$out/samples"
"$bench" --samples "$out/samples" "$@" | tee "$out/bench.txt"
if [[ -s $out/samples/w1-horolog.dat && -s $out/samples/w2-horolog.dat &&
      -s $out/samples/w5-horolog.dat ]]; then
  mkdir -p docs
  gnuplot -e "dir='$out/samples'; out='docs/benchmark-lateness.png'" tools/bench/plot.gp
  echo "bench: plot written to docs/benchmark-lateness.png"
fi
