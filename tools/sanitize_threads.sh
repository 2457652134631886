#!/usr/bin/env bash
# Builds the core and its C++ tests with ThreadSanitizer (g++, CMake options ONTARIX_SANITIZE and
# ONTARIX_SANITIZERS=thread) and runs the tests of the parallel batch kernel: the closure index's
# matrices and top-k lists on several threads, and the runner that stops them.
#
#   tools/sanitize_threads.sh
#
# First the canary races on purpose from the runner's threads: it must be reported, or the build
# is not catching anything and the script fails before the tests. Exit status 0 means the race
# was caught and the tests passed with no report.
# Environment: ONTARIX_TSAN_BUILD (build directory, default _build-tsan), GTEST_FILTER.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ONTARIX_TSAN_BUILD:-$root/_build-tsan}

# shellcheck source=tools/boost_python.sh
source "$root/tools/boost_python.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DONTARIX_SANITIZE=ON -DONTARIX_SANITIZERS=thread -DONTARIX_TESTS=ON -DONTARIX_PYTHON=OFF \
  -DPython_EXECUTABLE="$(python_with_boost "$build")" >/dev/null
cmake --build "$build" -j2

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4"
logs=$build/sanitizer-logs
mkdir -p "$logs"
if "$build/ontarix_sanitizer_canary" race >"$logs/canary-race.log" 2>&1; then
  echo "canary race: NOT detected (exited 0)" >&2
  exit 1
elif ! grep -q "ThreadSanitizer: data race" "$logs/canary-race.log" ||
     ! grep -q "run_blocks" "$logs/canary-race.log"; then
  echo "canary race: NOT detected (no data race report through run_blocks; see $logs/canary-race.log)" >&2
  exit 1
fi
echo "canary race: detected (ThreadSanitizer: data race, in threads of run_blocks)"

filter=${GTEST_FILTER:-ClosureIndex.*:ParallelBlocks.*:*ThreadStart*:IndexState.*}
if "$build/ontarix_core_tests" --gtest_filter="$filter" >"$logs/tests.log" 2>&1; then
  grep -E '^\[  PASSED  \]|^\[==========\] .* ran' "$logs/tests.log"
  echo "parallel kernel tests under ThreadSanitizer: passed, no report"
else
  tail -60 "$logs/tests.log"
  echo "parallel kernel tests under ThreadSanitizer: FAILED (full log: $logs/tests.log)" >&2
  exit 1
fi
