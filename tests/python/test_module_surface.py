import types

import pytest

import ontarix
from conftest import run_python

NAMES = [
    "run",
    "jaccard_similarity",
    "mrca_and_score",
    "get_intersection",
    "semantic_jaccard_similarity",
    "relationships_to_closure_table",
    "phenomizer_score",
    "max_information_content",
    "closure_from_relationships",
]
# ontarix.__all__ is exactly the eight original functions, in table order; what was added since is
# reachable as module attributes only.
ALL = NAMES[:8]
EXTENSIONS = ["ClosureIndex", "PreparedProfiles", "NullDistributions"] + NAMES[8:]

SIGNATURES = {
    "run": "(input_file, closure_file)",
    "jaccard_similarity": "(set1, set2)",
    "mrca_and_score": "(map)",
    "get_intersection": "(set1, set2)",
    "semantic_jaccard_similarity": "(closure_table, entity1, entity2, predicates=...)",
    "relationships_to_closure_table": "(list_of_tuples)",
    "phenomizer_score": "(map, entity1, entity2)",
    "max_information_content": "(closure_table, entity1, entity2, predicates=...)",
    "closure_from_relationships": "(list_of_tuples, *, follow=None, reflexive=False, label='rdfs:subClassOf')",
}

# The functions added since the first eight carry a doc text after their signature.
DOCUMENTED = {"closure_from_relationships"}




def test_all_lists_the_functions_in_table_order():
    assert ontarix.__all__ == ALL
    assert type(ontarix.__all__) is list


def test_module_doc_is_empty_str():
    assert ontarix.__doc__ == ""


def test_no_other_public_attribute():
    public = {name for name in dir(ontarix) if not name.startswith("_")}
    assert public == set(ALL + EXTENSIONS)
    assert ontarix.ClosureIndex.__module__ == "ontarix"
    assert not hasattr(ontarix, "TermSetPairwiseSimilarity")
    assert not hasattr(ontarix, "PanicException")


@pytest.mark.parametrize("name", NAMES)
def test_function_object(name):
    fn = getattr(ontarix, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__text_signature__ == SIGNATURES[name]
    if name in DOCUMENTED:
        assert fn.__doc__.startswith("The transitive closure of") and "\n--\n" not in fn.__doc__
    else:
        assert fn.__doc__ is None
    assert fn.__module__ == "ontarix"
    assert fn.__self__ is ontarix


def test_second_initialisation_fails_and_first_module_survives():
    result = run_python(
        """
        import sys
        import ontarix
        first = ontarix
        del sys.modules["ontarix"]
        try:
            import ontarix
        except ImportError as exc:
            print("ImportError:", exc)
        print(first.relationships_to_closure_table([("a", "p", "b")]))
        print("ontarix" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: Velmor modules may only be initialized once per interpreter process",
        "{'a': {'p': {'b'}}}",
        "False",
    ]
    assert result.stderr == ""


def test_import_writes_nothing():
    result = run_python("import ontarix")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
