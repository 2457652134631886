"""PanicException: the class, the stderr diagnostic, resumed panics and memory exhaustion."""

import re

import pytest

import ontarix
from conftest import MutatingFloat, provoke_panic, run_python

DIAGNOSTIC = re.compile(
    r"^thread '[^']+' panicked at '(?P<message>.*)', "
    r"(?P<file>src/[\w/]+\.(?:cpp|hpp)):(?P<line>\d+):(?P<col>\d+)$"
)


def test_class_identity(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "velmor_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__.startswith("\n")
    assert "BaseException" in panic_type.__doc__ and "SystemExit" in panic_type.__doc__
    # created once: every fault raises the same class
    assert type(provoke_panic()) is panic_type


def test_instance_carries_only_the_message(panic_type):
    exc = provoke_panic()
    assert exc.args == ("dictionary changed size during iteration",)
    assert str(exc) == "dictionary changed size during iteration"


def test_not_caught_by_except_exception():
    scores: dict = {}
    scores["a"] = MutatingFloat(lambda: scores.__setitem__("b", 1.0))
    with pytest.raises(BaseException) as info:
        try:
            ontarix.mrca_and_score(scores)
        except Exception:  # noqa: BLE001
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value).__name__ == "PanicException"


def test_fault_writes_one_diagnostic_line(capfd):
    provoke_panic()
    out, err = capfd.readouterr()
    assert out == ""
    lines = [line for line in err.splitlines() if not line.startswith("note:")]
    assert len(lines) == 1
    match = DIAGNOSTIC.match(lines[0])
    assert match, lines[0]
    assert match["message"] == "dictionary changed size during iteration"
    assert match["file"] == "src/python/convert.cpp"
    assert int(match["line"]) > 0 and int(match["col"]) > 0


def test_successful_and_failing_calls_write_nothing(capfd):
    ontarix.relationships_to_closure_table([("a", "p", "b")])
    for bad in ([("a",)], "abc", 5):
        with pytest.raises((TypeError, ValueError)):
            ontarix.relationships_to_closure_table(bad)
    assert capfd.readouterr() == ("", "")


def test_backtrace_note_follows_only_the_first_diagnostic():
    result = run_python(
        """
        from conftest import provoke_panic
        import sys
        for _ in range(3):
            provoke_panic()
            sys.stderr.flush()
        print("alive")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "alive\n"
    lines = result.stderr.splitlines()
    assert len(lines) == 4
    assert all(DIAGNOSTIC.match(lines[i]) for i in (0, 2, 3))
    assert lines[1].startswith("note: ") and "backtrace" in lines[1]


def test_uncaught_panic_ends_the_program_with_a_traceback():
    result = run_python(
        """
        import sys
        import ontarix
        from conftest import MutatingFloat
        d = {}
        d["a"] = MutatingFloat(lambda: d.__setitem__("b", 1))
        try:
            ontarix.mrca_and_score(d)
        except Exception:
            print("caught")
        """
    )
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.splitlines()[-1] == (
        "velmor_runtime.PanicException: dictionary changed size during iteration"
    )


def test_panic_raised_by_python_code_is_resumed():
    result = run_python(
        """
        import sys
        import ontarix
        from conftest import provoke_panic
        Panic = type(provoke_panic())
        sys.stderr.flush()
        print("--- marker ---", file=sys.stderr, flush=True)

        class Boom:
            def __float__(self):
                raise Panic("boom from python")

        try:
            ontarix.mrca_and_score({"a": Boom()})
        except BaseException as exc:
            print(type(exc) is Panic, repr(str(exc)), exc.__cause__ is None)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True 'Unwrapped panic from Python code' True\n"
    err = result.stderr.split("--- marker ---\n", 1)[1].splitlines()
    assert err[0] == "--- Velmor is resuming a panic after fetching a PanicException from Python. ---"
    assert err[1] == "Python stack trace below:"
    assert err[2] == "Traceback (most recent call last):"
    assert "velmor_runtime.PanicException: boom from python" in err
    assert DIAGNOSTIC.match(err[-1])
    assert "'Unwrapped panic from Python code'" in err[-1]


def test_panic_from_a_length_hint_is_resumed_not_dropped(panic_type):
    class Seq(list):
        def __len__(self):
            raise panic_type("from len")

    with pytest.raises(panic_type, match="^Unwrapped panic from Python code$"):
        ontarix.relationships_to_closure_table(Seq([("a", "p", "b")]))


def test_native_memory_exhaustion_raises_memory_error():
    # Rows that share one tuple cost Python 8 bytes each, but the native row list needs 48: under
    # an address-space limit the native allocation fails first.
    result = run_python(
        """
        import resource
        import ontarix
        rows = [("a", "p", "b")] * 4_000_000
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
    assert result.stdout.splitlines() == [
        "MemoryError ''",
        "MemoryError ''",
        "{'a': {'p': {'b'}}}",
    ]
    assert result.stderr == ""
