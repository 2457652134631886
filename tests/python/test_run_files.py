"""`run` on files that are not plain readable files: missing, vanished, unreadable, directories,
devices, FIFOs fed by another process, huge lines, and a file replaced while the call runs.
Each gives its documented result or PanicException, and leaves no file open."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import ontarix as o
from conftest import provoke_panic

Panic = type(provoke_panic())
ERR = "called `Result::unwrap()` on an `Err` value: "
NONE = "called `Option::unwrap()` on a `None` value"
INPUT = "set1,A\nset1,B\ng,A\ng,C\n"
CLOSURE = "A,A\nA,R\nB,B\nC,C\nC,R\n"
EXPECTED = {"set1": 1.0, "g": 0.5}


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.fixture
def fds_unchanged():
    before = open_fds()
    yield
    assert open_fds() == before


def scores(records):
    return {r.get_set_id(): r.get_best_score() for r in records}


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    return str(path)


@pytest.fixture
def good(tmp_path):
    return write(tmp_path / "in.csv", INPUT), write(tmp_path / "cl.csv", CLOSURE)


def feed_fifo(path, chunks, then=""):
    """Starts a process that opens the FIFO for writing (blocking until the call opens it for
    reading), writes the chunks one by one, runs `then`, and closes it."""
    code = textwrap.dedent(f"""
        import os, sys
        fd = os.open({str(path)!r}, os.O_WRONLY)
        for chunk in {chunks!r}:
            os.write(fd, chunk)
        {then}
        os.close(fd)
    """)
    return subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.DEVNULL)


# ---- paths that cannot be opened or read -----------------------------------------------------------


def under_a_file(tmp, good):
    return os.path.join(good[0], "x.csv"), "Failed to open file: {p} Not a directory (os error 20)"


def missing(tmp, good):
    return str(tmp / "missing.csv"), "Failed to open file: {p} No such file or directory (os error 2)"


def directory(tmp, good):
    return str(tmp), ERR + 'Error(Io(Os { code: 21, kind: IsADirectory, message: "Is a directory" }))'


def symlink_loop(tmp, good):
    os.symlink(tmp / "loop", tmp / "loop")
    return str(tmp / "loop"), "Failed to open file: {p} Too many levels of symbolic links (os error 40)"


def name_too_long(tmp, good):
    return str(tmp / ("x" * 300)), "Failed to open file: {p} File name too long (os error 36)"


def empty_path(tmp, good):
    return "", "Failed to open file: {p} No such file or directory (os error 2)"


def nul_in_path(tmp, good):
    return good[0] + "\0tail", "Failed to open file: {p} file name contained an unexpected NUL byte"


def device_without_lines(tmp, good):
    return "/dev/null", None  # opens and reads as an empty file


@pytest.mark.parametrize("position", ["input", "closure"])
@pytest.mark.parametrize("bad_path", [under_a_file, missing, directory, symlink_loop, name_too_long,
                                      empty_path, nul_in_path, device_without_lines])
def test_paths_that_cannot_be_read(tmp_path, good, fds_unchanged, position, bad_path):
    path, message = bad_path(tmp_path, good)
    args = (path, good[1]) if position == "input" else (good[0], path)
    with pytest.raises(Panic) as info:
        o.run(*args)
    if message is None:  # an empty input has no "set1"; an empty closure lacks A
        message = NONE
    assert str(info.value) == message.replace("{p}", path)


def test_a_file_that_vanishes_and_comes_back(tmp_path, good, fds_unchanged):
    assert scores(o.run(*good)) == EXPECTED
    os.remove(good[1])
    with pytest.raises(Panic, match="No such file or directory"):
        o.run(*good)
    write(good[1], CLOSURE)
    assert scores(o.run(*good)) == EXPECTED


# ---- FIFOs -----------------------------------------------------------------------------------------


def pieces(data, sizes):
    out, i, k = [], 0, 0
    while i < len(data):
        n = sizes[k % len(sizes)]
        out.append(data[i:i + n])
        i, k = i + n, k + 1
    return out


@pytest.mark.parametrize("position", ["input", "closure"])
@pytest.mark.parametrize("data", [
    INPUT.encode(),
    INPUT.replace("\n", "\r\n").encode(),
    '\ufeffset1,"A"\nset1,B\n"g",A\ng,"C"'.encode(),  # byte order mark, quotes, no final line end
    INPUT.encode() + b"x,\xff\n",  # invalid UTF-8 at the end of what the writer sends
    b'set1,A\nset1,B\ng,A\ng,"C',  # the writer stops inside a quoted field
])
def test_a_fifo_reads_as_the_same_bytes_in_a_file(tmp_path, fds_unchanged, position, data):
    regular, fifo = tmp_path / "regular.csv", tmp_path / "fifo.csv"
    regular.write_bytes(data)
    os.mkfifo(fifo)
    other = write(tmp_path / "other.csv", CLOSURE if position == "input" else INPUT)
    order = (lambda p: (str(p), other)) if position == "input" else (lambda p: (other, str(p)))

    def outcome(path):
        try:
            return "ok", scores(o.run(*order(path)))
        except Panic as exc:
            return "panic", str(exc)

    expected = outcome(regular)
    # Odd piece sizes: the reader sees records, quotes and UTF-8 sequences cut at every place.
    writer = feed_fifo(fifo, pieces(data, [1, 7, 3, 8192, 2]))
    try:
        got = outcome(fifo)
    finally:
        assert writer.wait() == 0
    assert got == expected


def test_the_closure_file_replaced_while_the_input_is_read(tmp_path, fds_unchanged):
    # The writer of the input FIFO replaces the closure file before it lets the reader see the end
    # of the input, so the call runs while the file changes; the input is read to its end and
    # closed before the closure is opened, so the new closure is what counts.
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    closure = write(tmp_path / "cl.csv", "A,A\n")  # would fail the call: B and C are missing
    write(tmp_path / "new.csv", CLOSURE)
    replace = f"os.replace({str(tmp_path / 'new.csv')!r}, {closure!r})"
    writer = feed_fifo(fifo, [INPUT.encode()], then=replace)
    try:
        result = scores(o.run(str(fifo), closure))
    finally:
        assert writer.wait() == 0
    assert result == EXPECTED


def run_child(code, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], text=True,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kwargs)


@pytest.fixture
def fifo_and_closure(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    return str(fifo), write(tmp_path / "cl.csv", CLOSURE)


@contextlib.contextmanager
def reaped(*procs):
    """Kills the processes on the way out, whether the test passed or not."""
    try:
        yield
    finally:
        for proc in procs:
            proc.kill()
            proc.wait()


def wait_until_blocked(proc):
    # The child announces itself just before the call; from then on it only sleeps in the kernel
    # once the call waits.
    assert proc.stdout.readline() == "ready\n"
    for _ in range(1000):
        with open(f"/proc/{proc.pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "S":
                return
        time.sleep(0.01)
    pytest.fail("the call never waited")


@pytest.mark.parametrize("writer", ["none", "stalled"])
def test_ctrl_c_stops_a_call_waiting_on_a_fifo(fifo_and_closure, writer):
    # With no writer the open waits; with a writer that stops sending, a read waits. Either way
    # KeyboardInterrupt ends the call, and the FIFO is not left open.
    fifo, closure = fifo_and_closure
    feeders = []
    if writer == "stalled":
        feeders.append(feed_fifo(fifo, [b"set1,A\nse"], then="import time; time.sleep(60)"))
    child = run_child(f"""
        import os, signal, ontarix
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
        before = os.listdir("/proc/self/fd")
        print("ready", flush=True)
        try:
            ontarix.run({fifo!r}, {closure!r})
        except KeyboardInterrupt:
            print("interrupted", os.listdir("/proc/self/fd") == before)
    """)
    with reaped(child, *feeders):
        wait_until_blocked(child)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    assert (out, err) == ("interrupted True\n", "")


def test_ctrl_c_taken_by_another_thread_stops_the_call_before_its_next_wait(fifo_and_closure):
    # Ctrl-C's signal may land on any thread. Here another thread takes it once the call has
    # opened the FIFO, then writes part of a record and stalls: none of the call's waits was
    # interrupted, yet the handler runs before the next one and its KeyboardInterrupt ends the call.
    fifo, closure = fifo_and_closure
    child = run_child(f"""
        import os, signal, threading, time, ontarix
        signal.signal(signal.SIGINT, signal.default_int_handler)
        writer_fd = []

        def fifo_fds(path=os.path.realpath({fifo!r})):
            fds = os.listdir("/proc/self/fd")
            return [fd for fd in fds if os.path.realpath(f"/proc/self/fd/{{fd}}") == path]

        def writer():
            fd = os.open({fifo!r}, os.O_WRONLY)  # returns once the call has opened it
            writer_fd.append(str(fd))
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
            os.write(fd, b"set1,A\\nse")
            time.sleep(60)

        threading.Thread(target=writer, daemon=True).start()
        try:
            ontarix.run({fifo!r}, {closure!r})
        except KeyboardInterrupt:
            print("interrupted", fifo_fds() == writer_fd)  # only the writer's end is open
    """)
    with reaped(child):
        out, err = child.communicate(timeout=30)
    assert (out, err) == ("interrupted True\n", "")


def test_other_threads_and_signal_handlers_run_while_a_call_waits(fifo_and_closure):
    # The call on the main thread waits for a writer that another thread of the same process
    # becomes, after a signal handler (which returns normally) has run on the main thread: the
    # wait lets both happen and then carries on to the result.
    fifo, closure = fifo_and_closure
    child = run_child(f"""
        import signal, threading, ontarix
        handled = threading.Event()
        signal.signal(signal.SIGUSR1, lambda *_: handled.set())
        main = threading.get_ident()

        def writer():
            signal.pthread_kill(main, signal.SIGUSR1)
            assert handled.wait(20)
            with open({fifo!r}, "w") as f:
                f.write({INPUT!r})

        threading.Thread(target=writer).start()
        result = ontarix.run({fifo!r}, {closure!r})
        print(sorted((r.get_set_id(), r.get_best_score()) for r in result))
    """)
    with reaped(child):
        out, err = child.communicate(timeout=30)
    assert (out, err) == (f"{sorted(EXPECTED.items())}\n", "")


# ---- huge lines --------------------------------------------------------------------------------


HUGE = 6 << 20


@pytest.mark.parametrize("quoted", [False, True])
def test_a_field_of_several_megabytes(tmp_path, fds_unchanged, quoted):
    term = "T" * (HUGE - 1) + "é"
    field = f'"{term}"' if quoted else term
    result = o.run(write(tmp_path / "in.csv", f"set1,{field}\nset2,A\n"),
                   write(tmp_path / "cl.csv", f"{field},{field}\nA,{field}\nA,A\n"))
    by_id = {r.get_set_id(): r for r in result}
    assert by_id["set1"].get_object_termset() == {term}
    assert by_id["set2"].get_best_score() == 0.5


@pytest.mark.parametrize("size", [10, HUGE])
def test_errors_deep_in_a_huge_line_report_their_position(tmp_path, fds_unchanged, size):
    # The same malformed record after a short and after a huge field: only the offsets differ.
    data = b"set1," + b"x" * size + b"\xe2\x82\nset2,A,B\n"
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    with pytest.raises(Panic) as info:
        o.run(str(path), str(path))
    assert str(info.value) == ERR + (
        "Error(Utf8 { pos: Some(Position { byte: 0, line: 1, record: 0 }), "
        f"err: Utf8Error {{ field: 1, valid_up_to: {size} }} }})")
    path.write_bytes(b"set1," + b"x" * size + b"\nset2,A,B\n")
    with pytest.raises(Panic) as info:
        o.run(str(path), str(path))
    assert str(info.value) == ERR + (
        f"Error(UnequalLengths {{ pos: Some(Position {{ byte: {size + 6}, line: 2, record: 1 }}), "
        "expected_len: 2, len: 3 })")
