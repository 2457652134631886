import os
import subprocess
import sys
import textwrap

import pytest

import ontarix


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter (for process-wide state: import flag, first diagnostic).
    The helpers of this file are importable there as `conftest`."""
    prelude = f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


class MutatingFloat:
    """A score value whose __float__ runs arbitrary code on the dict being converted."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return self.value


def qualname_meta(result):
    """A class whose type answers __qualname__ with result(): raising, or not a str."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return result()
            return super().__getattribute__(name)

    return Meta("Hidden", (), {})


def provoke_panic() -> BaseException:
    """An internal fault available before any operation is wired: a dict changed under conversion."""
    scores: dict = {}
    scores["a"] = MutatingFloat(lambda: scores.__setitem__("zz", 1.0))
    try:
        ontarix.mrca_and_score(scores)
    except BaseException as exc:  # noqa: BLE001 - the point is that it is no Exception
        return exc
    raise AssertionError("no fault raised")


@pytest.fixture(scope="session")
def panic_type() -> type:
    return type(provoke_panic())


def random_profiles(n_terms, n_sets, seed, max_terms=6):
    """A random DAG's closure table {term: {"is_a": ancestors}} and term-set profiles, with what
    makes ranking hard: an empty profile (NaN scores), equal profiles (ties settled by name) and
    names whose UTF-8 order differs from their UTF-16 order."""
    import random

    rng = random.Random(seed)
    terms = [f"T{i:04d}" for i in range(n_terms)]
    ancestors, table = [], {}
    for i, term in enumerate(terms):
        reached = {term, "owl:Thing"}
        for parent in {rng.randrange(max(0, i - 30), i) for _ in range(rng.randint(1, 2))} if i else ():
            reached |= ancestors[parent]
        ancestors.append(reached)
        table[term] = {"is_a": reached}
    profiles = {f"p{i:04d}": set(rng.sample(terms, rng.randint(1, max_terms))) for i in range(n_sets)}
    profiles["empty"] = set()
    profiles["\uff5ewide"] = profiles["\U0001d538astral"] = profiles["dup"] = {terms[3], terms[7]}
    return table, profiles


def write_association(path, mapping):
    """Writes {key: set of values} as sorted "key,value" lines, the files run and the commands read."""
    path.write_text("".join(f"{key},{value}\n" for key, values in mapping.items()
                            for value in sorted(values)), encoding="utf-8")
    return str(path)

