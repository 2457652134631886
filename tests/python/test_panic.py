"""PanicException: the class, the stderr diagnostic, resumed panics and memory exhaustion."""

import re

import pytest

import ontarix
from conftest import provoke_panic, run_python

DIAGNOSTIC = re.compile(
    r"^thread '[^']+' panicked at '(?P<message>.*)', (?P<file>src/[\w/]+\.[ch]pp):\d+:\d+$"
)


def test_class_and_instance(panic_type):
    assert (panic_type.__name__, panic_type.__qualname__, panic_type.__module__) == (
        "PanicException", "PanicException", "velmor_runtime")
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__.startswith("\n") and "BaseException" in panic_type.__doc__
    exc = provoke_panic()
    assert type(exc) is panic_type  # one class for the process
    assert exc.args == ("dictionary changed size during iteration",)


def test_fault_writes_one_diagnostic_line_and_success_writes_nothing(capfd):
    ontarix.relationships_to_closure_table([("a", "p", "b")])
    pytest.raises(ValueError, ontarix.relationships_to_closure_table, [("a",)])
    assert capfd.readouterr() == ("", "")
    provoke_panic()
    out, err = capfd.readouterr()
    lines = [line for line in err.splitlines() if not line.startswith("note:")]
    assert out == "" and len(lines) == 1
    match = DIAGNOSTIC.match(lines[0])
    assert match and match["message"] == "dictionary changed size during iteration"
    assert match["file"] == "src/python/convert.cpp"


def test_first_diagnostic_has_the_backtrace_note_and_except_exception_misses_it():
    result = run_python(
        """
        import sys
        from conftest import provoke_panic, MutatingFloat
        import ontarix
        for _ in range(2):
            provoke_panic()
        sys.stderr.flush()
        d = {}
        d["a"] = MutatingFloat(lambda: d.__setitem__("b", 1))
        try:
            ontarix.mrca_and_score(d)
        except Exception:
            print("caught")
        """
    )
    assert result.returncode == 1 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert DIAGNOSTIC.match(lines[0]) and DIAGNOSTIC.match(lines[2]) and DIAGNOSTIC.match(lines[3])
    assert lines[1].startswith("note: ") and "backtrace" in lines[1]
    assert lines[-1] == "velmor_runtime.PanicException: dictionary changed size during iteration"


def test_panic_raised_by_python_code_is_resumed():
    result = run_python(
        """
        import sys
        from conftest import provoke_panic
        import ontarix
        Panic = type(provoke_panic())
        print("--- marker ---", file=sys.stderr, flush=True)

        class Boom:
            def __float__(self):
                raise Panic("boom from python")

        try:
            ontarix.mrca_and_score({"a": Boom()})
        except BaseException as exc:
            print(type(exc) is Panic, repr(str(exc)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True 'Unwrapped panic from Python code'\n"
    err = result.stderr.split("--- marker ---\n", 1)[1].splitlines()
    assert err[:3] == [
        "--- Velmor is resuming a panic after fetching a PanicException from Python. ---",
        "Python stack trace below:",
        "Traceback (most recent call last):",
    ]
    assert "velmor_runtime.PanicException: boom from python" in err
    assert DIAGNOSTIC.match(err[-1])["message"] == "Unwrapped panic from Python code"


def test_panic_from_a_dropped_error_is_still_resumed(panic_type):
    class Rows(list):
        def __len__(self):  # a failing length hint is otherwise ignored
            raise panic_type("from len")

    with pytest.raises(panic_type, match="^Unwrapped panic from Python code$"):
        ontarix.relationships_to_closure_table(Rows([("a", "p", "b")]))


def test_native_memory_exhaustion_raises_memory_error():
    # Rows sharing one tuple cost Python 8 bytes each but the native row list 48: under an
    # address-space limit the native allocation fails first. The str subclass in the last row
    # sends the call to the native route once every other row is validated.
    result = run_python(
        """
        import resource
        import ontarix
        class Sub(str): pass
        rows = [("a", "p", "b")] * 4_000_000 + [(Sub("a"), "p", "b")]
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * 2**20, resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                ontarix.relationships_to_closure_table(rows)
            except MemoryError as exc:
                print("MemoryError", repr(str(exc)))
        print(ontarix.relationships_to_closure_table(rows[:2]))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError ''", "MemoryError ''", "{'a': {'p': {'b'}}}"]
    assert result.stderr == ""
