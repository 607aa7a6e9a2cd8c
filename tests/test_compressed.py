"""Compressed tables: a gzip or zstd copy of a table reads exactly as the table does.

The same random tables as the reader's property tests (valid ones and faulty ones) are written
plain, as gzip at levels 1 and 9, as bgzip-style multi-member gzip (members of random sizes, some
empty) and as zstd in several frames; every copy must give the same records or the same error
text. A copy cut short or with a byte changed must give the "damaged" error (or, for a change the
format cannot see, the plain outcome), never a partial result.
"""

import bz2
import gzip
import io
import lzma
import os
import zipfile

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from test_reader_property import mutated_tables, outcome, tables

probe = pytest.importorskip("_annotrove_probe")
annotrove = pytest.importorskip("annotrove")
try:
    import zstandard
except ImportError:  # scripts/test.sh installs it; the zstd copies are skipped without it
    zstandard = None

HAS_GZIP = "gzip" in probe.COMPRESSIONS
HAS_ZSTD = "zstd" in probe.COMPRESSIONS and zstandard is not None
needs_gzip = pytest.mark.skipif(not HAS_GZIP, reason="this build cannot read gzip")
needs_zstd = pytest.mark.skipif(not HAS_ZSTD, reason="this build cannot read zstd, or no zstandard")
needs_either = pytest.mark.skipif(not (HAS_GZIP or HAS_ZSTD), reason="this build reads neither format")

GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def pieces(data: bytes, cuts: list[int]) -> list[bytes]:
    """data split at the given offsets (repeated offsets give empty pieces)."""
    edges = [0, *sorted(min(c, len(data)) for c in cuts), len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


def gzip_members(data: bytes, cuts: list[int], level: int = 6) -> bytes:
    return b"".join(gzip.compress(piece, level, mtime=0) for piece in pieces(data, cuts))


def zstd_frames(data: bytes, cuts: list[int], level: int = 3) -> bytes:
    compressor = zstandard.ZstdCompressor(level=level, write_checksum=True)
    return b"".join(compressor.compress(piece) for piece in pieces(data, cuts))


@st.composite
def compressed_copies(draw, data: bytes):
    """(format name, compressed bytes, offsets where one member or frame ends and the next starts)."""
    kinds = [k for k, ok in [("gzip-1", HAS_GZIP), ("gzip-9", HAS_GZIP), ("bgzip", HAS_GZIP),
                             ("zstd", HAS_ZSTD)] if ok]
    kind = draw(st.sampled_from(kinds))
    if kind in ("gzip-1", "gzip-9"):
        return "gzip", gzip.compress(data, int(kind[-1]), mtime=0), []
    cuts = draw(st.lists(st.integers(0, len(data)), max_size=6))
    parts = pieces(data, cuts)
    encode = (lambda p: gzip.compress(p, 6, mtime=0)) if kind == "bgzip" else (
        lambda p: zstd_frames(p, []))
    encoded = [encode(p) for p in parts]
    boundaries = [sum(len(e) for e in encoded[:i]) for i in range(1, len(encoded))]
    return ("gzip" if kind == "bgzip" else "zstd"), b"".join(encoded), boundaries


def read_bytes(data: bytes, block_size: int = 0, background: bool = True) -> str:
    """The outcome as text, so that NaNs compare equal."""
    return repr(outcome(lambda d: probe.read_candidates_bytes(d, block_size=block_size,
                                                              background=background), data))


def looks_compressed(data: bytes) -> bool:
    return data.startswith((GZIP_MAGIC, ZSTD_MAGIC, b"PK\x03\x04", b"\xfd7zXZ\x00")) or (
        len(data) >= 4 and data[0] & 0xF0 == 0x50 and data[1:4] == b"\x2a\x4d\x18")


any_table = tables().map(lambda t: t[0]) | mutated_tables()


@needs_either
@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), any_table, st.sampled_from([0, 1, 3, 64, 4096]), st.booleans())
def test_a_compressed_copy_reads_as_the_table_does(data, table, block_size, background):
    assume(not looks_compressed(table))
    _, compressed, _ = data.draw(compressed_copies(table))
    assert read_bytes(compressed, block_size, background) == read_bytes(table)


@needs_either
@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), any_table, st.sampled_from([0, 1, 7, 4096]), st.booleans())
def test_a_copy_cut_short_is_damaged_never_a_result(data, table, block_size, background):
    assume(not looks_compressed(table))
    name, compressed, boundaries = data.draw(compressed_copies(table))
    magic = len(GZIP_MAGIC if name == "gzip" else ZSTD_MAGIC)
    # A cut between two members leaves a whole, shorter file; anywhere else the file is damaged.
    cut = data.draw(st.integers(magic, len(compressed) - 1).filter(lambda c: c not in boundaries))
    kind, message = outcome(lambda d: probe.read_candidates_bytes(
        d, block_size=block_size, background=background), compressed[:cut])
    assert kind == "error", message
    assert message.startswith(f"CSV error: the {name} stream of the input is damaged: "), message


@needs_either
@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), any_table)
def test_a_changed_byte_is_damage_or_changes_nothing(data, table):
    assume(not looks_compressed(table))
    name, compressed, _ = data.draw(compressed_copies(table))
    position = data.draw(st.integers(0, len(compressed) - 1))
    changed = bytearray(compressed)
    changed[position] ^= data.draw(st.integers(1, 255))
    block_size = data.draw(st.sampled_from([0, 5]))
    kind, message = outcome(lambda d: probe.read_candidates_bytes(d, block_size=block_size),
                            bytes(changed))
    if kind == "error" and "stream of the input is damaged" in message:
        assert message.startswith(f"CSV error: the {name} stream"), message
    elif position >= len(GZIP_MAGIC if name == "gzip" else ZSTD_MAGIC):
        # A header field the format does not check (a gzip member's time stamp, say).
        assert repr((kind, message)) == read_bytes(table)


def big_table(rows: int) -> bytes:
    lines = [b"query_id,candidate_id,rank,score,probability,smiles,is_correct"]
    for i in range(rows):
        q = i // 7
        lines.append(b"q%d,c%d,%d,%d.%d,0.%d,\"C(=O)O,%d\",%s" % (
            q, i, i % 7 + 1, 100 - i % 7, i % 10, 9 - i % 7, i, b"true" if i % 3 else b"false"))
    return b"\n".join(lines) + b"\n"


@pytest.fixture(scope="module")
def table_bytes() -> bytes:
    return big_table(60_000)  # about 3.4 MB: many blocks, members and frames


@needs_gzip
@pytest.mark.parametrize("member", [0, 1000, 65_280, 1 << 20])
def test_multi_member_gzip_of_a_large_table(tmp_path, table_bytes, member):
    """Every member is read, bgzip-sized or larger; a member's end lands anywhere in a block."""
    cuts = list(range(member, len(table_bytes), member)) if member else []
    compressed = gzip_members(table_bytes, cuts + [len(table_bytes) // 2] * 2)
    plain_path = tmp_path / "t.csv"
    plain_path.write_bytes(table_bytes)
    path = tmp_path / "t.csv.gz"
    path.write_bytes(compressed)
    expected = probe.read_candidates(str(plain_path))
    assert probe.read_candidates(str(path)) == expected
    assert probe.read_candidates(str(path), background=False, block_size=999) == expected
    assert annotrove.compute_curve(str(path), "margin") == annotrove.compute_curve(
        str(plain_path), "margin")


@needs_zstd
def test_zstd_frames_of_a_large_table(tmp_path, table_bytes):
    cuts = list(range(0, len(table_bytes), 300_000)) + [1_000_000]
    path = tmp_path / "t.csv.zst"
    # A skippable frame first, as some parallel writers put one.
    path.write_bytes(b"\x50\x2a\x4d\x18" + (3).to_bytes(4, "little") + b"abc"
                     + zstd_frames(table_bytes, cuts, level=1))
    assert probe.read_candidates(str(path)) == probe.read_candidates_bytes(table_bytes)
    assert probe.read_candidates(str(path), background=False, block_size=4093) == \
        probe.read_candidates_bytes(table_bytes)


def gzip_tail(payload: bytes) -> bytes:
    return gzip.compress(payload, mtime=0)


TRAILING = [b"junk", b"\x1f", b"\0" * 8, b"\x1f\x8b"]


@needs_gzip
@pytest.mark.parametrize("tail", TRAILING)
def test_gzip_trailing_garbage_is_damage(write_csv, tail):
    path = write_csv(gzip_tail(b"query_id,candidate_id,rank,score\nq,c,1,2\n") + tail)
    with pytest.raises(RuntimeError) as error:
        annotrove.compute_curve(path, "margin")
    assert str(error.value).startswith(f'CSV error: the gzip stream of "{path}" is damaged: ')


@needs_zstd
@pytest.mark.parametrize("tail", [b"junk", b"\x28\xb5", b"\0" * 8])
def test_zstd_trailing_garbage_is_damage(tail):
    data = zstd_frames(b"query_id,candidate_id,rank,score\nq,c,1,2\n", []) + tail
    assert read_bytes(data) == repr((
        "error", "CSV error: the zstd stream of the input is damaged: trailing garbage follows its "
                 "last frame"))


@pytest.mark.parametrize("name", ["t.csv", "t.csv.gz", "t.gz"])
def test_what_is_read_depends_on_the_content_not_the_name(tmp_path, name):
    text = b"query_id,candidate_id,rank,score\nq,c,1,2\n"
    plain = tmp_path / ("plain-" + name)
    plain.write_bytes(text)
    assert probe.read_candidates(str(plain)) == probe.read_candidates_bytes(text)
    if HAS_GZIP:
        packed = tmp_path / name
        packed.write_bytes(gzip_tail(text))
        assert probe.read_candidates(str(packed)) == probe.read_candidates_bytes(text)


@needs_gzip
def test_gzip_of_a_parquet_file_reads_as_its_bytes_do(tmp_path):
    """The Parquet refusal goes by the name: the decompressed bytes are read as CSV, as the plain
    file under a name without .parquet is."""
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    sink = io.BytesIO()
    pq.write_table(pa.table({"query_id": ["q"], "candidate_id": ["c"], "rank": [1], "score": [2.0]}),
                   sink)
    raw = sink.getvalue()
    (tmp_path / "t.bin").write_bytes(raw)
    (tmp_path / "t.parquet.gz").write_bytes(gzip_tail(raw))
    expected = outcome(probe.read_candidates, str(tmp_path / "t.bin"))
    assert expected[0] == "error"
    assert outcome(probe.read_candidates, str(tmp_path / "t.parquet.gz")) == expected
    (tmp_path / "t.parquet").write_bytes(gzip_tail(raw))
    with pytest.raises(RuntimeError, match="^Parquet input detected"):
        probe.read_candidates(str(tmp_path / "t.parquet"))


EMPTY = "Missing required column: query_id"


@pytest.mark.parametrize("content", [
    pytest.param(b"", id="zero-byte file"),
    pytest.param(b"gzip-empty", id="one empty gzip member", marks=needs_gzip),
    pytest.param(b"gzip-empties", id="three empty gzip members", marks=needs_gzip),
    pytest.param(b"zstd-empty", id="one empty zstd frame", marks=needs_zstd),
])
def test_empty_inputs_read_as_an_empty_file(write_csv, content):
    data = {b"": b"", b"gzip-empty": gzip_tail(b""), b"gzip-empties": gzip_tail(b"") * 3,
            b"zstd-empty": zstd_frames(b"", []) if HAS_ZSTD else b""}[content]
    with pytest.raises(RuntimeError) as error:
        annotrove.compute_curve(write_csv(data), "margin")
    assert str(error.value) == EMPTY


@needs_gzip
def test_an_empty_member_between_others_is_passed_over(table_bytes):
    compressed = gzip_tail(table_bytes[:5000]) + gzip_tail(b"") + gzip_tail(table_bytes[5000:])
    assert probe.read_candidates_bytes(compressed) == probe.read_candidates_bytes(table_bytes)


def zip_bytes(data: bytes) -> bytes:
    sink = io.BytesIO()
    with zipfile.ZipFile(sink, "w") as archive:
        archive.writestr("t.csv", data)
    return sink.getvalue()


@pytest.mark.parametrize("name, pack", [
    ("bzip2", bz2.compress), ("xz", lzma.compress), ("zip", zip_bytes)])
def test_formats_not_read_are_refused_by_name(write_csv, name, pack):
    path = write_csv(pack(b"query_id,candidate_id,rank,score\nq,c,1,2\n"), name="t.csv")
    with pytest.raises(RuntimeError) as error:
        annotrove.compute_curve(path, "margin")
    assert str(error.value) == (
        f'CSV error: "{path}" is compressed with {name}, which annotrove does not read; '
        "decompress it first")


@pytest.mark.parametrize("header", [b"BZh9PK", b"BZh91AY", b"PK\x03x", b"(\xc2\xb5/"])
def test_text_that_starts_like_a_signature_is_text(header):
    """bzip2's and zip's signatures are ASCII: only the whole signature counts."""
    data = header + b",query_id,candidate_id,rank,score\n1,q,c,1,2\n"
    assert probe.read_candidates_bytes(data) == [("q", "c", 1, 2.0) + (None,) * 6]


@pytest.mark.parametrize("fmt", ["gzip", "zstd"])
def test_a_build_without_the_library_says_so(write_csv, fmt):
    if fmt == "zstd" and zstandard is None:
        pytest.skip("no zstandard to write zstd with")
    text = b"query_id,candidate_id,rank,score\nq,c,1,2\n"
    path = write_csv(gzip_tail(text) if fmt == "gzip" else zstd_frames(text, []))
    if fmt in probe.COMPRESSIONS:
        assert probe.read_candidates(path) == probe.read_candidates_bytes(text)
    else:
        with pytest.raises(RuntimeError) as error:
            probe.read_candidates(path)
        libraries = {"gzip": "ISA-L or zlib", "zstd": "libzstd"}[fmt]
        assert str(error.value) == (
            f'CSV error: "{path}" is compressed with {fmt}, but this build of annotrove cannot '
            f"read {fmt} (it was built without {libraries}); decompress it first")


@needs_gzip
def test_error_positions_count_in_the_decompressed_text(write_csv, table_bytes):
    faulty = table_bytes + b"q,c,1,oops,0.5,,true\n"
    plain = outcome(probe.read_candidates, write_csv(faulty))
    assert plain[0] == "error" and "at line 60002 (byte " in plain[1]
    assert outcome(probe.read_candidates, write_csv(gzip_tail(faulty))) == plain


@needs_gzip
def test_a_checksum_failure_wins_over_the_text_it_spoiled():
    """A member's checksum is checked at its end, after its text went to the reader: damage that
    made a row unreadable is still reported as damage."""
    text = b"query_id,candidate_id,rank,score\nq,c,1,2\n" * 2
    packed = bytearray(gzip.compress(text, 0, mtime=0))  # stored: the text is visible
    packed[packed.index(b"q,c,1,2") + 6] = ord("x")  # "2" -> "x": an invalid score
    assert read_bytes(bytes(packed)) == repr((
        "error", "CSV error: the gzip stream of the input is damaged: it holds invalid compressed "
                 "data or a wrong checksum"))


@needs_gzip
def test_the_command_reads_gzip_and_writes_gzip_decisions(tmp_path):
    """apply on a compressed table, -o NAME.gz: the decisions of the plain table, gzip-compressed."""
    from test_cli import LABELLED, NEW_BATCH, run

    policy = tmp_path / "policy.json"
    annotrove.save_policy(str(policy), annotrove.calibrate(LABELLED, "margin", 0.1))
    table = tmp_path / "batch.csv.gz"
    with open(NEW_BATCH, "rb") as plain:
        table.write_bytes(gzip_tail(plain.read()))
    assert run("apply", NEW_BATCH, policy, "-o", tmp_path / "plain.csv")[0] == 0
    status, _, errors = run("apply", table, policy, "-o", tmp_path / "decisions.csv.gz")
    assert status == 0, errors
    packed = (tmp_path / "decisions.csv.gz").read_bytes()
    assert packed.startswith(GZIP_MAGIC)
    assert gzip.decompress(packed) == (tmp_path / "plain.csv").read_bytes()
    # No time stamp: the same decisions make the same file.
    assert run("apply", table, policy, "-o", tmp_path / "decisions.csv.gz")[0] == 0
    assert (tmp_path / "decisions.csv.gz").read_bytes() == packed
    assert sorted(os.listdir(tmp_path)) == ["batch.csv.gz", "decisions.csv.gz", "plain.csv",
                                            "policy.json"]


@needs_zstd
def test_a_zstd_window_beyond_the_default_limit_is_refused_not_called_damage():
    """zstd itself refuses windows over 128 MiB unless told otherwise; such a file is sound."""
    params = zstandard.ZstdCompressionParameters.from_level(3, window_log=28, write_content_size=False)
    sink = io.BytesIO()
    with zstandard.ZstdCompressor(compression_params=params).stream_writer(sink, closefd=False) as w:
        w.write(b"query_id,candidate_id,rank,score\nq,c,1,2\n")
    assert read_bytes(sink.getvalue()) == repr((
        "error", "CSV error: the zstd stream of the input needs a window of more than 128 MiB (it was "
                 "written with --long=28 or more), which annotrove does not read; decompress it first"))
