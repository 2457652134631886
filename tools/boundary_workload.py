"""Calls every function of ontarix on success and on every failure path, then every hostile input
of the test suite, for the native leak checkers (valgrind, a debug interpreter).

    python tools/boundary_workload.py [CALLS_PER_SCENARIO]

The scenario tables are the test suite's own (tests/python/test_leaks.py, test_hostile.py), so a
path added there is exercised here too. Needs pytest importable (the tables live in test modules).
"""

import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import test_hostile  # noqa: E402
import test_leaks  # noqa: E402


def run_files(directory):
    files = {
        "input": "set1,A\nset1,B\ng1,A\ng1,C\ng2,B\n",
        "closure": "A,A\nA,R\nB,B\nB,R\nC,C\n",
        "malformed": "set1,A\nset2,B,C\n",
    }
    paths = {}
    for name, text in files.items():
        paths[name] = os.path.join(directory, f"{name}.csv")
        with open(paths[name], "w") as f:
            f.write(text)
    paths["missing"] = os.path.join(directory, "missing.csv")
    return paths


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    with tempfile.TemporaryDirectory() as directory:
        paths = run_files(directory)
        for name, make in sorted(test_leaks.SCENARIOS.items()):
            fn, args, kwargs, expected, *after = make(paths)
            test_leaks.call_many(fn, args, kwargs, expected, after[0] if after else None, calls)
        records = test_leaks.o.run(paths["input"], paths["closure"])
        for record in records:
            for name in dir(record):
                if name.startswith("get_"):
                    getattr(record, name)()
        type(records[0]).new()
    for case in test_hostile.CASES:
        call, _ = case.values
        try:
            call()
        except BaseException:  # noqa: BLE001 - the test suite checks the outcomes
            pass
    print(f"workload done: {len(test_leaks.SCENARIOS)} scenarios x {calls} calls, "
          f"{len(test_hostile.CASES)} hostile cases", file=sys.__stdout__)


if __name__ == "__main__":
    main()
