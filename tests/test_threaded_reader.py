"""One table read on several threads gives what one thread gives, bit for bit, errors included.

The reader cuts the input into chunks just after line breaks and reads each on whichever thread
is free, assuming it starts at a record; a chunk that began inside a quoted field is read again
with the record before it. The probe's chunk_size forces chunks of a few bytes, so chunk edges
(and the read blocks' edges, block_size) fall inside quoted fields holding line breaks and doubled
quotes, between a CR and its LF, inside multi-byte characters, on the byte-order mark, on blank
lines and on a last row without a line break. Whatever the threads and the edges, the groups,
the top candidates on rank ties, and the first fault in file order must not move.
"""

import os
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
from test_reader_property import mutated_tables, tables
from test_table_stream import grouped_tables

probe = pytest.importorskip("_annotrove_probe")

THREAD_COUNTS = [2, 3, 7]


def outcome(data, **kwargs):
    try:
        return "ok", repr(probe.read_groups_bytes(data, **kwargs))
    except RuntimeError as error:
        return "error", str(error)


def assert_threads_agree(data, chunk_sizes, block_size=0, candidate_ids=True, sort=True):
    one = outcome(data, threads=1, block_size=block_size, candidate_ids=candidate_ids, sorted=sort)
    for threads in THREAD_COUNTS:
        for chunk_size in chunk_sizes:
            isa = "scalar" if block_size == 1 else "auto"
            got = outcome(data, threads=threads, chunk_size=chunk_size, block_size=block_size,
                          isa=isa, candidate_ids=candidate_ids, sorted=sort)
            assert got == one, (threads, chunk_size, block_size)
    return one


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(grouped_tables() | tables().map(lambda table: table[0]) | mutated_tables(),
       st.lists(st.integers(1, 300), min_size=1, max_size=3), st.sampled_from([0, 1, 3, 64]),
       st.booleans(), st.booleans())
def test_any_table_reads_alike_on_any_threads_and_chunks(data, chunk_sizes, block_size,
                                                         candidate_ids, sort):
    assert_threads_agree(data, chunk_sizes, block_size, candidate_ids, sort)


def edge_table(terminator: bytes, final_newline: bool, bom: bool) -> bytes:
    """Every awkward place for an edge within a few dozen bytes of each other."""
    rows = [
        b"query_id,candidate_id,rank,score,probability,note,is_correct",
        b'q1,"a\nb",1,0.5,0.25,"x\r\ny",true',
        b'q1,"c""d",1,0.75,,"""",false',  # the same rank: the first row stays the top
        b"",  # a blank line
        "q2,é€𝔮,2,1e-3,,ünïcödé,".encode(),
        b'"q2",e,1,-0.0,0.5,"\r",true',
        b'q3,f,3,nan,0.1,"line\rbreak, and ""quotes""\n",',
        b"",
        b"",
        b'q1,g,0,2,,"\r\n\r\n",true',  # q1 again, after others: scattered
        b"q3,h,3,inf,,,false",
        b"q4,t1,5,1,,,",  # a tie on the top rank in plain rows
        b"q4,t2,5,2,,,",
    ]
    data = terminator.join(rows) + (terminator if final_newline else b"")
    return (b"\xef\xbb\xbf" if bom else b"") + data


@pytest.mark.parametrize("terminator", [b"\n", b"\r\n", b"\r"])
@pytest.mark.parametrize("final_newline", [True, False])
@pytest.mark.parametrize("bom", [True, False])
def test_chunk_edges_at_every_offset(terminator, final_newline, bom):
    data = edge_table(terminator, final_newline, bom)
    kind, _ = assert_threads_agree(data, range(1, len(data) + 2), block_size=0)
    assert kind == "ok"
    for block_size in (1, 2, 5):
        assert_threads_agree(data, [1, 2, 3, 7, 16], block_size=block_size)


@pytest.mark.parametrize("fault", [
    b'q9,z,1,0.5,0.5,"unclosed\n,true',  # an open quote swallows the rest: one record
    b"q9,z,x,0.5,0.5,,true",
    b"q9,z,1,0.5,0.5,\xff,true",
    b"q9,z,1,0.5,0.5,,true,extra",
    b"q9,z,1,0.5",
])
@pytest.mark.parametrize("where", [1, 4, 9])
def test_a_fault_anywhere_is_reported_as_by_one_thread(fault, where):
    rows = edge_table(b"\r\n", True, False).split(b"\r\n")
    rows.insert(where, fault)
    data = b"\r\n".join(rows)
    kind, _ = assert_threads_agree(data, range(1, len(data) + 2, 3))
    assert kind == "error"


def big_table(rng: random.Random, queries: int, layout: str, faults: int = 0) -> bytes:
    rows = []
    for q in range(queries):
        count = rng.randint(1, 12)
        for n in range(count):
            rank = rng.choice([n + 1, 1, 2])  # ties on the top rank
            probability = "" if rng.random() < 0.05 else repr(rng.random())
            label = rng.choice(["true", "false", ""])
            note = rng.choice(["", "x", '"a,b"', '"line\nbreak"', '"x\r\n""y"""', "é"])
            rows.append(f"Q{q:06d},c{n}_{q},{rank},{rng.uniform(-9, 9)!r},{probability},{note},{label}")
    if layout == "contiguous":
        by_query: dict[str, list[str]] = {}
        for row in rows:
            by_query.setdefault(row.split(",", 1)[0], []).append(row)
        groups = list(by_query.values())
        rng.shuffle(groups)
        rows = [row for group in groups for row in group]
    elif layout == "scattered":
        rng.shuffle(rows)
    for _ in range(faults):
        at = rng.randrange(len(rows))
        rows[at] = rows[at].replace(",", rng.choice([",0x,", ",,", ",\xff,"]), 1)
    header = "query_id,candidate_id,rank,score,probability,note,is_correct"
    return ("\n".join([header, *rows]) + "\n").encode("utf-8", "surrogateescape")


@pytest.mark.parametrize("layout", ["ascending", "contiguous", "scattered"])
@pytest.mark.parametrize("faults", [0, 1, 2, 5])
def test_tables_of_every_shape_with_faults_read_alike(layout, faults):
    rng = random.Random(f"{layout}{faults}")
    data = big_table(rng, 400, layout, faults)
    kind, _ = assert_threads_agree(data, [97, 1000, 4096], block_size=rng.choice([0, 7, 300]))
    assert kind == ("ok" if faults == 0 else "error")


# Through the module: a table above the size under which one thread reads whatever is asked.
# (On a machine with fewer cores than asked, the count is capped; the probe tests above run the
# counts themselves.)
@pytest.fixture(scope="module")
def large_tables(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    paths = {}
    rng = random.Random(7)
    for layout in ("ascending", "contiguous", "scattered"):
        data = big_table(rng, 60_000, layout)
        assert len(data) > 5 << 20
        paths[layout] = str(folder / f"{layout}.csv")
        with open(paths[layout], "wb") as file:
            file.write(data)
    lines = data.split(b"\n")
    for row in sorted(rng.sample(range(1, len(lines) - 1), 3), reverse=True)[:2]:
        lines[row] = lines[row].replace(b",", b",,", 1)
    paths["faulty"] = str(folder / "faulty.csv")
    with open(paths["faulty"], "wb") as file:
        file.write(b"\n".join(lines))
    return paths


@pytest.mark.parametrize("layout", ["ascending", "contiguous", "scattered", "faulty"])
def test_the_table_functions_give_the_same_bits_on_any_threads(large_tables, layout):
    path = large_tables[layout]
    policy = annotrove.calibrate(large_tables["ascending"], "margin", 0.3)
    calls = [
        lambda threads: annotrove.compute_curve(path, "max-prob", threads=threads),
        lambda threads: annotrove.calibrate(path, "margin", 0.3, "crc", threads=threads),
        lambda threads: annotrove.apply_policy(path, policy, threads=threads),
        lambda threads: annotrove.compare_scores(path, ["margin", "score-gap"], resamples=20,
                                                 threads=threads),
    ]
    for call in calls:
        results = []
        for threads in [1, 2, 3, 7, None]:
            try:
                results.append(("ok", repr(call(threads))))
            except RuntimeError as error:
                results.append(("error", str(error)))
        assert all(result == results[0] for result in results)
        assert results[0][0] == ("error" if layout == "faulty" else "ok")


@pytest.mark.parametrize("compression", ["gzip", "zstd"])
def test_compressed_tables_read_alike_on_any_threads(large_tables, tmp_path, compression):
    """Decompressed text goes through the same chunks: the same bits, the same first fault."""
    for layout in ("scattered", "faulty"):
        with open(large_tables[layout], "rb") as file:
            data = file.read()
        if compression == "gzip":
            import gzip
            packed = gzip.compress(data, compresslevel=1)
        else:
            zstandard = pytest.importorskip("zstandard")
            packed = zstandard.ZstdCompressor(level=1).compress(data)
        path = str(tmp_path / f"{layout}.csv.{compression}")
        with open(path, "wb") as file:
            file.write(packed)
        results = []
        for threads in (1, 2, None):
            try:
                results.append(repr(annotrove.compute_curve(path, "margin", threads=threads)))
            except RuntimeError as error:
                if "not" in str(error) and compression in str(error) and "build" in str(error):
                    pytest.skip(f"this build does not read {compression}")
                results.append(str(error))
        assert results[0] == results[1] == results[2]
        plain = annotrove.compute_curve(large_tables["scattered"], "margin") if layout == "scattered" else None
        if plain is not None:
            assert results[0] == repr(plain)


def live_threads() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_no_thread_outlives_the_call(large_tables):
    before = live_threads()
    annotrove.compute_curve(large_tables["scattered"], "margin", threads=4)
    assert live_threads() == before
    with pytest.raises(RuntimeError):
        annotrove.compute_curve(large_tables["faulty"], "margin", threads=4)
    assert live_threads() == before


@pytest.mark.parametrize("value, error", [
    ("2", TypeError), (2.0, TypeError), (True, TypeError), ([1], TypeError),
    (0, ValueError), (-1, ValueError), (-(2**80), ValueError),
])
def test_threads_that_are_no_count_are_refused_with_the_note(write_csv, value, error):
    path = write_csv("query_id,candidate_id,rank,score,probability,is_correct\nq,c,1,1,0.5,true\n")
    policy = annotrove.calibrate(path, "max-prob", 0.5)
    for call in (lambda: annotrove.compute_curve(path, "max-prob", threads=value),
                 lambda: annotrove.calibrate(path, "max-prob", 0.5, threads=value),
                 lambda: annotrove.apply_policy(path, policy, threads=value),
                 lambda: annotrove.compare_scores(path, threads=value)):
        with pytest.raises(error) as raised:
            call()
        assert "while processing 'threads'" in raised.value.__notes__


def test_threads_is_keyword_only_and_large_counts_are_capped(write_csv):
    path = write_csv("query_id,candidate_id,rank,score,probability,is_correct\nq,c,1,1,0.5,true\n")
    with pytest.raises(TypeError, match="positional"):
        annotrove.compute_curve(path, "max-prob", 2)
    expected = annotrove.compute_curve(path, "max-prob")
    assert annotrove.compute_curve(path, "max-prob", threads=2**80) == expected
    assert annotrove.compute_curve.__text_signature__ == "(csv_path, score, *, threads=None)"
    assert annotrove.apply_policy.__text_signature__ == "(csv_path, policy_dict, *, threads=None)"
    assert annotrove.calibrate.__text_signature__.endswith("*, threads=None)")


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
