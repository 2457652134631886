# Sourced by the scripts that build the core on their own (sanitizers, fuzzing). The build takes
# Boost's include path from the boost-headers wheel, so CMake needs an interpreter that imports it.
#
#   py=$(python_with_boost "$build_dir")
#
# Prints the current python3.11 when it has the wheel; otherwise one of a private virtual
# environment under the given directory, made (and the pinned wheel installed) on first use.
python_with_boost() {
  local py
  py=$(command -v python3.11)
  if ! "$py" -c "import boost_headers" 2>/dev/null; then
    py=$1/venv/bin/python
    [[ -x $py ]] || python3.11 -m venv "$1/venv"
    "$py" -m pip install -q boost-headers==1.85.0.post1
  fi
  echo "$py"
}
