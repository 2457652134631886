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


def report_error(prog: str, exc: BaseException) -> int:
    """Prints exc as one line on standard error and returns the exit status for it. Interrupts
    and exits pass through: they are the user's, not the input's."""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        raise exc
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    print(f"{prog}: error: {text}", file=sys.stderr)
    return 1


def write_stdout(write: Callable[[TextIO], None]) -> None:
    """Runs write(sys.stdout) and flushes it; a reader that went away early (`| head`) ends the
    output quietly instead of with a BrokenPipeError at exit."""
    out = sys.stdout
    try:
        write(out)
        out.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
