#!/usr/bin/env bash
# Builds and runs every test suite: native with AddressSanitizer and
# UndefinedBehaviorSanitizer, native with ThreadSanitizer, and the Windows
# build under Wine. Prints a count per suite and a total.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh || exit 1
source scripts/wine-env.sh
trap wine_stop EXIT

jobs=${HOROLOG_JOBS:-$(nproc)}
total_pass=0
total_fail=0
summary=()

configure_and_build() { # preset
  local preset=$1 dir=build/$1 log=build/$1.log
  mkdir -p build
  if ! { cmake --preset "$preset" >"$log" 2>&1 && cmake --build "$dir" -j "$jobs" >>"$log" 2>&1; }; then
    tail -n 80 "$log"
    echo "test: build of $preset failed (log: $log)"
    return 1
  fi
}

run_suite() { # name preset [prefix command...]
  local name=$1 preset=$2
  shift 2
  local log=build/$preset.ctest.log
  "$@" ctest --test-dir "build/$preset" -j "$jobs" --output-on-failure --timeout 600 >"$log" 2>&1
  local rc=$?
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  local n_total n_fail
  n_total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  n_fail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [[ -z "$line" ]]; then
    n_total=0
    n_fail=1
  fi
  if [[ $rc -ne 0 || $n_fail -ne 0 ]]; then
    grep -v -E '^\s*(Start|[0-9]+/[0-9]+ Test).*(Passed|\.\.\.)' "$log" | tail -n 200
    [[ $n_fail -eq 0 ]] && n_fail=1
  fi
  local n_pass=$((n_total - n_fail))
  ((n_pass < 0)) && n_pass=0
  total_pass=$((total_pass + n_pass))
  total_fail=$((total_fail + n_fail))
  summary+=("$(printf '%-34s %5d passed, %d failed' "$name" "$n_pass" "$n_fail")")
}

# The installed tree, as a component would use it: the release build is
# installed into a temporary prefix; the example client is configured with
# find_package(Horolog CONFIG) and built against it; the C client is built
# with pkg-config's flags; both run against the installed module, registered
# with the installed horolog-regsvr in a registry folder of their own.
package_check() {
  local dir=build/package-check log=build/package-check.log
  local prefix=$dir/prefix registry=$dir/registry
  local pass=0 fail=0
  rm -rf "$dir" && mkdir -p "$dir" && : >"$log"
  check() { # name command...
    local name=$1
    shift
    if "$@" >>"$log" 2>&1; then
      pass=$((pass + 1))
    else
      fail=$((fail + 1))
      echo "test: package check failed: $name (log: $log)"
    fi
  }
  if ! { cmake --preset native-release >>"$log" 2>&1 &&
         cmake --build build/native-release -j "$jobs" --target Horolog Kestrel Chron winplat \
           horolog_uuid horolog-regsvr >>"$log" 2>&1; }; then
    tail -n 40 "$log"
    echo "test: build of native-release failed (log: $log)"
    return 1
  fi
  check "install" cmake --install build/native-release --prefix "$prefix"
  check "example configured and built against the installation" \
    bash -c "cmake -S examples/client -B '$dir/example' -G Ninja -DCMAKE_PREFIX_PATH='$PWD/$prefix' &&
             cmake --build '$dir/example'"
  check "example runs" env WINPLAT_REGISTRY="$PWD/$registry" bash -c \
    "'$prefix/bin/horolog-regsvr' /s '$prefix/lib/Horolog.so' &&
     timeout 120 '$dir/example/horolog-example'"
  check "C client built with pkg-config" bash -c \
    "cc -std=c11 -Wall -Wextra -Werror tests/tools/c_client.c -o '$dir/c-client' \
       \$(PKG_CONFIG_PATH='$prefix/lib/pkgconfig' pkg-config --cflags --libs horolog)"
  check "C client runs" env WINPLAT_REGISTRY="$PWD/$registry-c" LD_LIBRARY_PATH="$PWD/$prefix/lib" \
    timeout 120 "$dir/c-client"
  total_pass=$((total_pass + pass))
  total_fail=$((total_fail + fail))
  summary+=("$(printf '%-34s %5d passed, %d failed' "package (install, example, C)" "$pass" "$fail")")
}

# A short coverage-guided run of the engine's operations fuzz target
# (tests/core/fuzz), started from a copy of the corpus in the tree, so that
# the inputs it adds stay out of the tree. One test: passed when the run ends
# without a crash, a hang or a leak; what it found is kept in
# build/native-fuzz-artifacts. Leaks are looked for when the run ends, not
# after each input: a joined platform thread frees its last state just after
# its handle is signalled, which a check between inputs can catch half-way.
fuzz_check() {
  local dir=build/native-fuzz log=build/native-fuzz.log
  local seconds=${HOROLOG_FUZZ_SECONDS:-30}
  local artifacts=build/native-fuzz-artifacts
  if ! { cmake --preset native-fuzz >"$log" 2>&1 &&
         cmake --build "$dir" -j "$jobs" --target engine_ops_fuzz >>"$log" 2>&1; }; then
    tail -n 40 "$log"
    echo "test: build of native-fuzz failed (log: $log)"
    return 1
  fi
  local work rc=0
  work=$(mktemp -d) || return 1
  mkdir -p "$work/corpus" && cp tests/core/fuzz/corpus/* "$work/corpus/"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    timeout $((seconds + 300)) "$dir/bin/engine_ops_fuzz" -max_total_time="$seconds" -timeout=60 \
    -rss_limit_mb=4096 -detect_leaks=0 -artifact_prefix="$work/" "$work/corpus" >>"$log" 2>&1 || rc=$?
  local runs
  runs=$(grep -oE 'Done [0-9]+ runs' "$log" | tail -n 1 | grep -oE '[0-9]+')
  local pass=1 fail=0
  if [[ $rc -ne 0 ]]; then
    pass=0 fail=1
    mkdir -p "$artifacts" && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$artifacts/" 2>/dev/null
    grep -E '==[0-9]+==ERROR|SUMMARY:|engine_ops: |runtime error|ALARM|deadly signal' "$log" | tail -n 20
    echo "test: fuzz run failed (log: $log, inputs: $artifacts)"
  fi
  rm -rf "$work"
  total_pass=$((total_pass + pass))
  total_fail=$((total_fail + fail))
  summary+=("$(printf '%-34s %5d passed, %d failed' "fuzz (${seconds} s, ${runs:-0} runs)" "$pass" "$fail")")
}

failed_build=0

if configure_and_build native; then
  run_suite "native (ASan+UBSan)" native \
    env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else failed_build=1; fi

package_check || failed_build=1
fuzz_check || failed_build=1

if configure_and_build native-tsan; then
  # Without address randomisation TSan starts on any vm.mmap_rnd_bits.
  run_suite "native (TSan)" native-tsan \
    env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R
else failed_build=1; fi

# The shipped 32-bit DLL is always built, whether or not this host can run it.
if [[ $win_preset != win32 ]]; then
  configure_and_build win32 || failed_build=1
  echo "test: this host cannot execute 32-bit code; the Windows suites run as the win64 build under 64-bit Wine"
fi
if configure_and_build "$win_preset"; then
  wine_start
  run_suite "$win_preset (Wine)" "$win_preset" env
  wine_stop
else failed_build=1; fi

echo
printf '%s\n' "${summary[@]}"
((failed_build)) && total_fail=$((total_fail + 1)) && echo "test: a build failed"
echo "total: $total_pass passed, $total_fail failed"
[[ $total_fail -eq 0 ]]
