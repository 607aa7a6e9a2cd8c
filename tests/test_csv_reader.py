"""Candidate-table reader, through the test-only probe module.

Tables are built from random cells and written with Python's csv module, which is the reference
for the dialect; Python's float() and bytes.decode() are the references for numbers and UTF-8.
"""

import csv
import io
import math
import os
import pathlib
import struct
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

probe = pytest.importorskip("_annotrove_probe")

REQUIRED = ["query_id", "candidate_id", "rank", "score"]
OPTIONAL = ["probability", "smiles", "inchikey", "formula", "target_inchikey", "is_correct"]
HEADER = ",".join(REQUIRED)
U64_MAX = 2**64 - 1
# Block sizes around the scanner's 64-byte window, plus the default.
BLOCK_SIZES = [1, 3, 63, 64, 65, 0]


def read(data: bytes, **options):
    return probe.read_candidates_bytes(data, **options)


def read_error(data: bytes, **options) -> str:
    with pytest.raises(RuntimeError) as caught:
        read(data, **options)
    return str(caught.value)


def one_row(columns: dict[str, str]) -> tuple:
    """The record read from a table with the given columns and one data row."""
    out = io.StringIO()
    csv.writer(out, lineterminator="\r\n").writerows([columns.keys(), columns.values()])
    (record,) = read(out.getvalue().encode())
    return record


def row_with(**cells: str) -> tuple:
    return one_row({"query_id": "q", "candidate_id": "c", "rank": "1", "score": "0"} | cells)


def bits(value: float) -> bytes:
    return struct.pack("<d", value)


text_cells = st.text(
    alphabet=st.characters(blacklist_categories=("Cs",), max_codepoint=0x1F700)
    | st.sampled_from(',"\r\n '),
    max_size=90,
)
finite_floats = st.floats(allow_nan=False)


@st.composite
def tables(draw):
    """A random table as (csv bytes, expected records); columns shuffled, extra columns added."""
    extra = draw(st.lists(st.sampled_from(["group", "note", "x"]), max_size=2, unique=True))
    optional = draw(st.lists(st.sampled_from(OPTIONAL), unique=True))
    columns = draw(st.permutations(REQUIRED + optional + extra))
    records, rows = [], []
    for _ in range(draw(st.integers(0, 6))):
        value = {
            "query_id": draw(text_cells),
            "candidate_id": draw(text_cells),
            "rank": draw(st.integers(0, U64_MAX)),
            "score": draw(finite_floats),
            "probability": draw(st.none() | finite_floats),
            "is_correct": draw(st.none() | st.booleans()),
        }
        for name in ["smiles", "inchikey", "formula", "target_inchikey", "group", "note", "x"]:
            value[name] = draw(st.none() | text_cells.filter(bool))
        cell = {k: "" if v is None else v for k, v in value.items()}
        cell.update(rank=str(value["rank"]), score=repr(value["score"]))
        if value["probability"] is not None:
            cell["probability"] = repr(value["probability"])
        if value["is_correct"] is not None:
            cell["is_correct"] = "true" if value["is_correct"] else "false"
        rows.append([cell[name] for name in columns])
        records.append(tuple(value[name] if name in columns else None for name in REQUIRED + OPTIONAL))
    terminator = draw(st.sampled_from(["\n", "\r", "\r\n"]))
    # The writer quotes only fields holding its own terminator's characters: quote all otherwise.
    quoting = csv.QUOTE_MINIMAL if terminator == "\r\n" else csv.QUOTE_ALL
    out = io.StringIO()
    writer = csv.writer(out, lineterminator=terminator, quoting=quoting)
    writer.writerow(columns)
    writer.writerows(rows)
    bom = draw(st.sampled_from(["", "\ufeff"]))
    return (bom + out.getvalue()).encode(), records


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(tables())
def test_reads_back_what_the_csv_writer_wrote(table):
    data, expected = table
    assert read(data) == expected


@settings(max_examples=150, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.sampled_from(BLOCK_SIZES))
def test_kernels_and_block_sizes_agree_with_the_scalar_path(table, block_size):
    data, _ = table
    reference = repr(read(data, isa="scalar", block_size=4096))
    for isa in probe.ISAS:
        assert repr(read(data, isa=isa, block_size=block_size)) == reference


def outcome(data: bytes, **options):
    """The records, or the error message: both must agree between kernels and block sizes."""
    try:
        return repr(read(data, **options))
    except RuntimeError as error:
        return str(error)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.text(alphabet=',"\r\n1a\u00e9 ', max_size=300), st.sampled_from(BLOCK_SIZES))
def test_kernels_agree_on_arbitrary_input(body, block_size):
    data = (HEADER + ",smiles\n" + body).encode()
    reference = outcome(data, isa="scalar", block_size=4096)
    for isa in probe.ISAS:
        assert outcome(data, isa=isa, block_size=block_size) == reference


@settings(max_examples=100, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.data())
def test_blank_lines_between_records_are_skipped(table, data):
    source, expected = table
    text = source.decode()
    terminator = "\r\n" if "\r\n" in text else None
    if terminator is None or text.count(terminator) != len(expected) + 1:
        return  # only tables whose terminators occur nowhere but between records
    records = text.split(terminator)
    blanks = st.text(alphabet="\r\n", max_size=4)
    padded = "".join(r + terminator + data.draw(blanks) for r in records[:-1]) + records[-1]
    assert read(padded.encode()) == expected


@pytest.mark.parametrize("isa", probe.ISAS)
@pytest.mark.parametrize("length", [15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000])
def test_fields_straddling_windows_and_blocks(isa, length):
    cells = ["a" * length, "b" * (length - 1) + ",", '"' * (length % 5), "é" * length]
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    writer.writerow(REQUIRED + ["smiles", "formula"])
    for shift in range(3):
        for cell in cells:
            writer.writerow(["q" * shift, cell, shift, "1.5", cell, "x" * shift])
    data = out.getvalue().encode()
    for block_size in BLOCK_SIZES:
        got = read(data, isa=isa, block_size=block_size)
        assert [row[5] for row in got] == [cell or None for cell in cells] * 3
        assert [row[7] for row in got] == [None if s == 0 else "x" * s for s in range(3) for _ in cells]


def test_file_and_bytes_agree_across_many_blocks(write_csv):
    lines = [HEADER + ",smiles"] + [f'q{i},c{i},{i},{i / 7!r},"C{i},\n{i}"' for i in range(60_000)]
    data = ("\r\n".join(lines) + "\r\n").encode()
    path = write_csv(data)
    assert len(data) > 2 << 20
    from_file = probe.read_candidates(path)
    assert from_file == read(data)
    assert from_file[-1][:4] == ("q59999", "c59999", 59999, 59999 / 7)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_long_texts_and_input_of_unknown_length(tmp_path):
    # Texts from 2**24 - 1 bytes on are stored by another route than shorter ones, and a pipe
    # has no length to size the text storage by, so it grows while earlier texts must survive.
    long_cells = ["C" * ((1 << 24) - 2), "N" * ((1 << 24) - 1)]
    lines = [HEADER + ",smiles"] + [f"q{i},c{i},{i},0.5,S{i}" for i in range(50_000)]
    lines += [f"q,c,{i},0.5,{cell}" for i, cell in enumerate(long_cells)] + ["q,c,9,0.5,", "q,,9,0.5,x"]
    data = ("\n".join(lines) + "\n").encode()
    source = tmp_path / "table.csv"
    source.write_bytes(data)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$1" > "$2"', "sh", str(source), str(fifo)])
    try:
        from_pipe = probe.read_candidates(str(fifo))
    finally:
        writer.wait(timeout=60)
    assert from_pipe == read(data)
    assert [row[5] for row in from_pipe[-4:]] == long_cells + [None, "x"]
    assert from_pipe[-1][1] == "" and from_pipe[12_345][5] == "S12345"


# --- cells ---------------------------------------------------------------------------------

decimal_strings = st.builds(
    "{}{}{}{}{}".format,
    st.sampled_from(["", "+", "-"]),
    st.text("0123456789", max_size=30),
    st.sampled_from(["", "."]),
    st.text("0123456789", max_size=30),
    st.sampled_from([""]) | st.builds("{}{}{}".format, st.sampled_from("eE"),
                                      st.sampled_from(["", "+", "-"]), st.integers(0, 400)),
).filter(lambda s: any(c.isdigit() for c in s.split("e")[0].split("E")[0]))
# Short mantissas with exponents near the exact powers of ten, where shortcuts are tempting.
short_scientific = st.builds("{}e{}".format, st.integers(1, 10**17), st.integers(-60, 60))
# Mantissas wider than a double's but within 64 bits, as repr() writes them; odd ones are ties.
wide_scientific = st.builds("{}e{}".format, st.integers(2**53, 2**64 - 1), st.integers(-22, 22))


@settings(max_examples=2000)
@given(decimal_strings | short_scientific | wide_scientific)
def test_decimal_scores_round_exactly_as_python(text):
    (record,) = read(f"{HEADER}\nq,c,1,{text}\n".encode())
    assert bits(record[3]) == bits(float(text))


@settings(max_examples=1000)
@given(st.floats(allow_nan=False), st.sampled_from(["{!r}", "{:.17g}", "{:.25e}", "{:.3f}"]))
def test_formatted_doubles_read_back_as_python_reads_them(value, form):
    text = form.format(value)
    assert bits(row_with(score=text)[3]) == bits(float(text))


# Two-digit signed exponents ("1.5e-05", as repr() writes small probabilities) have a shortcut of
# their own; its edges are the exact powers of ten (|power| 22) and mantissas around 2**53.
two_digit_exponent = st.builds(
    "{}{}.{}{}{}{:02d}".format,
    st.sampled_from(["", "-", "+"]),
    st.text("0123456789", max_size=17),
    st.text("0123456789", max_size=19),
    st.sampled_from("eE"),
    st.sampled_from("+-"),
    st.integers(0, 99),
).filter(lambda s: any(c.isdigit() for c in s.lower().split("e")[0]))


@settings(max_examples=2000)
@given(two_digit_exponent | st.builds("{}e-{:02d}".format, st.integers(2**53 - 3, 2**53 + 3),
                                      st.integers(0, 30)))
def test_two_digit_exponents_round_exactly_as_python(text):
    assert bits(row_with(score=text)[3]) == bits(float(text))


@pytest.mark.parametrize("text", [".e-05", "e-05", "-e-05", "1ee-05", "1e--05", "1.e-0x", "1.2.e-05"])
def test_malformed_two_digit_exponents_are_errors(text):
    with pytest.raises(RuntimeError, match='^CSV error: invalid float .* in column "score"'):
        row_with(score=text)


@pytest.mark.parametrize(
    "text, expected",
    [("NaN", math.nan), ("-iNf", -math.inf), ("+Infinity", math.inf), (".5", 0.5), ("5.", 5.0),
     ("1e400", math.inf), ("-1e-400", -0.0), ("2.4703282292062328e-324", 5e-324),
     ("1.7976931348623158e308", 1.7976931348623157e308), ("-0", -0.0), ("0e999999999999", 0.0)],
)
def test_special_and_edge_floats(text, expected):
    score = row_with(score=text)[3]
    assert math.isnan(score) if math.isnan(expected) else bits(score) == bits(expected)


MALFORMED_FLOATS = [" 1", "1 ", "1,000", "1_000", "0x1p3", "nan(1)", "infinityx", "in", ".", "e5",
                    "1e", "1e+", "+-1", "1..2", "--1", "1.2.3", "٣"]


@pytest.mark.parametrize(
    "column, text",
    [("score", "")] + [(column, text) for column in ["score", "probability"] for text in MALFORMED_FLOATS],
)
def test_malformed_floats_are_errors(column, text):
    with pytest.raises(RuntimeError, match=f'^CSV error: invalid float .* in column "{column}"'):
        row_with(**{"probability": "", column: text})


@given(st.integers(0, U64_MAX), st.sampled_from(["{}", "+{}", "0x{:x}", "0x{:X}", "0x+{:x}", "000{}"]))
def test_rank_forms(value, form):
    assert row_with(rank=form.format(value))[2] == value


@pytest.mark.parametrize(
    "text", ["", "-1", "1.0", "1e3", " 1", "1 ", "0X1F", "+0x1", "0x", "+", "0x-1", "0xg",
             str(U64_MAX + 1), f"0x{U64_MAX + 1:x}", "1_0"]
)
def test_malformed_ranks_are_errors(text):
    assert 'invalid rank "' in read_error(f"{HEADER}\nq,c,{text},1\n".encode())


@pytest.mark.parametrize(
    "column, cell, expected",
    [("is_correct", "true", True), ("is_correct", "false", False), ("is_correct", "", None),
     ("probability", "", None), ("smiles", "", None), ("smiles", " ", " "), ("formula", "C6", "C6")],
)
def test_optional_cells(column, cell, expected):
    record = row_with(query_id="", candidate_id="", **{column: cell})
    assert record[:2] == ("", "") and record[4 + OPTIONAL.index(column)] == expected


@pytest.mark.parametrize("column, cell", [("is_correct", c) for c in ["True", "1", "0", "yes", " true"]]
                         + [("probability", " ")])
def test_unconvertible_optional_cells_are_errors(column, cell):
    with pytest.raises(RuntimeError, match=f'in column "{column}" at line 2'):
        row_with(**{column: cell})


@pytest.mark.parametrize(
    "field, expected",
    [('a"b', 'a"b'), ('"ab"cd', "abcd"), ('"a""b"', 'a"b'), ('"ab"c"d"', 'abc"d"'), ('""', ""),
     ('"a,b\r\nc"', "a,b\r\nc"), ('"unterminated', "unterminated"), ('"ends in quote"', "ends in quote")],
)
def test_lenient_quoting(field, expected):
    # The field under test is last, so an unterminated quote runs to the end of the input.
    (record,) = read(f"query_id,rank,score,candidate_id\nq,1,2,{field}".encode())
    assert record[1] == expected


def test_line_endings_blank_lines_and_bom():
    data = b"\xef\xbb\xbf" + b"\r\n\n" + HEADER.encode() + b"\r\r\nq,a,1,2\r\n\r\nq,b,2,3\rq,c,3,4"
    assert [r[1] for r in read(data)] == ["a", "b", "c"]


# --- UTF-8 ---------------------------------------------------------------------------------


@settings(max_examples=1000)
@given(st.binary(max_size=12).filter(lambda b: not set(b) & set(b',"\r\n')), st.booleans())
def test_utf8_accepted_exactly_when_python_decodes(cell, read_column):
    # Every column is checked, including one no member reads.
    column = "smiles" if read_column else "unused"
    data = f"{HEADER},{column}\nq,c,1,2,".encode() + cell + b"\n"
    try:
        expected = cell.decode("utf-8")
    except UnicodeDecodeError:
        assert f'invalid UTF-8 in column "{column}" at line 2' in read_error(data)
    else:
        (record,) = read(data)
        assert record[5] == ((expected or None) if read_column else None)


def test_invalid_utf8_in_header():
    assert "invalid UTF-8 in the header at line 1 (byte 0)" in read_error(HEADER.encode() + b",\xff\n")


# --- structure and errors ------------------------------------------------------------------


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.data())
def test_errors_name_the_line_and_byte_of_the_failing_record(table, data):
    source, records = table
    if not records:
        return
    # Line breaks inside quoted cells count as lines too, so the line is not the row number.
    header, *rows = csv.reader(io.StringIO(source.decode().lstrip("\ufeff"), newline=""))
    bad = data.draw(st.integers(0, len(records) - 1))
    rows[bad][header.index("score")] = "bad"
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n", quoting=csv.QUOTE_ALL)
    writer.writerow(header)
    writer.writerows(rows[:bad])
    prefix = out.getvalue().encode()
    writer.writerows(rows[bad:])
    line = 1 + prefix.count(b"\n") + prefix.count(b"\r") - prefix.count(b"\r\n")
    message = read_error(out.getvalue().encode())
    assert message.endswith(f'invalid float "bad" in column "score" at line {line} (byte {len(prefix)})')


@pytest.mark.parametrize("row", ["q,c,1", "q,c,1,2,3", "q", ",,,,"])
def test_rows_must_have_the_headers_field_count(row):
    assert "fields where the header has 4 at line 3 (byte " in read_error(f"{HEADER}\nq,c,1,2\n{row}\n".encode())


@pytest.mark.parametrize(
    "header, missing",
    [("", "query_id"), ("rank,score", "query_id"), ("query_id,candidate_id", "rank"),
     ("query_id,candidate_id, score,rank", "score"), ("Query_id,candidate_id,rank,score", "query_id")],
)
def test_missing_required_columns_in_order(header, missing):
    assert read_error(header.encode() + b"\n") == f"Missing required column: {missing}"


def test_header_only_and_column_order():
    assert read(HEADER.encode()) == []
    assert read(b"score,x,rank,group,candidate_id,query_id\n1.5,?,2,g,c,q\n") == [
        ("q", "c", 2, 1.5, None, None, None, None, None, None)
    ]


def test_duplicate_member_column_fails_every_row_but_not_an_empty_table():
    header = HEADER + ",probability,probability,note,note"
    assert read(header.encode() + b"\n") == []
    assert 'duplicate column "probability"' in read_error(header.encode() + b"\nq,c,1,2,,,,\n")
    assert read(HEADER.encode() + b",note,note\nq,c,1,2,a,b\n")[0][:2] == ("q", "c")


@pytest.mark.parametrize(
    "path, refused",
    [("data.parquet", True), ("/no/such/dir/data.parquet", True), ("a.b.parquet", True),
     ("..parquet", True), ("dir/data.parquet/", True), ("data.PARQUET", False),
     ("data.parquet.csv", False), (".parquet", False), ("dir/.parquet", False), ("..", False),
     ("data.parquet/x", False), ("parquet", False)],
)
def test_parquet_paths(path, refused):
    assert probe.is_parquet_path(path) == refused
    if refused:
        with pytest.raises(RuntimeError, match="^Parquet input detected"):
            probe.read_candidates(path)


@given(st.lists(st.sampled_from(["a", ".", "..", "parquet", ".parquet", "/", "\\", "b.c"]), max_size=6))
def test_parquet_rule_matches_pathlib_suffix(pieces):
    path = "".join(pieces)
    # PurePath follows the platform's separators, as the reader does.
    assert probe.is_parquet_path(path) == (pathlib.PurePath(path).suffix == ".parquet")


def test_unopenable_files_are_csv_errors(tmp_path):
    with pytest.raises(RuntimeError, match='^CSV error: cannot open ".*": (?i:no such file)'):
        probe.read_candidates(str(tmp_path / "missing.csv"))
    with pytest.raises(RuntimeError, match="^CSV error: cannot (open|read)"):
        probe.read_candidates(str(tmp_path))
