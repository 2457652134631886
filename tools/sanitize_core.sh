#!/usr/bin/env bash
# Builds the core and its C++ tests with AddressSanitizer + UndefinedBehaviorSanitizer (g++,
# CMake option ONTARIX_SANITIZE) and runs the tests with leak detection on.
#
#   tools/sanitize_core.sh
#
# First it runs the canary, a program that commits a heap overflow inside the core, a signed
# overflow and a leak, one per run: each must be reported, or the harness is not catching anything
# and the script fails before the tests are even tried. Exit status 0 means the canary was caught
# three times and the whole suite passed with no sanitizer report.
# Environment: ONTARIX_SANITIZE_BUILD (build directory, default _build-asan), GTEST_FILTER.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ONTARIX_SANITIZE_BUILD:-$root/_build-asan}

# shellcheck source=tools/boost_python.sh
source "$root/tools/boost_python.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DONTARIX_SANITIZE=ON -DONTARIX_TESTS=ON -DONTARIX_PYTHON=OFF \
  -DPython_EXECUTABLE="$(python_with_boost "$build")" >/dev/null
cmake --build "$build" -j2

# Any report ends the process with a failure; leaks are looked for at exit.
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
symbolizer=$(command -v llvm-symbolizer || true)
[[ -n $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=$symbolizer

logs=$build/sanitizer-logs
mkdir -p "$logs"
canary_failed=0
# mode, then the text its report must contain (the heap one must be inside the core library).
for row in "heap|AddressSanitizer: heap-buffer-overflow|utf8_valid_up_to" \
           "ub|runtime error: signed integer overflow|" \
           "leak|LeakSanitizer: detected memory leaks|"; do
  IFS='|' read -r mode report frame <<<"$row"
  log=$logs/canary-$mode.log
  if "$build/ontarix_sanitizer_canary" "$mode" >"$log" 2>&1; then
    echo "canary $mode: NOT detected (exited 0)"
    canary_failed=1
  elif ! grep -q "$report" "$log" || { [[ -n $frame ]] && ! grep -q "$frame" "$log"; }; then
    echo "canary $mode: NOT detected (no '$report'${frame:+ in $frame}; see $log)"
    canary_failed=1
  else
    echo "canary $mode: detected ($report${frame:+ in $frame})"
  fi
done
if [[ $canary_failed -ne 0 ]]; then
  echo "the sanitizers are not catching real faults; not running the tests" >&2
  exit 1
fi

# The whole suite in one process, so that leak detection at exit covers all of it.
if "$build/ontarix_core_tests" >"$logs/tests.log" 2>&1; then
  grep -E '^\[  PASSED  \]|^\[==========\] .* ran' "$logs/tests.log"
  echo "core tests under ASan+UBSan+LSan: passed, no sanitizer report"
else
  tail -60 "$logs/tests.log"
  echo "core tests under ASan+UBSan+LSan: FAILED (full log: $logs/tests.log)" >&2
  exit 1
fi
