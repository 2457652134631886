"""The ontarix-rank command, run as a subprocess on small generated files: every ontology and
annotation format, the output format, warnings and one-line errors, and the p-value columns."""

import gzip
import json
import random
import subprocess
import sys

import pytest

import ontarix
from ontarix_tools import benjamini_hochberg, read_obo_index
from test_cli import Terminal
from test_readers import gaf_row


HPOA_HEADER = ("#description: generated\n#version: 2025-01-16\n"
               "database_id\tdisease_name\tqualifier\thpo_id\treference\tevidence\tonset\t"
               "frequency\tsex\tmodifier\taspect\tbiocuration\n")


def hpoa_row(disease, name, term, qualifier="", aspect="P"):
    return f"{disease}\t{name}\t{qualifier}\t{term}\tPMID:1\tPCS\t\t\t\t\t{aspect}\tHPO:x\n"


def rank(*args):
    return subprocess.run([sys.executable, "-m", "ontarix_tools.rank", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """One random ontology as an .obo and as a closure file, and one set of disease profiles as an
    .hpoa (with a NOT row and an inheritance row, both to be left out), a .gaf.gz and a CSV."""
    d = tmp_path_factory.mktemp("rank")
    rng = random.Random(11)
    terms = [f"HP:{i:07d}" for i in range(1, 41)]
    rows = [(t, "is_a", terms[p]) for i, t in enumerate(terms[1:], 1)
            for p in {rng.randrange(max(0, i - 8), i) for _ in range(rng.randint(1, 2))}]
    obo = "format-version: 1.2\n\n" + "".join(
        f"[Term]\nid: {t}\nname: term {t}\n" + "".join(f"is_a: {p}\n" for c, _, p in rows if c == t)
        + "\n" for t in terms)
    (d / "hp.obo").write_text(obo)
    closure = ontarix.closure_from_relationships(rows, follow={"is_a"}, reflexive=True)
    (d / "closure.csv").write_text("".join(f"{t},{a}\n" for t in sorted(closure)
                                           for a in sorted(closure[t]["rdfs:subClassOf"])))
    profiles = {f"OMIM:{100 + i}": set(rng.sample(terms[1:], rng.randint(1, 5))) for i in range(14)}
    profiles["ORPHA:7"] = set(profiles["OMIM:103"])  # equal scores: ties settled by id
    profiles["DECIPHER:2"] = set(profiles["OMIM:103"])
    names = {obj: f"disease {obj}, type {i}" for i, obj in enumerate(profiles)}
    hpoa = HPOA_HEADER + "".join(hpoa_row(obj, names[obj], t) for obj, ts in profiles.items()
                                 for t in sorted(ts))
    hpoa += hpoa_row("OMIM:100", names["OMIM:100"], terms[39], qualifier="NOT")
    hpoa += hpoa_row("OMIM:101", names["OMIM:101"], terms[38], aspect="I")
    (d / "phenotype.hpoa").write_text(hpoa)
    with gzip.open(d / "genes.gaf.gz", "wt") as f:
        f.write("!gaf-version: 2.2\n" + "".join(
            gaf_row(*obj.split(":"), f"SYM{obj}", "", t, "IEA", "P", "") for obj, ts in profiles.items()
            for t in sorted(ts)))
    (d / "profiles.csv").write_text("".join(f"{obj},{t}\n" for obj, ts in profiles.items()
                                            for t in sorted(ts)))
    return d, profiles, names, terms


def expected_rows(index, query, profiles, names, measure, combine, ic):
    """(id, name, score) of every profile, best first, ties by id, each scored by the per-call
    method: another path through the index than the command's one matrix row."""
    if ic == "annotations":
        index = index.with_information_content(index.annotation_information_content(profiles))
    scored = [(obj, names.get(obj, ""), index.similarity(query, ts, measure=measure, combine=combine))
              for obj, ts in profiles.items()]
    return sorted(scored, key=lambda r: (-r[2], r[0]))


@pytest.mark.parametrize(
    "ontology, candidates, options, measure, combine, ic",
    [
        ("hp.obo", "phenotype.hpoa", [], "resnik", None, "annotations"),
        ("closure.csv", "genes.gaf.gz", ["--measure", "lin", "--combine", "bma"], "lin", "bma",
         "annotations"),
        ("closure.csv", "profiles.csv", ["--measure", "phenomizer", "--json"], "phenomizer", None,
         "closure"),
        ("hp.obo", "profiles.csv", ["--measure", "graph_ic", "--ic", "annotations", "--top", "4"],
         "graph_ic", None, "annotations"),
        ("hp.obo", "phenotype.hpoa", ["--measure", "simgic", "--ic", "closure", "--json"], "simgic",
         None, "closure"),
    ],
)
def test_ranks_every_candidate_as_the_index_scores_it(files, ontology, candidates, options, measure,
                                                      combine, ic):
    d, profiles, names, terms = files
    query = {terms[5], terms[17], terms[30]}
    out = rank(",".join(sorted(query)), d / ontology, d / candidates, "--pvalues", "none", *options)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    index = (read_obo_index(d / ontology) if ontology.endswith(".obo")
             else ontarix.ClosureIndex.from_file(str(d / ontology)))
    shown = (names if candidates.endswith(".hpoa") else
             {obj: f"SYM{obj}" for obj in profiles} if ".gaf" in candidates else {})
    expected = expected_rows(index, query, profiles, shown, measure, combine, ic)
    if "--top" in options:
        expected = expected[:4]
    if "--json" in options:
        assert json.loads(out.stdout) == [
            {"rank": r, "id": obj, "name": name, "score": score, "p_value": None, "q_value": None}
            for r, (obj, name, score) in enumerate(expected, 1)]
    else:
        assert out.stdout.splitlines() == ["rank\tid\tname\tscore\tp_value\tq_value"] + [
            f"{r}\t{obj}\t{name}\t{score!r}\t\t" for r, (obj, name, score) in enumerate(expected, 1)]


def test_query_file_and_unknown_terms_warned_in_one_line(files, tmp_path):
    d, _, _, terms = files
    (tmp_path / "q.txt").write_text(f"{terms[5]}\n\n  {terms[17]}  \nHP:9999999\n{terms[5]}\nHP:8888888\n")
    from_file = rank(f"@{tmp_path / 'q.txt'}", d / "hp.obo", d / "phenotype.hpoa", "--pvalues", "none")
    listed = rank(f"{terms[17]},{terms[5]}", d / "hp.obo", d / "phenotype.hpoa", "--pvalues", "none")
    assert from_file.returncode == listed.returncode == 0 and listed.stderr == ""
    assert from_file.stdout == listed.stdout
    assert from_file.stderr == (f"ontarix-rank: warning: {d / 'hp.obo'} lacks 2 of the query's terms, "
                                "left out: HP:9999999, HP:8888888\n")


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["HP:9999999", "{d}/hp.obo", "{d}/phenotype.hpoa"], 1,
         "ontarix-rank: error: none of the query's terms is in {d}/hp.obo: HP:9999999"),
        ([" , ", "{d}/hp.obo", "{d}/phenotype.hpoa"], 1, "ontarix-rank: error: QUERY names no term"),
        (["@{d}/missing.txt", "{d}/hp.obo", "{d}/phenotype.hpoa"], 1,
         "ontarix-rank: error: {d}/missing.txt: No such file or directory"),
        (["HP:0000002", "{d}/hp.obo", "{d}/missing.hpoa"], 1,
         "ontarix-rank: error: {d}/missing.hpoa: No such file or directory"),
        (["HP:0000002", "{d}/hp.obo", "{d}/bad.hpoa"], 1,
         "ontarix-rank: error: {d}/bad.hpoa, line 5, column 4: empty hpo_id"),
        (["HP:0000002", "{d}/hp.obo", "{d}/phenotype.hpoa", "--ic", "{d}/bad_ic.csv"], 1,
         "ontarix-rank: error: IC file {d}/bad_ic.csv, line 1: 'high' is not a finite number"),
        (["HP:0000002", "{d}/closure.csv", "{d}/profiles.csv", "--measure", "wang", "--pvalues",
          "none"], 1, "ontarix-rank: error: ClosureIndex.similarity_matrix() measure 'wang' needs"),
        (["HP:0000002", "{d}/hp.obo", "{d}/phenotype.hpoa", "--measure", "simgic", "--combine",
          "bma"], 2, "ontarix-rank: error: --combine applies to the term measures only, not to "
                     "simgic (a profile measure)"),
        (["HP:0000002", "{d}/hp.obo", "{d}/phenotype.hpoa", "--measure", "jaccard", "--pvalues",
          "exact"], 2, "ontarix-rank: error: --pvalues exact needs a measure with term scores (the "
                       "p-value is that of their directed score); jaccard has none: use --pvalues none"),
        (["HP:0000002", "{d}/hp.obo", "{d}/phenotype.hpoa", "--measure", "wang", "--ic", "closure"],
         2, "ontarix-rank: error: --ic applies to the measures that read the information content, "
            "not to wang"),
        (["HP:0000002", "{d}/hp.obo", "{d}/phenotype.hpoa", "--top", "0"], 2,
         "ontarix-rank: error: argument --top: must be at least 1, not 0"),
    ],
)
def test_errors_are_one_line(files, args, status, message):
    d = files[0]
    (d / "bad.hpoa").write_text(HPOA_HEADER + hpoa_row("OMIM:1", "x", "HP:0000002")
                                + hpoa_row("OMIM:1", "x", ""))
    (d / "bad_ic.csv").write_text("HP:0000002,high\n")
    out = rank(*(a.format(d=d) for a in args))
    assert out.returncode == status and out.stdout == ""
    lines = out.stderr.splitlines()
    assert lines[-1].startswith(message.format(d=d))
    assert status == 2 or len(lines) == 1


def test_progress_bar_on_a_terminal_is_cleared_and_leaves_the_output_alone(files, monkeypatch, capsys):
    from ontarix_tools import rank as command

    d, _, _, terms = files
    args = [terms[5], str(d / "hp.obo"), str(d / "phenotype.hpoa"), "--pvalues", "none"]
    assert command.main(args) == 0
    plain = capsys.readouterr()
    terminal = Terminal()
    monkeypatch.setattr(command, "LONG_WORK_BYTES", 0)
    monkeypatch.setattr(sys, "stderr", terminal)
    assert command.main(args) == 0
    assert capsys.readouterr().out == plain.out and plain.err == ""
    drawn = terminal.getvalue()
    assert "ontarix-rank: scoring 16 candidates" in drawn and drawn.endswith("\r")  # cleared


@pytest.mark.parametrize("method, options, measure",
                         [("exact", [], "resnik"), ("exact", ["--measure", "phenomizer"], "resnik"),
                          ("sampling", ["--measure", "lin", "--combine", "bma", "--json"], "lin")])
def test_pvalues_are_those_of_the_directed_score(files, method, options, measure):
    d, profiles, names, terms = files
    query = {terms[5], terms[17], terms[30]}
    out = rank(",".join(sorted(query)), d / "hp.obo", d / "phenotype.hpoa", "--pvalues", method,
               *options)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    index = read_obo_index(d / "hp.obo")
    index = index.with_information_content(index.annotation_information_content(profiles))
    p = index.pvalues(query, profiles, measure=measure, method=method)
    q = benjamini_hochberg(p)
    at = {obj: i for i, obj in enumerate(profiles)}
    if "--json" in options:
        rows = [(r["id"], r["score"], r["p_value"], r["q_value"]) for r in json.loads(out.stdout)]
    else:
        rows = [(f[1], float(f[3]), float(f[4]), float(f[5]))
                for f in (line.split("\t") for line in out.stdout.splitlines()[1:])]
    assert [(obj, pv, qv) for obj, _, pv, qv in rows] == [(obj, p[at[obj]], q[at[obj]])
                                                          for obj, *_ in rows]
    # Best score first, ties by p-value, then by id.
    assert [obj for obj, *_ in rows] == sorted(at, key=lambda o: (-rows_score(rows, o), p[at[o]], o))
    assert all(0.0 < pv <= 1.0 for _, _, pv, _ in rows)


def rows_score(rows, obj):
    return next(score for o, score, *_ in rows if o == obj)


def test_kept_distributions_give_the_same_ranking(files):
    from ontarix_tools.rank import rank_candidates

    d, profiles, names, terms = files
    index = read_obo_index(d / "hp.obo")
    prepared = index.prepare(profiles)
    kept = {}
    for query in ({terms[5], terms[17]}, {terms[2], terms[33]}, {terms[9], terms[20], terms[30]}):
        fresh = rank_candidates(index, query, profiles, names=names)
        assert rank_candidates(index, query, profiles, names=names, prepared=prepared,
                               null_distributions=kept) == fresh
    assert sorted(kept) == [2, 3]
