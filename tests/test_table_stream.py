"""The grouped stream the computations read agrees with the whole-record view of the same scan.

compute_curve, calibrate and apply_policy keep only each row's numbers and each query's ids; the
probe's whole records are grouped here the plain way (a dict in file order, sorted by id bytes,
top candidate the first of the smallest rank) and must give the same groups, or the same single
error for a faulty table, whatever the order of the queries and wherever the blocks end.
"""

import csv
import io
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
from test_reader_property import mutated_tables, tables

probe = pytest.importorskip("_annotrove_probe")

# Ids that share long prefixes, are prefixes of one another, differ in case or by a trailing
# blank, or hold bytes above 0x7F, so byte order and equality are both exercised.
IDS = ["", "q", "q ", "Q", "q1", "q10", "q9", "sample-0000000000000000001", "sample-0000000000000000002",
       "é", "e\u0301", "ß", "𝔮", "q,1", 'q"1', "q\n1"]


def outcome(read, *args, **kwargs):
    try:
        return "ok", read(*args, **kwargs)
    except RuntimeError as error:
        return "error", str(error)


def reference_groups(records, candidate_ids=True, sort=True):
    """The groups as the plain algorithm makes them from whole records."""
    by_id: dict[str, list] = {}  # in order of first appearance
    for record in records:
        by_id.setdefault(record[0], []).append(record)
    groups = []
    for query_id in sorted(by_id, key=lambda text: text.encode("utf-8")) if sort else by_id:
        rows = by_id[query_id]
        top = min(range(len(rows)), key=lambda i: (rows[i][2], i))
        groups.append((query_id, rows[top][1] if candidate_ids else None,
                       [(r[2], r[3], r[4], r[9]) for r in rows]))
    return groups


def assert_same_outcome(data, block_size=0, isa="auto", candidate_ids=True, sort=True):
    records = outcome(probe.read_candidates_bytes, data)
    stream = outcome(probe.read_groups_bytes, data, block_size=block_size, isa=isa,
                     candidate_ids=candidate_ids, sorted=sort)
    if records[0] == "error":
        assert stream == records
    else:
        # repr compares floats bit for bit, NaN and -0.0 included.
        assert stream[0] == "ok", stream
        assert repr(stream[1]) == repr(reference_groups(records[1], candidate_ids, sort))


def quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\r\n') else text


@st.composite
def grouped_tables(draw):
    """Tables whose queries come ascending, contiguous in any order, or scattered, with faults."""
    ids = draw(st.lists(st.sampled_from(IDS), min_size=1, max_size=8, unique=True))
    rows = [(query_id, n) for query_id in ids for n in range(draw(st.integers(1, 5)))]
    layout = draw(st.sampled_from(["ascending", "contiguous", "scattered"]))
    rng = random.Random(draw(st.integers(0, 2**32)))
    if layout == "ascending":
        rows.sort(key=lambda row: row[0].encode())
    elif layout == "contiguous":
        order = ids[:]
        rng.shuffle(order)
        rows.sort(key=lambda row: order.index(row[0]))
    else:
        rng.shuffle(rows)
    columns = ["query_id", "candidate_id", "rank", "score"]
    columns += draw(st.lists(st.sampled_from(["probability", "is_correct", "smiles", "note"]),
                             unique=True))
    rng.shuffle(columns)
    if draw(st.integers(0, 9)) == 0:
        columns.append(draw(st.sampled_from(["rank", "probability", "smiles", "note"])))
    lines = [",".join(columns).encode()]
    for query_id, n in rows:
        cells = {
            "query_id": quote(query_id),
            "candidate_id": quote(f"c{n}{query_id}"),
            "rank": str(rng.choice([0, 1, 1, 2, 3, 2**64 - 1])),
            "score": rng.choice(["1.5", "-0.0", "nan", "inf", "2e300", repr(rng.uniform(-9, 9))]),
            "probability": rng.choice(["", "0", "0.25", "nan", repr(rng.random())]),
            "is_correct": rng.choice(["", "true", "false"]),
            "smiles": rng.choice(["", "CCO", "C1=CC=CC=C1"]),
            "note": rng.choice(["", "x", "é"]),
        }
        fields = [cells[c] for c in columns]
        if draw(st.integers(0, 30)) == 0:
            fault = draw(st.sampled_from(["rank", "score", "probability", "is_correct", "utf8",
                                          "short", "long"]))
            if fault == "short":
                fields.pop()
            elif fault == "long":
                fields.append("x")
            elif fault == "utf8" or fault not in columns:
                fields[-1] += "\udcff"  # written as the lone byte 0xFF
            else:
                fields[columns.index(fault)] = {"rank": "-1", "score": "", "probability": " 1",
                                                "is_correct": "1"}[fault]
        lines.append(",".join(fields).encode("utf-8", "surrogateescape"))
    return b"\n".join(lines) + b"\n"


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(grouped_tables(), st.sampled_from([0, 1, 7, 64]), st.booleans(), st.booleans())
def test_the_stream_groups_the_records_of_any_table(data, block_size, candidate_ids, sort):
    isa = "scalar" if block_size == 1 else "auto"
    assert_same_outcome(data, block_size, isa, candidate_ids, sort)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(tables().map(lambda table: table[0]) | mutated_tables()
       | st.binary(max_size=200).map(lambda b: b"query_id,candidate_id,rank,score\n" + b))
def test_the_stream_fails_exactly_where_the_records_fail(data):
    assert_same_outcome(data)
    assert_same_outcome(data, block_size=1, isa="scalar", candidate_ids=False)


@pytest.mark.parametrize("layout", ["ascending", "contiguous", "scattered"])
def test_many_queries_group_alike_in_every_layout(layout):
    """Enough queries to grow the lookup table several times, with ids of every length."""
    rng = random.Random(layout)
    ids = [f"{'x' * rng.randrange(40)}{i}" for i in range(5000)]
    rows = [(query_id, rank) for query_id in ids for rank in rng.sample(range(1, 9), 3)]
    if layout == "ascending":
        rows.sort(key=lambda row: row[0].encode())
    elif layout == "contiguous":
        rng.shuffle(ids)
        position = {query_id: i for i, query_id in enumerate(ids)}
        rows.sort(key=lambda row: position[row[0]])
    else:
        rng.shuffle(rows)
    lines = ["query_id,candidate_id,rank,score,is_correct"]
    lines += [f"{q},c{r}_{q},{r},{r / 7!r},{'true' if r % 2 else 'false'}" for q, r in rows]
    data = ("\n".join(lines) + "\n").encode()
    assert_same_outcome(data)
    assert_same_outcome(data, sort=False)


METHODS = ["max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap", "effective-k",
           "candidate-count"]


def table_of(queries) -> bytes:
    """A CSV of whole records, query after query; floats written so they read back exactly."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["query_id", "candidate_id", "rank", "score", "probability", "is_correct"])
    for rows in queries:
        for query_id, candidate_id, rank, score, probability, *_, label in rows:
            writer.writerow([query_id, candidate_id, rank, repr(score),
                             "" if probability is None else repr(probability),
                             "" if label is None else str(label).lower()])
    return out.getvalue().encode()


@settings(max_examples=150, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(grouped_tables(), st.sampled_from(METHODS), st.integers(0, 2**32))
def test_the_curve_does_not_depend_on_the_order_of_the_queries(write_csv, data, method, seed):
    """compute_curve takes queries as they come; permuting whole queries must not change a bit."""
    kind, records = outcome(probe.read_candidates_bytes, data)
    if kind == "error":
        return
    by_query: dict[str, list] = {}
    for record in records:
        by_query.setdefault(record[0], []).append(record)
    queries = list(by_query.values())
    in_order = annotrove.compute_curve(write_csv(table_of(queries)), method)
    random.Random(seed).shuffle(queries)
    assert repr(annotrove.compute_curve(write_csv(table_of(queries)), method)) == repr(in_order)


# A block found all ASCII skips the per-row UTF-8 pass; a byte above 0x7F (valid or not) in any
# block, or in the bytes of a row kept over from the block before, must still reach the row check.
@pytest.mark.parametrize("block_size", [0, 64, 100, 4096])
@pytest.mark.parametrize("cell", [b"\xff", b"\xc3", b"\xc3\xa9", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"])
@pytest.mark.parametrize("row", [0, 1, 2999, 3400, 3999])
def test_non_ascii_after_ascii_blocks_is_checked_as_in_any_row(block_size, cell, row):
    lines = [b"query_id,candidate_id,rank,score,probability,note"]
    lines += [b"q%05d,c%d,%d,%d.25,0.5,x" % (i // 4, i, i % 4 + 1, i) for i in range(4000)]
    lines[row + 1] = lines[row + 1][:-1] + cell
    data = b"\n".join(lines) + b"\n"
    result = outcome(probe.read_groups_bytes, data, block_size=block_size, isa="auto",
                     candidate_ids=True, sorted=True)
    try:
        cell.decode("utf-8")
    except UnicodeDecodeError:
        assert result[0] == "error"
        assert f'invalid UTF-8 in column "note" at line {row + 2} ' in result[1]
    else:
        assert result[0] == "ok" and len(result[1]) == 1000
    assert_same_outcome(data, block_size, "auto")
