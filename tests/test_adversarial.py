"""Hostile inputs: huge fields, wide and long tables, endless quotes, broken UTF-8, deep JSON.

Each gives its correct result or its specified error, without a crash or a stack overflow. Sizes
are moderate; how the cost grows with them is shown by bench/bench.py --scaling, not here.
"""

import json
import os

import pytest

import annotrove
from score_reference import policy

HEADER = b"query_id,candidate_id,rank,score"
POLICY = policy("max_prob", 0.5)


@pytest.fixture
def write(tmp_path):
    def write(data: bytes, name: str = "table.csv") -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def probe():
    return pytest.importorskip("_annotrove_probe")


def csv_error(call) -> str:
    with pytest.raises(RuntimeError) as caught:
        call()
    message = str(caught.value)
    assert message.startswith("CSV error: "), message
    return message


# Huge single fields


@pytest.mark.parametrize("quoted", [False, True], ids=["plain", "quoted"])
def test_a_20_mb_field_is_read_whole(write, probe, quoted):
    big = b"C" * (20 << 20)
    if quoted:
        big = b"x,\n\r" * (5 << 20)  # delimiters and line breaks only make sense quoted
    cell = b'"' + big + b'"' if quoted else big
    path = write(HEADER + b",smiles,is_correct\nq,c,1,0.5," + cell + b",true\n")
    ((query_id, candidate_id, rank, score, _, smiles, *_, label),) = probe.read_candidates(path)
    assert (query_id, candidate_id, rank, score, label) == ("q", "c", 1, 0.5, True)
    assert smiles.encode() == big
    curve = annotrove.compute_curve(path, "score_gap")
    assert [p["total"] for p in curve] == [1] * len(curve)


def test_a_field_of_a_million_doubled_quotes_reads_as_a_million_quotes(write, probe):
    path = write(HEADER + b'\n"' + b'""' * 10**6 + b'",c,1,2\n')
    ((query_id, *_),) = probe.read_candidates(path)
    assert query_id == '"' * 10**6


def test_a_million_blank_lines_are_skipped(write, probe):
    path = write(HEADER + b"\n" + b"\r\n" * 10**6 + b"q,c,1,2\n" + b"\n" * 10**6)
    assert [row[:4] for row in probe.read_candidates(path)] == [("q", "c", 1, 2.0)]


# Wide and long tables


def test_100000_columns(write, probe):
    extra = [f"x{i}" for i in range(100_000 - 5)]
    header = b",".join([b"is_correct", *(e.encode() for e in extra[:50_000]), HEADER,
                        *(e.encode() for e in extra[50_000:])])

    def row(query_id: bytes, label: bytes) -> bytes:
        return b",".join([label, *(b"v" for _ in extra[:50_000]), query_id + b",c,1,3",
                          *(b"w" for _ in extra[50_000:])])

    path = write(header + b"\n" + row(b"q1", b"true") + b"\n" + row(b"q2", b"false") + b"\n")
    rows = probe.read_candidates(path)
    assert [(r[0], r[2], r[3], r[9]) for r in rows] == [("q1", 1, 3.0, True), ("q2", 1, 3.0, False)]
    curve = annotrove.compute_curve(path, "candidate_count")
    assert curve[-1]["total"] == 2


def test_a_short_row_among_100000_columns_is_an_error(write):
    header = HEADER + b"".join(b",x%d" % i for i in range(100_000))
    path = write(header + b"\nq,c,1,2" + b",v" * 99_999 + b"\n")
    csv_error(lambda: annotrove.compute_curve(path, "margin"))


def test_one_query_with_300000_candidates(write):
    n = 300_000
    top = n // 2
    lines = [HEADER + b",probability,is_correct"]
    for i in range(n):
        rank = 1 if i == top else i + 2
        lines.append(b"q,c%d,%d,%d,%r,%s" % (i, rank, i, 1.0 / (i + 2), b"true" if i == top else b"false"))
    path = write(b"\n".join(lines) + b"\n")
    (decision,) = annotrove.apply_policy(path, POLICY)
    assert decision["query_id"] == "q"
    assert decision["candidate_id"] == f"c{top}"
    curve = annotrove.compute_curve(path, "max_prob")
    assert curve[-1]["total"] == 1 and curve[-1]["errors"] == 0


def test_100000_queries_of_one_candidate_with_distinct_confidences(write):
    n = 100_000
    lines = [HEADER + b",probability,is_correct"]
    # Query ids in descending byte order, so the result order is not the file order.
    for i in range(n):
        lines.append(b"q%06d,c,1,0,%r,%s" % (n - i, (i + 1) / (n + 1), b"true" if i % 3 else b"false"))
    path = write(b"\n".join(lines) + b"\n")
    curve = annotrove.compute_curve(path, "max_prob")
    assert len(curve) == n
    assert [p["accepted"] for p in curve] == list(range(1, n + 1))
    assert all(a["threshold"] > b["threshold"] for a, b in zip(curve, curve[1:]))
    assert curve[-1]["errors"] == len(range(0, n, 3))
    decisions = annotrove.apply_policy(path, POLICY)
    assert [d["query_id"] for d in decisions] == [f"q{i:06d}" for i in range(1, n + 1)]
    assert sum(d["accepted"] for d in decisions) == sum((i + 1) / (n + 1) >= 0.5 for i in range(n))


# Quoting and end of file


# The end of the input closes a quoted field that is still open, as it does any field; what the
# field then holds is converted like any other cell.
@pytest.mark.parametrize(
    "tail, smiles",
    [(b'"', None), (b'"abc', "abc"), (b'"abc""', 'abc"'), (b'"' + b'""' * 100_000, '"' * 100_000),
     (b'"a\n\n\n', "a\n\n\n"), (b'"\r\n', "\r\n"), (b'"a,b', "a,b")],
    ids=["quote", "text", "doubled quote", "many doubled quotes", "line breaks", "crlf", "comma"],
)
def test_a_file_ending_inside_a_quoted_text_field_ends_the_field(write, probe, tail, smiles):
    path = write(HEADER + b",smiles\nq,c,1,2," + tail)
    assert probe.read_candidates(path)[0][:6] == ("q", "c", 1, 2.0, None, smiles)
    assert len(annotrove.apply_policy(path, POLICY)) == 1


@pytest.mark.parametrize("tail", [b'"abc', b'"2.5\n', b'"', b'"' + b'""' * 1000])
def test_a_file_ending_inside_a_quoted_number_that_does_not_convert_is_an_error(write, tail):
    path = write(HEADER + b"\nq,c,1," + tail)
    csv_error(lambda: annotrove.compute_curve(path, "margin"))


def test_a_file_ending_inside_a_quoted_number_reads_the_number(write, probe):
    path = write(HEADER + b'\nq,c,1,"2')
    assert probe.read_candidates(path)[0][:4] == ("q", "c", 1, 2.0)


def test_quotes_after_a_closing_quote_do_not_loop(write, probe):
    # Lenient quoting must still make progress through long runs of odd quote patterns.
    path = write(HEADER + b'\n"a"' + b'"b"' * 100_000 + b",c,1,2\n")
    ((query_id, *_),) = probe.read_candidates(path)
    assert query_id == "a" + '"b' * 100_000


# NUL bytes


def test_nul_bytes_in_text_cells_are_kept(write, probe):
    path = write(HEADER + b",smiles\nq\0,\0c,1,2,\0\0\n")
    assert probe.read_candidates(path)[0][:6] == ("q\0", "\0c", 1, 2.0, None, "\0\0")
    (decision,) = annotrove.apply_policy(path, POLICY)
    assert decision["query_id"] == "q\0"


@pytest.mark.parametrize("row", [b"q,c,1\0,2", b"q,c,1,2\0", b"q,c,\0,2", b"q,c,1,\0"])
def test_nul_bytes_in_number_cells_are_errors(write, row):
    path = write(HEADER + b"\n" + row + b"\n")
    csv_error(lambda: annotrove.compute_curve(path, "margin"))


def test_a_nul_byte_in_a_header_name_makes_it_another_name(write):
    path = write(b"query_id\0,candidate_id,rank,score\nq,c,1,2\n")
    with pytest.raises(RuntimeError, match="^Missing required column: query_id$"):
        annotrove.compute_curve(path, "margin")


# UTF-8

BAD_UTF8 = {
    "overlong NUL": b"\xc0\x80",
    "overlong slash": b"\xe0\x80\xaf",
    "overlong 4-byte": b"\xf0\x80\x80\x80",
    "high surrogate": b"\xed\xa0\x80",
    "low surrogate": b"\xed\xbf\xbf",
    "surrogate pair": b"\xed\xa0\xbd\xed\xb8\x80",
    "beyond U+10FFFF": b"\xf4\x90\x80\x80",
    "5-byte form": b"\xf8\x88\x80\x80\x80",
    "lone continuation": b"\x80",
    "truncated": b"\xe2\x82",
    "byte FF": b"\xff",
}
PLACES = {
    "header": lambda bad: HEADER + b",n" + bad + b"\nq,c,1,2,x\n",
    "query_id": lambda bad: HEADER + b",note\nq" + bad + b",c,1,2,x\n",
    "unused column": lambda bad: HEADER + b",note\nq,c,1,2,x" + bad + b"\n",
    "quoted": lambda bad: HEADER + b',note\nq,c,1,2,"x' + bad + b',"\n',
    "end of file": lambda bad: HEADER + b",note\nq,c,1,2,x" + bad,
    "second row": lambda bad: HEADER + b",note\nq,c,1,2,x\nq" + bad + b",d,2,1,x\n",
}


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("sequence", BAD_UTF8.values(), ids=BAD_UTF8.keys())
def test_invalid_utf8_anywhere_is_a_csv_error(write, place, sequence):
    path = write(PLACES[place](sequence))
    for call in (
        lambda: annotrove.compute_curve(path, "margin"),
        lambda: annotrove.calibrate(path, "margin", 0.1),
        lambda: annotrove.apply_policy(path, POLICY),
    ):
        csv_error(call)


@pytest.mark.parametrize("text", ["\u0080", "\u07ff", "\u0800", "\ufffd", "\uffff", "\U00010000",
                                  "\U0010ffff", "\ufeff", "😀"])
def test_valid_utf8_at_the_edges_is_accepted(write, text):
    path = write(HEADER + b",note\n" + text.encode() + b",c,1,2," + text.encode() + b"\n")
    (decision,) = annotrove.apply_policy(path, POLICY)
    assert decision["query_id"] == text


# Policy files


def policy_text(junk: str, where: str = "junk") -> str:
    fields = dict(POLICY, **{where: None})
    members = ",".join(f"{json.dumps(k)}:{json.dumps(v)}" for k, v in fields.items())
    return members.replace(f'"{where}":null', f'"{where}":{junk}')


@pytest.mark.parametrize(
    "opening, closing", [("[", "]"), ('{"a":', "}"), ('[{"a":', "}]")], ids=["arrays", "objects", "mixed"]
)
def test_50_mb_of_nesting_under_an_unknown_key_loads_or_errs_without_overflow(write, opening, closing):
    depth = (50 << 20) // (len(opening) + len(closing))
    innermost = "0" if opening.endswith(":") else ""
    junk = opening * depth + innermost + closing * depth
    path = write(("{" + policy_text(junk) + "}").encode(), "policy.json")
    try:
        loaded = annotrove.load_policy(path)
    except RuntimeError as error:
        assert str(error).startswith("JSON error: ")
    else:
        assert loaded == POLICY


@pytest.mark.parametrize("junk", ["[" * (10 << 20), "[" * (5 << 20) + "]" * ((5 << 20) - 1), '{"a":' * (2 << 20)])
def test_unbalanced_deep_nesting_is_a_json_error(write, junk):
    path = write(("{" + policy_text(junk) + "}").encode(), "policy.json")
    with pytest.raises(RuntimeError, match="^JSON error: "):
        annotrove.load_policy(path)


def test_deep_nesting_in_a_known_field_is_a_json_error(write):
    path = write(("{" + policy_text("[" * (1 << 20) + "]" * (1 << 20), "threshold") + "}").encode(),
                 "policy.json")
    with pytest.raises(RuntimeError, match="^JSON error: "):
        annotrove.load_policy(path)


def test_a_policy_file_of_one_huge_string_loads(write):
    path = write(("{" + policy_text(json.dumps("\\\"é" * (1 << 20))) + "}").encode(), "policy.json")
    assert annotrove.load_policy(path) == POLICY


# Paths


def test_a_nul_byte_in_a_table_path_is_an_error_not_a_shorter_path(write):
    path = write(HEADER + b",is_correct\nq,c,1,2,true\n")
    for call in (
        lambda p: annotrove.compute_curve(p, "margin"),
        lambda p: annotrove.calibrate(p, "margin", 0.1),
        lambda p: annotrove.apply_policy(p, POLICY),
    ):
        for bad in (path + "\0", path + "\0ignored", "\0" + path):
            csv_error(lambda: call(bad))
        # The extension test reads the text as given, before anything is opened; the Parquet
        # reader (with pyarrow) refuses the path as a file it cannot read.
        with pytest.raises(RuntimeError, match="^(Parquet input detected|Arrow error: cannot read the Parquet file)"):
            call(path + "\0.parquet")


def test_a_nul_byte_in_a_policy_path_is_an_error_not_a_shorter_path(tmp_path):
    existing = str(tmp_path / "policy.json")
    annotrove.save_policy(existing, POLICY)
    with pytest.raises(RuntimeError, match="^IO error: "):
        annotrove.load_policy(existing + "\0ignored")
    target = tmp_path / "new"
    with pytest.raises(RuntimeError, match="^IO error: "):
        annotrove.save_policy(str(target) + "\0.json", POLICY)
    assert not target.exists()
    assert sorted(os.listdir(tmp_path)) == ["policy.json"]


@pytest.mark.parametrize("length", [255 + 1, 5000, 100_000])
def test_overlong_paths_are_errors(tmp_path, length):
    name = str(tmp_path / ("a" * length))
    csv_error(lambda: annotrove.compute_curve(name + ".csv", "margin"))
    with pytest.raises(RuntimeError, match="^IO error: "):
        annotrove.load_policy(name)
    with pytest.raises(RuntimeError, match="^IO error: "):
        annotrove.save_policy(name, POLICY)
