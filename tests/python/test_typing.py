"""The installed package carries type information that mypy finds."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(__file__)


def mypy(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", "--python-executable",
         sys.executable, *args],
        capture_output=True,
        text=True,
        cwd=HERE,
        timeout=300,
    )


def test_typed_usage_passes():
    result = mypy(os.path.join(HERE, "typing_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "snippet, complaint",
    [
        ("ontarix.jaccard_similarity(['a'], {'b'})", 'incompatible type "list[str]"'),
        ("ontarix.relationships_to_closure_table([('a', 'b')])", "incompatible type"),
        ("x: str = ontarix.jaccard_similarity({'a'}, {'b'})", "Incompatible types in assignment"),
        ("ontarix.mrca_and_score(mapping={})", 'Unexpected keyword argument "mapping"'),
        ("ontarix.PanicException", 'has no attribute "PanicException"'),
        # a bare str is a sequence of str, but no predicate filter
        ("ontarix.closure_from_relationships([], follow='is_a')", "incompatible type"),
    ],
)
def test_misuse_is_reported(snippet, complaint):
    result = mypy("-c", "import ontarix\n" + snippet)
    assert result.returncode == 1
    assert complaint in result.stdout
