"""What both command lines print: scores, one-line errors, output into a closed pipe."""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable
from typing import TextIO


def format_score(score: float) -> str:
    """The shortest text that reads back as the same float; nan and inf as Python spells them."""
    return repr(score) if math.isfinite(score) else str(score)


def positive_int(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def is_terminal(stream: TextIO | None) -> bool:
    """Whether stream is a terminal, where a progress bar may be drawn: logs and pipes receive
    nothing but errors. None (no standard error at all, as under pythonw) is none."""
    if stream is None:
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no such method, or a closed stream
        return False


def report_error(prog: str, exc: BaseException) -> int:
    """Prints exc as one line on standard error and returns the exit status for it. Interrupts
    and exits pass through: they are the user's, not the input's."""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        raise exc
    print(f"{prog}: error: {error_text(exc)}", file=sys.stderr)
    return 1


def error_text(exc: BaseException) -> str:
    """The first line of exc's text; a file's OSError as "FILE: reason", as the shell says it."""
    if isinstance(exc, OSError) and exc.strerror and isinstance(exc.filename, (str, bytes)):
        return f"{os.fsdecode(exc.filename)}: {exc.strerror}"
    return str(exc).splitlines()[0] if str(exc) else type(exc).__name__


def write_stdout(write: Callable[[TextIO], None]) -> None:
    """Runs write(sys.stdout) and flushes it; a reader that went away early (`| head`) ends the
    output quietly instead of with a BrokenPipeError at exit."""
    out = sys.stdout
    try:
        write(out)
        out.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
