"""The table reader on any table: exactly the records the table holds, or one RuntimeError.

Tables are built from random cells, each drawn either valid (with the value it must read back as)
or invalid for its column (a bad number, a bad label, invalid UTF-8, a missing or extra field, an
unclosed quote), so the outcome is predicted before the reader runs. Random bytes and random
mutations of valid tables must give well-typed records or one RuntimeError, never anything else,
and the same outcome from a file as from memory.
"""

import math
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

probe = pytest.importorskip("_annotrove_probe")

REQUIRED = ["query_id", "candidate_id", "rank", "score"]
TEXTS = ["smiles", "inchikey", "formula", "target_inchikey"]
OPTIONAL = ["probability", *TEXTS, "is_correct"]
RECORD = REQUIRED + OPTIONAL  # field order of the probe's tuples
U64_MAX = 2**64 - 1
ERROR_PREFIXES = ("CSV error: ", "Missing required column: ")

# Byte sequences that are not UTF-8: overlong forms, surrogates, beyond U+10FFFF, stray or missing
# continuation bytes, bytes that never occur.
BAD_UTF8 = [b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xf0\x80\x80\x80", b"\xed\xa0\x80",
            b"\xed\xbf\xbf", b"\xf4\x90\x80\x80", b"\x80", b"\xbf", b"\xe2\x82", b"\xff", b"\xfe",
            b"\xf8\x88\x80\x80\x80"]

text = st.text(
    alphabet=st.characters(blacklist_categories=("Cs",)) | st.sampled_from(',"\r\n \0\ufeff'),
    max_size=12,
)


class Cell:
    """One cell: the bytes written and, when valid, the value it reads as."""

    def __init__(self, raw: bytes, value=None, valid: bool = True, needs_quotes: bool = False):
        self.raw = raw
        self.value = value
        self.valid = valid
        self.needs_quotes = needs_quotes or any(c in raw for c in b',"\r\n')


valid_rank = st.builds(
    lambda n, form: Cell(form.format(n).encode(), n),
    st.integers(0, U64_MAX),
    st.sampled_from(["{}", "+{}", "0x{:x}", "0x{:X}", "0x+{:x}", "00{}"]),
)
invalid_rank = st.sampled_from(
    ["", "-1", "1.0", " 1", "1 ", "0X1", str(2**64), "0x1" + "0" * 16, "1e3", "0x", "+", "x", "٣"]
).map(lambda t: Cell(t.encode(), valid=False))

finite = st.floats(allow_nan=False)
float_text = st.one_of(
    st.builds("{!r}".format, finite),
    st.builds("{:.3e}".format, finite),
    st.builds("{:.6f}".format, st.floats(-1e6, 1e6)),
    st.sampled_from(["inf", "-Infinity", "+INF", "nan", "NaN", "-nan", ".5", "5.", "1E+400", "1e-400",
                     "-0", "0e0"]),
)
valid_float = float_text.map(lambda t: Cell(t.encode(), float(t)))
invalid_float = st.sampled_from(
    [" 1", "1 ", "1_0", "0x1p3", "--1", "e5", ".", "in", "nana", "1e", "1.2.3", "+-1", "∞", "1,5"]
).map(lambda t: Cell(t.encode(), valid=False))

valid_label = st.sampled_from([(b"true", True), (b"false", False), (b"", None)]).map(
    lambda p: Cell(p[0], p[1])
)
invalid_label = st.sampled_from(["True", "FALSE", "1", "0", "yes", " true", "true "]).map(
    lambda t: Cell(t.encode(), valid=False)
)


def text_cell(optional: bool):
    def make(value: str) -> Cell:
        if optional and value == "":
            return Cell(b"", None)
        return Cell(value.encode(), value)

    return text.map(make)


@st.composite
def invalid_utf8_cell(draw):
    before = draw(text).encode()
    after = draw(text).encode()
    return Cell(before + draw(st.sampled_from(BAD_UTF8)) + after, valid=False)


def cell_for(column: str, bad: bool):
    if column == "rank":
        return invalid_rank if bad else valid_rank
    if column == "score":
        return invalid_float if bad else valid_float
    if column == "probability":
        return invalid_float if bad else (valid_float | st.just(Cell(b"", None)))
    if column == "is_correct":
        return invalid_label if bad else valid_label
    if bad:
        return invalid_utf8_cell()
    return text_cell(optional=column not in REQUIRED)


def quote(cell: Cell, force: bool) -> bytes:
    if cell.needs_quotes or force:
        return b'"' + cell.raw.replace(b'"', b'""') + b'"'
    return cell.raw


@st.composite
def tables(draw):
    """(bytes, expected records or None when the read must fail)."""
    optional = draw(st.lists(st.sampled_from(OPTIONAL), unique=True))
    extra = draw(st.lists(st.sampled_from(["group", "note", "Score", "rank "]), unique=True,
                          max_size=2))
    columns = draw(st.permutations(REQUIRED + optional + extra))
    terminator = draw(st.sampled_from([b"\n", b"\r", b"\r\n"]))
    force_quotes = draw(st.booleans())
    lines = [b",".join(quote(Cell(c.encode()), force_quotes) for c in columns)]
    expected: list[tuple] | None = []
    for _ in range(draw(st.integers(0, 5))):
        bad_column = draw(st.none() | st.sampled_from(columns)) if draw(st.integers(0, 4)) == 0 else None
        cells = {c: draw(cell_for(c, c == bad_column)) for c in columns}
        fields = [quote(cells[c], force_quotes and draw(st.booleans())) for c in columns]
        shape = draw(st.sampled_from(["ok"] * 8 + ["short", "long"]))
        if shape == "short":
            fields = fields[:-1]
        elif shape == "long":
            fields.append(b"x")
        lines.append(b",".join(fields))
        if shape != "ok" or not all(cell.valid for cell in cells.values()):
            expected = None
        elif expected is not None:
            expected.append(tuple(cells[c].value if c in cells else None for c in RECORD))
    data = terminator.join(lines) + draw(st.sampled_from([b"", terminator]))
    if draw(st.booleans()):
        data = b"\xef\xbb\xbf" + data
    if len(lines) > 1 and draw(st.integers(0, 9)) == 0:
        # A last record whose only field opens a quote that never closes: the end of the input
        # ends the field, and one field is never a whole row. (Appending the field to the last
        # row instead could complete a row that was one field short.)
        data = data.rstrip(b"\r\n") + terminator + b'"open'
        expected = None
    return data, expected


def same_value(got, want) -> bool:
    if isinstance(want, float):
        if math.isnan(want):
            return isinstance(got, float) and math.isnan(got)
        return isinstance(got, float) and struct.pack("<d", got) == struct.pack("<d", want)
    return type(got) is type(want) and got == want


def outcome(read, data):
    try:
        return "rows", read(data)
    except RuntimeError as error:
        return "error", str(error)


def assert_well_formed(result):
    kind, value = result
    if kind == "error":
        assert value.startswith(ERROR_PREFIXES), value
        return
    assert isinstance(value, list)
    for record in value:
        assert len(record) == len(RECORD)
        query_id, candidate_id, rank, score, probability, *texts, is_correct = record
        assert isinstance(query_id, str) and isinstance(candidate_id, str)
        assert isinstance(rank, int) and 0 <= rank <= U64_MAX
        assert isinstance(score, float)
        assert probability is None or isinstance(probability, float)
        assert all(t is None or isinstance(t, str) for t in texts)
        assert is_correct in (None, True, False)


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(tables())
def test_a_table_reads_as_exactly_its_records_or_one_error(table):
    data, expected = table
    kind, value = outcome(probe.read_candidates_bytes, data)
    if expected is None:
        assert kind == "error", value
        assert value.startswith("CSV error: "), value
        return
    assert kind == "rows", value
    assert len(value) == len(expected)
    for got, want in zip(value, expected):
        for name, g, w in zip(RECORD, got, want):
            assert same_value(g, w), (name, g, w)


@st.composite
def mutated_tables(draw):
    data = bytearray(draw(tables())[0])
    for _ in range(draw(st.integers(1, 6))):
        action = draw(st.sampled_from(["flip", "insert", "delete", "duplicate", "truncate"]))
        position = draw(st.integers(0, len(data)))
        if action == "flip" and position < len(data):
            data[position] = draw(st.integers(0, 255))
        elif action == "insert":
            data[position:position] = draw(
                st.sampled_from([b",", b'"', b"\n", b"\r", b"\0", b'""', b"\x80", b"\xc0", b"\xed"])
            )
        elif action == "delete":
            del data[position : position + draw(st.integers(1, 4))]
        elif action == "duplicate":
            data[position:position] = data[position : position + draw(st.integers(1, 40))]
        else:
            del data[position:]
    return bytes(data)


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(mutated_tables() | st.binary(max_size=200).map(lambda b: b"query_id,candidate_id,rank,score\n" + b)
       | st.binary(max_size=200))
def test_any_bytes_give_typed_records_or_one_runtime_error(data):
    result = outcome(probe.read_candidates_bytes, data)
    assert_well_formed(result)
    # Small blocks put a block edge at every position; the outcome must not move.
    small_blocks = outcome(lambda d: probe.read_candidates_bytes(d, block_size=1, isa="scalar"), data)
    assert repr(small_blocks) == repr(result)


@settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mutated_tables())
def test_a_file_reads_as_its_bytes_do(tmp_path, data):
    path = os.path.join(tmp_path, "table.csv")
    with open(path, "wb") as file:
        file.write(data)
    from_file = outcome(probe.read_candidates, path)
    from_memory = outcome(probe.read_candidates_bytes, data)
    assert repr(from_file) == repr(from_memory)


# A call that does not use a float column (score under max-prob, probability under score-gap)
# only checks its cells, with is_float, instead of converting them. That is sound only if every
# cell of float syntax converts: is_float and parse_float must agree on every cell.
float_like = st.text(alphabet="0123456789.eE+-infatyINFATY_ x\u0660", max_size=14)


@settings(max_examples=3000)
@given(float_like | float_text | invalid_float.map(lambda cell: cell.raw.decode())
       | st.builds(lambda m, e: f"{m}e{e}", st.text("0123456789.", max_size=30), st.integers(-10**12, 10**12)))
def test_every_cell_of_float_syntax_converts(text):
    value, checked = probe.float_cell(text.encode("utf-8"))
    assert checked == (value is not None), (text, value)


@pytest.mark.parametrize("cell", ["1e999999999999999999999", "-1e-999999999999", "0." + "0" * 400 + "1",
                                  "9" * 400, "." + "9" * 400 + "e-400", "1" * 30 + "e-30", "5.", ".5",
                                  "-.5e+3", "+inf", "-INFINITY", "NaN", "1e", "1e+", ".", "+", "e5", ".e1"])
def test_float_syntax_at_the_edges(cell):
    value, checked = probe.float_cell(cell.encode())
    assert checked == (value is not None)
