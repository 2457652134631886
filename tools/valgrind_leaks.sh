#!/usr/bin/env bash
# Native heap check of the extension with valgrind's memcheck.
#
#   tools/valgrind_leaks.sh [CALLS_PER_SCENARIO]
#
# Builds the extension with debug information into its own virtual environment, then runs
# tools/boundary_workload.py (every function on success and on every failure path, then every
# hostile input of the test suite) under memcheck with PYTHONMALLOC=malloc, so that every Python
# object is a malloc block valgrind can see. It counts the "definitely lost" records and the
# memory errors whose stack passes through the extension (the interpreter's own records are
# counted apart), and fails if there is any.
# Environment: ONTARIX_VALGRIND_DIR (work directory, default _build-valgrind).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${ONTARIX_VALGRIND_DIR:-$root/_build-valgrind}
calls=${1:-50}
mkdir -p "$work"

command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; }
if [[ ! -x $work/venv/bin/python ]]; then
  python3.11 -m venv "$work/venv"
fi
"$work/venv/bin/pip" install -q "$root[test]" -C cmake.build-type=RelWithDebInfo \
  -C build-dir="$work/build"

log=$work/memcheck.log
cd "$work"  # the installed module, not a source tree
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=50 --log-file="$log" \
  "$work/venv/bin/python" "$root/tools/boundary_workload.py" "$calls" 2>/dev/null

# A record is a header line ("... are definitely lost in loss record" or an error such as
# "Invalid read of size 8") followed by its stack; it is ours when a frame lies in the extension.
"$work/venv/bin/python" - "$log" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
body = re.sub(r"^==\d+== ?", "", text, flags=re.M)
records = [r for r in body.split("\n\n") if r.strip()]
lost = [r for r in records if "definitely lost in loss record" in r]
errors = [r for r in records if re.match(r"(Invalid|Conditional|Use of uninitialised|Mismatched|Syscall param|Source and destination)", r.strip())]
ours = lambda r: any(s in r for s in ("ontarix::", "ontarix.cpython", "PyInit_ontarix"))
def total(rs):
    return sum(int(re.match(r"\s*([\d,]+) bytes", r).group(1).replace(",", "")) for r in rs)
ours_lost, ours_errors = [r for r in lost if ours(r)], [r for r in errors if ours(r)]
summary = re.search(r"ERROR SUMMARY: .*", body)
print(f"definitely lost records: {len(lost)} in all ({total(lost)} bytes), "
      f"{len(ours_lost)} through the extension ({total(ours_lost)} bytes)")
print(f"memory errors: {len(errors)} in all, {len(ours_errors)} through the extension")
print(summary.group(0) if summary else "no error summary: did valgrind run?")
for r in ours_lost + ours_errors:
    print(r, "\n")
sys.exit(1 if ours_lost or ours_errors or not summary else 0)
EOF
