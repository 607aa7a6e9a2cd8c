"""The `convert` readers of annotation tool outputs, the re-ranking and the truth join."""

import argparse
import contextlib
import csv
import io
import math
import pathlib
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import annotrove

try:
    import annotrove_convert as conv
except ImportError:  # a source checkout: the command's modules live in cli/
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "cli"))
    import annotrove_convert as conv

DATA = pathlib.Path(__file__).resolve().parent / "data" / "convert"

# (format, inputs, folder with truth.csv and expected.csv, version recognised)
FIXTURES = [
    ("sirius", ["project"], "sirius/4.x", "SIRIUS 4.x structure_candidates.tsv (without dbflags)"),
    ("sirius", ["project"], "sirius/5.0", "SIRIUS up to 5.0 structure_candidates.tsv"),
    ("sirius", ["project"], "sirius/5.5", "SIRIUS 5.5-5.8.0 structure_candidates.tsv"),
    ("sirius", ["project/5_zeta"], "sirius/5.8.1", "SIRIUS 5.8.1+ structure_candidates.tsv"),
    ("sirius", ["compound_identifications_all.tsv"], "sirius/5.x-summary",
     "SIRIUS 5.x compound_identifications_all.tsv (before 5.8.1)"),
    ("sirius", ["compound_identifications_all.tsv"], "sirius/5.8.1-summary",
     "SIRIUS 5.8.1+ compound_identifications_all.tsv"),
    ("sirius", ["structure_identifications_all.tsv"], "sirius/6.0",
     "SIRIUS 6.0 structure_identifications.tsv"),
    ("sirius", ["structure_identifications_all.tsv"], "sirius/6.1",
     "SIRIUS 6.1-6.2 structure_identifications.tsv"),
    ("sirius", ["structure_identifications_top-5.tsv"], "sirius/6.3",
     "SIRIUS 6.3+ structure_identifications.tsv"),
    ("ms2query", ["results_run1.csv"], "ms2query/plain", "MS2Query results CSV"),
    ("ms2query", ["results_features.csv"], "ms2query/features", "MS2Query results CSV"),
    ("metfrag", ["sample_01.csv", "sample_02.csv"], "metfrag/csv", "MetFrag CSV"),
    ("metfrag", ["metfrag_result.tabular"], "metfrag/galaxy",
     "MetFrag Galaxy tabular (with sample_name)"),
    ("msfinder", ["Structure result-2091.txt"], "msfinder", "MS-FINDER structure batch export"),
    ("gnps", ["merged_results_with_gnps.tsv"], "gnps",
     "GNPS library search merged_results_with_gnps.tsv"),
]
fixtures = pytest.mark.parametrize("format, inputs, folder, version", FIXTURES,
                                   ids=[f[2] for f in FIXTURES])


def paths(folder, inputs):
    return [str(DATA / folder / name) for name in inputs]


def expected(folder):
    with open(DATA / folder / "expected.csv", newline="") as stream:
        return [tuple(r) for r in list(csv.reader(stream))[1:]]


def projected(rows):
    def cell(value):
        if isinstance(value, bool):
            return str(value).lower()
        return "" if value is None else str(value)
    return [(r.query_id, r.candidate_id, str(r.rank), cell(r.probability), cell(r.is_correct))
            for r in rows]


@fixtures
def test_reader_recognises_the_version(format, inputs, folder, version):
    tables = conv.read_tool(format, paths(folder, inputs))
    assert tables and {t.version for t in tables} == {version}


@fixtures
def test_fixture_gives_the_intended_ranks_probabilities_and_labels(format, inputs, folder,
                                                                   version):
    result = conv.convert(format, paths(folder, inputs), truth=str(DATA / folder / "truth.csv"))
    assert projected(result.rows) == expected(folder)


@fixtures
def test_written_table_reads_through_annotrove(tmp_path, format, inputs, folder, version):
    rows = conv.convert(format, paths(folder, inputs), truth=str(DATA / folder / "truth.csv")).rows
    table = str(tmp_path / "candidates.csv")
    with open(table, "w", newline="", encoding="utf-8") as stream:
        conv.write_table(rows, stream)
    tops = [r for r in expected(folder) if r[2] == "1"]
    labelled = [r for r in tops if r[4]]
    last = annotrove.compute_curve(table, "candidate-count")[-1]
    assert (last["total"], last["accepted"], last["errors"]) == (
        len(labelled), len(labelled), sum(r[4] == "false" for r in labelled))
    # The tool's own confidence, written on the top candidate, is what max-prob ranks by.
    thresholds = {p["threshold"] for p in annotrove.compute_curve(table, "max-prob")}
    assert thresholds == {float(r[3]) for r in labelled if r[3]}
    policy = annotrove.calibrate(table, "candidate-count", 1.0)
    decisions = annotrove.apply_policy(table, policy)
    assert sorted((d["query_id"], d["candidate_id"]) for d in decisions) == sorted(
        (r[0], r[1]) for r in tops)


def test_sirius_6_approximate_confidence_and_its_misuse():
    summary = str(DATA / "sirius/6.0/structure_identifications_all.tsv")
    rows = conv.convert("sirius", [summary], confidence="approximate").rows
    assert [r.probability for r in rows if r.rank == 1] == [0.8, 0.3]
    with pytest.raises(ValueError, match="has no approximate confidence"):
        conv.convert("sirius", [str(DATA / "sirius/5.5/project")], confidence="approximate")
    with pytest.raises(ValueError, match="applies to SIRIUS only"):
        conv.convert("gnps", paths("gnps", ["merged_results_with_gnps.tsv"]), confidence="exact")


# ---------------------------------------------------------------------------------------------
# Ranking


entries_strategy = st.lists(
    st.tuples(st.sampled_from("abc"), st.sampled_from([-1.5, 0.0, 2.0, 3.25, math.inf])),
    max_size=30)


@given(entries_strategy)
def test_ranks_follow_the_score_descending_with_ties_in_file_order(pairs):
    entries = [conv.Entry(q, f"c{i}", s, f"line {i}") for i, (q, s) in enumerate(pairs)]
    rows = conv.rank(entries)
    assert [r.query_id for r in rows] == sorted((e.query_id for e in entries),
                                                key=list(dict.fromkeys(p[0] for p in pairs)).index)
    for query in {q for q, _ in pairs}:
        mine = [r for r in rows if r.query_id == query]
        assert [r.rank for r in mine] == list(range(1, len(mine) + 1))
        position = {e.candidate_id: i for i, e in enumerate(entries)}
        keys = [(-r.score, position[r.candidate_id]) for r in mine]
        assert keys == sorted(keys)


def test_candidates_without_a_score_are_left_out_with_a_warning(tmp_path):
    (tmp_path / "s1.csv").write_text("Identifier,Score\na,0.5\nb,NaN\nc,\nd,0.9\n")
    (tmp_path / "s2.csv").write_text("Identifier,Score\ne,N/A\n")
    result = conv.convert("metfrag", [str(tmp_path / "s1.csv"), str(tmp_path / "s2.csv")])
    assert [(r.query_id, r.candidate_id, r.rank) for r in result.rows] == [
        ("s1", "d", 1), ("s1", "a", 2)]
    assert len(result.warnings) == 1
    assert "left out 3 candidate(s) without a score" in result.warnings[0]
    assert "1 query id(s) had no other candidate and are gone: s2" in result.warnings[0]


# ---------------------------------------------------------------------------------------------
# The truth join

KEY = "ABCDEFGHIJKLMN-UHFFFAOYSA-N"
STEREO = "ABCDEFGHIJKLMN-QWERTYUISA-N"
OTHER = "ZYXWVUTSRQPONM-UHFFFAOYSA-N"


def candidates(*keys_and_smiles):
    return [conv.Row("q", f"c{i}", i + 1, 1.0 - i, smiles=s, inchikey=k)
            for i, (k, s) in enumerate(keys_and_smiles)]


@pytest.mark.parametrize("match, truth, labels", [
    ("inchikey-first-block", conv.Truth(STEREO, None), [True, True, False, False]),
    ("inchikey-first-block", conv.Truth("abcdefghijklmn", None), [True, True, False, False]),
    ("inchikey", conv.Truth(STEREO, None), [False, True, False, False]),
    ("smiles", conv.Truth(None, "CCO"), [True, False, False, False]),
])
def test_each_match_mode(match, truth, labels):
    rows = candidates((KEY, "CCO"), (STEREO, "OCC"), (OTHER, "C"), (None, None))
    labelled, warnings = conv.label(rows, {"q": truth, "absent": truth}, match)
    assert [r.is_correct for r in labelled] == labels
    assert {r.target_inchikey for r in labelled} == {truth.inchikey}
    assert any("without an" in w for w in warnings)
    assert any("1 queries of the truth table have no candidates" in w for w in warnings)


def test_queries_missing_from_the_truth_table_or_without_a_key_stay_unlabelled(tmp_path):
    (tmp_path / "truth.csv").write_text(f"query_id,inchikey\nq,\nq2,{KEY}\n")
    truth = conv.read_truth(str(tmp_path / "truth.csv"), "inchikey")
    rows = candidates((KEY, None)) + [conv.Row(q, "x", 1, 1.0, inchikey=KEY) for q in ("q2", "q3")]
    labelled, warnings = conv.label(rows, truth, "inchikey")
    assert [r.is_correct for r in labelled] == [None, True, None]
    assert warnings == ["2 of 3 queries have no true structure in the truth table and stay "
                        "unlabelled"]


def test_whole_inchikey_match_refuses_first_blocks():
    rows = [conv.Row("q", "ABCDEFGHIJKLMN", 1, 1.0, inchikey="ABCDEFGHIJKLMN")]
    with pytest.raises(ValueError, match="not a whole InChIKey.*inchikey-first-block"):
        conv.label(rows, {"q": conv.Truth(KEY, None)}, "inchikey")


@pytest.mark.parametrize("content, match, message", [
    (f"query_id,inchikey\nq1,{KEY}\nq2,{KEY}\nq1,{OTHER}\n", "inchikey",
     r"truth.csv, line 4: query 'q1' is already in the truth table \(line 2\)"),
    ("query_id,inchikey\nq1,CCO\n", "smiles", "needs the columns query_id and smiles"),
    ("query_id,inchikey\nq1,ABCDEFGHIJKLMN\n", "inchikey", "'ABCDEFGHIJKLMN' is not a whole"),
    ("query_id,inchikey\nq1,caffeine\n", "inchikey-first-block", "14-letter first block"),
])
def test_bad_truth_tables(tmp_path, content, match, message):
    (tmp_path / "truth.csv").write_text(content)
    with pytest.raises(ValueError, match=message):
        conv.read_truth(str(tmp_path / "truth.csv"), match)


# ---------------------------------------------------------------------------------------------
# Errors, through the subcommand


@pytest.fixture
def command():
    """The subcommand on a parser of its own; records whether an output was opened."""
    opened = {}

    @contextlib.contextmanager
    def open_output(path):
        stream = io.StringIO()
        yield stream
        opened[path] = stream.getvalue()

    parser = argparse.ArgumentParser(prog="annotrove")
    conv.register_convert(parser.add_subparsers(), open_output)

    def run(*argv):
        args = parser.parse_args(["convert", *argv])
        args.run(args)
        return opened
    run.opened = opened
    return run


def test_the_subcommand_writes_the_table(command):
    source = str(DATA / "msfinder/Structure result-2091.txt")
    written = command("msfinder", source, "-o", "out.csv", "--match", "inchikey")
    table = list(csv.DictReader(io.StringIO(written["out.csv"])))
    assert list(table[0]) == ["query_id", "candidate_id", "rank", "score", "smiles", "inchikey",
                              "formula"]
    assert [(r["query_id"], r["rank"], r["score"]) for r in table][:2] == [
        ("sample_A", "1", "4.21"), ("sample_A", "2", "3.87")]


@pytest.mark.parametrize("format, name, content, message", [
    ("sirius", "structure_candidates.tsv",
     "rank\tformulaRank\tConfidenceScore\tCSI:FingerIDScore\tmolecularFormula\tadduct\t"
     "InChIkey2D\tInChI\tname\tsmiles\txlogp\tpubchemids\tlinks\tdbflags\tnewColumn\n",
     "the closest, SIRIUS 5.5-5.8.0 structure_candidates.tsv, expects exactly the columns rank, "
     "formulaRank, ConfidenceScore, CSI:FingerIDScore, molecularFormula, adduct, InChIkey2D, "
     "InChI, name, smiles, xlogp, pubchemids, links, dbflags (unexpected: newColumn)"),
    ("msfinder", "result.txt",
     "File name\tFile path\tTitle\tMS1 count\tMSMS count\tPrecursor mz\tPrecursor type\t"
     "Structure rank\tTotal score\tDatabases\tFormula\tOntology\tInChIKey\tSMILES\n",
     "(the same columns in another order)"),
    ("metfrag", "s.csv", "Identifier,FinalScore\nx,1\n",
     "the closest, MetFrag CSV, expects the columns Score, Identifier (missing: Score)"),
    ("ms2query", "r.csv", "query_spectrum_nr,ms2query_model_prediction\n",
     "the closest, MS2Query results CSV, expects first the columns query_spectrum_nr"),
    ("gnps", "m.tsv", "", "the file is empty"),
])
def test_unknown_header_names_the_file_and_the_closest_version(tmp_path, command, format, name,
                                                               content, message):
    source = tmp_path / name
    source.write_text(content)
    with pytest.raises(ValueError) as raised:
        command(format, str(source), "-o", "out.csv")
    assert str(raised.value).startswith(f"{source}: ")
    assert message in str(raised.value)
    assert command.opened == {}


@pytest.mark.parametrize("format, files, message", [
    ("metfrag", {"a.csv": "Identifier,Score\nx,0,95\n"}, "a.csv, line 2: 3 fields, but the header"),
    ("metfrag", {"a.csv": "Identifier,Score\nx,\"0,95\"\n"},
     "a.csv, line 2: Score '0,95' is not a number"),
    ("metfrag", {"a.csv": "Identifier,Score\nx,1\n", "sub/a.csv": "Identifier,Score\ny,1\n"},
     "query 'a' is in both"),
    ("gnps", {"m.tsv": b"#Scan#\tSpectrumFile\tMQScore\tSpectrumID\n1\tf\t0.5\t\xff\n"},
     "not UTF-8 text"),
    ("sirius", {"empty/.keep": ""}, "a folder without any structure_candidates.tsv"),
    ("sirius", {"p/0_a/structure_candidates.tsv": "", "p/0_a": None}, "is given twice"),
    ("gnps", {}, "cannot read"),
])
def test_bad_inputs_write_no_output(tmp_path, command, format, files, message):
    for name, content in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        if content is not None:
            data = content if isinstance(content, bytes) else content.encode()
            (tmp_path / name).write_bytes(data)
    inputs = [str(tmp_path / n) for n in files if not n.startswith("empty/")] or (
        [str(tmp_path / "empty")] if files else [])
    with pytest.raises(ValueError, match=message):
        command(format, *(inputs or [str(tmp_path / "missing.tsv")]), "-o", "out.csv")
    assert command.opened == {}


def test_help_shows_a_worked_example(command, capsys):
    with pytest.raises(SystemExit):
        command("--help")
    assert "annotrove convert sirius project/ -o candidates.csv" in capsys.readouterr().out


# ---------------------------------------------------------------------------------------------
# The written table

cell_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)


@given(st.lists(st.builds(
    conv.Row, query_id=cell_text, candidate_id=cell_text, rank=st.integers(1, 10**6),
    score=st.floats(allow_nan=False), probability=st.none() | st.floats(allow_nan=False),
    smiles=st.none() | cell_text, is_correct=st.none() | st.booleans()), max_size=6))
def test_written_table_reads_back_exactly_with_pythons_csv(rows):
    stream = io.StringIO(newline="")
    conv.write_table(rows, stream)
    back = list(csv.DictReader(io.StringIO(stream.getvalue(), newline="")))
    assert [(r["query_id"], r["candidate_id"], int(r["rank"]), float(r["score"])) for r in back] \
        == [(r.query_id, r.candidate_id, r.rank, r.score) for r in rows]
    if any(r.probability is not None for r in rows):
        assert [float(b["probability"]) if b["probability"] else None for b in back] == [
            r.probability for r in rows]
    if any(r.is_correct is not None for r in rows):
        assert [b["is_correct"] for b in back] == [
            "" if r.is_correct is None else "true" if r.is_correct else "false" for r in rows]


@settings(max_examples=40)
@given(st.lists(st.builds(
    conv.Row, query_id=cell_text, candidate_id=cell_text, rank=st.integers(1, 3),
    score=st.floats(allow_nan=False), formula=st.none() | cell_text), min_size=1, max_size=6))
def test_annotrove_reads_the_written_table_as_written(tmp_path_factory, rows):
    table = tmp_path_factory.mktemp("t") / "t.csv"
    with open(table, "w", newline="", encoding="utf-8") as stream:
        conv.write_table(rows, stream)
    policy = annotrove.calibrate(str(table), "candidate-count", 1.0)
    tops = {}
    for row in rows:
        if row.query_id not in tops or row.rank < tops[row.query_id].rank:
            tops[row.query_id] = row
    decisions = annotrove.apply_policy(str(table), policy)
    assert {(d["query_id"], d["candidate_id"]) for d in decisions} == {
        (q, r.candidate_id) for q, r in tops.items()}
