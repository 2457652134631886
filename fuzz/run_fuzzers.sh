#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/targets with clang (ASan + UBSan, coverage-guided) and runs
# each one for a fixed time, starting from the committed seed corpus and every saved regression.
#
#   fuzz/run_fuzzers.sh [seconds-per-target] [target ...]
#
# Prints the executions per target. A broken property or a sanitizer report leaves the input in
# _build-fuzz/artifacts/<target>/ and makes the script exit 1: copy it into
# fuzz/regressions/<target>/ once the fault is fixed, so the replay test keeps it fixed.
# Environment: CXX (a clang++; default the newest clang++-NN found), ONTARIX_FUZZ_BUILD (build dir),
# ONTARIX_FUZZ_PARALLEL=1 to run the targets side by side (one core each), ONTARIX_SANITIZERS
# (default address,undefined; "undefined" alone runs several times faster, for long runs beside
# an instrumented one).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
[[ $# -gt 0 ]] && shift
build=${ONTARIX_FUZZ_BUILD:-$root/_build-fuzz}

# libFuzzer ships with clang's runtime; clang 16 or later also understands std::source_location.
cxx=${CXX:-}
if [[ -z $cxx ]]; then
  for v in 19 18 17 16; do
    if command -v "clang++-$v" >/dev/null; then cxx=clang++-$v; break; fi
  done
fi
if [[ -z $cxx ]]; then
  echo "no clang++-16 or later found: apt-get install -y clang-16 libclang-rt-16-dev" >&2
  exit 2
fi
symbolizer=$(command -v "llvm-symbolizer-${cxx##*-}" || command -v llvm-symbolizer || true)
export ASAN_SYMBOLIZER_PATH=$symbolizer
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Use-after-return detection unwinds a fake stack on every thrown Fault, which would cost more
# than everything else in a run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_stack_use_after_return=0}
sanitizers=${ONTARIX_SANITIZERS:-address,undefined}

# shellcheck source=tools/boost_python.sh
source "$root/tools/boost_python.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DONTARIX_FUZZ=ON -DONTARIX_SANITIZERS="$sanitizers" -DONTARIX_PYTHON=OFF -DONTARIX_TESTS=OFF \
  -DPython_EXECUTABLE="$(python_with_boost "$build")" >/dev/null
cmake --build "$build" -j2 >/dev/null

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for src in "$root"/fuzz/targets/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

run_one() {
  local t=$1 work=$build/corpus/$1 artifacts=$build/artifacts/$1/ max_len=4096
  mkdir -p "$work" "$artifacts" "$root/fuzz/regressions/$t"
  # Small inputs cut into pieces of 1, 2, 3 and 7 bytes already put a piece boundary at every
  # byte; the long seeds that cross the 64 KiB buffer are replayed whole by the unit tests.
  [[ $t == reader_* ]] && max_len=2048
  "$build/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
    -dict="$root/fuzz/reader.dict" -artifact_prefix="$artifacts" -print_final_stats=1 \
    "$work" "$root/fuzz/corpus/$t" "$root/fuzz/regressions/$t" >"$build/$t.log" 2>&1 || true
}

if [[ ${ONTARIX_FUZZ_PARALLEL:-0} == 1 ]]; then
  for t in "${targets[@]}"; do run_one "$t" & done
  wait
else
  for t in "${targets[@]}"; do run_one "$t"; done
fi

status=0
for t in "${targets[@]}"; do
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$t.log" | tail -1)
  corpus=$(find "$build/corpus/$t" -type f | wc -l)
  crashes=$(find "$build/artifacts/$t" -type f | wc -l)
  printf '%-28s executions %12s  corpus %6d  crashes %d\n' "$t" "${execs:-?}" "$corpus" "$crashes"
  if [[ $crashes -gt 0 || -z $execs ]]; then
    status=1
    find "$build/artifacts/$t" -type f | sed 's/^/    /'
    echo "    log: $build/$t.log"
  fi
done
exit $status
