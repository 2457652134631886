#!/usr/bin/env bash
# The whole Python test suite on Debian's debug interpreter (python3.11-dbg), which checks the
# C API's assertions (e.g. no call with an error pending) and counts every reference.
#
#   tools/debug_refleaks.sh [PYTEST ARGS...]
#
# Installs python3.11-dbg if missing, builds the extension against it (the debug ABI, "311d")
# into a virtual environment of its own, and runs the suite with -X showrefcount; the leak checks
# of the suite (tests/python/test_leaks.py) then run on an interpreter that asserts on misuse.
# Environment: ONTARIX_DEBUG_PYTHON_DIR (work directory, default _build-dbg).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${ONTARIX_DEBUG_PYTHON_DIR:-$root/_build-dbg}
mkdir -p "$work"

command -v python3.11-dbg >/dev/null || { apt-get update -qq && apt-get install -y -qq python3.11-dbg python3.11-venv >/dev/null; }
[[ -x $work/venv/bin/python ]] || python3.11-dbg -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q -U pip  # Debian's pip lacks -C
"$work/venv/bin/pip" install -q "$root[test]" -C build-dir="$work/build"

cd "$work"  # the installed module, not a source tree
"$work/venv/bin/python" -X showrefcount -m pytest "$root/tests/python" -q -p no:cacheprovider "$@"
