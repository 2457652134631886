#!/usr/bin/env bash
# The whole Python test suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the core's C++ tests under ASan + UBSan + LSan.
#
#   tools/sanitize_python.sh [PYTEST ARGS...]
#
# The extension (core included) is built with the CMake option ONTARIX_SANITIZE into a virtual
# environment of its own. The interpreter is not instrumented, so gcc's runtimes are preloaded,
# and PYTHONMALLOC=malloc hands every Python object to the sanitizer's allocator, which then sees
# overruns of Python buffers too. Leak detection is off for the Python run (the interpreter keeps
# much memory until exit by design; the leak checks of the suite and tools/valgrind_leaks.sh cover
# leaks), and allocator_may_return_null lets the suite's memory-exhaustion tests see a failed
# allocation instead of a sanitizer abort. Any report fails the run.
#
# First a canary, a shared object built with the same flags, reads past a heap array inside the
# interpreter; it must be reported, or the run proves nothing. Exit status 0: canary caught, Python
# suite passed with no report, core tests passed with no report (tools/sanitize_core.sh).
# Environment: ONTARIX_SANITIZE_PYTHON_DIR (work directory, default _build-asan-python).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${ONTARIX_SANITIZE_PYTHON_DIR:-$root/_build-asan-python}
mkdir -p "$work"

[[ -x $work/venv/bin/python ]] || python3.11 -m venv "$work/venv"
py=$work/venv/bin/python
"$work/venv/bin/pip" install -q "$root[test]" -C cmake.define.ONTARIX_SANITIZE=ON \
  -C cmake.build-type=RelWithDebInfo -C build-dir="$work/build"

# Located without importing it: the instrumented module cannot load before the runtime is preloaded.
so=$("$py" -c 'import importlib.util; print(importlib.util.find_spec("ontarix").origin)')
if ! nm -D "$so" | grep __asan_report_load >/dev/null; then  # no -q: nm must not see a closed pipe
  echo "$so is not instrumented: is ONTARIX_SANITIZE an option of CMakeLists.txt?" >&2
  exit 1
fi

flags=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1)
g++ -std=c++20 -shared -fPIC "${flags[@]}" "$root/tests/sanitizer/python_canary.cpp" -o "$work/canary.so"

# Reports go to files named after the process: the suite captures the standard error of its
# tests (and of the interpreters they start), and a report written there would die with them.
reports=$work/reports
rm -rf "$reports"
mkdir -p "$reports"
sanitized() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$reports/$1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/$1 \
  "${@:2}"
}

log=$work/canary.log
sanitized canary "$py" -c \
  "import ctypes; ctypes.CDLL('$work/canary.so').ontarix_canary_read_past_end(4)" >"$log" 2>&1 || true
if ! grep -qs "AddressSanitizer: heap-buffer-overflow" "$reports"/canary.*; then
  echo "canary: NOT detected (see $log and $reports); not running the suite" >&2
  exit 1
fi
echo "canary: detected (heap-buffer-overflow in a shared object loaded by the interpreter)"

# From the work directory, so that `import ontarix` finds the instrumented build. Three tests are
# left out: one exhausts native memory to see std::bad_alloc become MemoryError, but the sanitizer's
# operator new reports exhaustion and ends the process instead of throwing; the others cap a child
# interpreter's address space, which leaves the sanitizer no room for its shadow memory.
log=$work/pytest.log
status=0
(cd "$work" && sanitized suite "$py" -m pytest "$root/tests/python" -q -p no:cacheprovider \
  -k "not test_native_memory_exhaustion_raises_memory_error and not test_matrix_too_large_raises_memory_error and not test_scratch_grows_with_what_can_score_only" \
  "$@") >"$log" 2>&1 || status=$?
if compgen -G "$reports/suite.*" >/dev/null; then
  head -60 "$reports"/suite.*
  echo "Python suite under ASan+UBSan: sanitizer report (in $reports)" >&2
  exit 1
fi
tail -3 "$log"
if [[ $status -ne 0 ]]; then
  echo "Python suite under ASan+UBSan: FAILED with status $status (full log: $log)" >&2
  exit 1
fi
echo "Python suite under ASan+UBSan: passed, no sanitizer report"

"$root/tools/sanitize_core.sh"
