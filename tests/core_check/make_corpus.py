"""Writes the inputs on which the native and the Windows builds of the core must agree.

    python tests/core_check/make_corpus.py OUT_DIR [--tables N] [--policies N]

Tables come from the benchmark's table generator, written in every CSV form the reader accepts
(line ends, quoting, byte-order mark, column order, number spellings), some with one fault and
some with several, so that which error wins is compared as well. Policy files are valid ones in
many layouts and broken ones of every kind. The fuzz seeds are added as they are. Whether an
input is valid matters only for the counts printed: the two builds must agree either way.

With --gzip, gzip copies of some of those tables are added as well (single and multi-member, cut
short, with trailing garbage), for builds that read gzip.

Writes OUT_DIR/inputs.txt (one path per line, relative to OUT_DIR, forward slashes) and prints
how many inputs of each kind it wrote. The same arguments always give the same bytes.
"""

from __future__ import annotations

import argparse
import csv
import gzip
import io
import json
import math
import random
import shutil
import struct
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
from generate_table import HEADER, TableConfig, write_table  # noqa: E402

METHODS = ["max_prob", "score_gap", "margin", "entropy", "score_ratio", "top_k_gap",
           "effective_k", "candidate_count"]
CALIBRATIONS = ["empirical", "binomial", "crc"]

# Decimal texts that are hard to round (halfway cases, the edges of the subnormal range, long
# digit strings) and the special spellings the reader accepts.
HARD_NUMBERS = [
    "9007199254740993", "2.2250738585072011e-308", "2.2250738585072014e-308", "4.9e-324",
    "2.4703282292062328e-324", "1.7976931348623157e308", "1.7976931348623158e308", "1e23",
    "8.98846567431158053656668e307", "0.1000000000000000055511151231257827", "5e-324",
    "123456789012345678901234567890", "0.30000000000000004", "-0", "1E+400", "1e-400", ".5", "5.",
    "inf", "-Infinity", "NaN", "+1.0", "0.000000000000000000000000000000000000001",
    "1.00000000000000011102230246251565404236316680908203125",
]
# Probabilities whose logarithms are hard to round; ties and exact zeros make equal confidences.
HARD_PROBABILITIES = ["0.5", "0.25", "0", "1", "0.1", "1e-300", "4.9e-324", "0.999999999999",
                      "0.3333333333333333", "0.6666666666666666", "1.5", "-0.1", "nan"]


# ---------------------------------------------------------------------------------------------
# Tables


def generated_rows(rng: random.Random, shuffle: bool | None = None) -> list[list[bytes]]:
    """Header and rows of one small table from the benchmark generator."""
    low = rng.randint(1, 6)
    config = TableConfig(
        queries=rng.choice([0, 1, 2, 5, 12, 30, 60]),
        min_candidates=low,
        max_candidates=rng.randint(low, 14),
        seed=rng.randrange(1 << 30),
        unlabelled_share=rng.choice([0.0, 0.05, 0.3]),
        missing_probability_share=rng.choice([0.0, 0.02, 0.2]),
        shuffle=rng.random() < 0.3 if shuffle is None else shuffle,
    )
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "table.csv"
        write_table(path, config)
        text = path.read_text(encoding="utf-8")
    return [[cell.encode() for cell in row] for row in csv.reader(io.StringIO(text, newline=""))]


def column(rows: list[list[bytes]], name: bytes) -> int:
    return rows[0].index(name)


def vary_values(rng: random.Random, rows: list[list[bytes]]) -> None:
    """Valid but unusual cells: hard numbers, hexadecimal ranks, equal and extreme probabilities."""
    score, rank, probability = (column(rows, n) for n in (b"score", b"rank", b"probability"))
    for row in rows[1:]:
        roll = rng.random()
        if roll < 0.1:
            row[score] = rng.choice(HARD_NUMBERS).encode()
        elif roll < 0.2:
            row[probability] = rng.choice(HARD_PROBABILITIES).encode()
        elif roll < 0.25:
            row[rank] = rng.choice([b"0x%x", b"0x%X", b"+%d", b"00%d"]) % int(row[rank])
        elif roll < 0.3:
            # Rank ties: the first in file order must stay the top candidate.
            row[rank] = b"1"


def permute_columns(rng: random.Random, rows: list[list[bytes]]) -> list[list[bytes]]:
    order = list(range(len(rows[0])))
    rng.shuffle(order)
    rows = [[row[i] for i in order] for row in rows]
    if rng.random() < 0.5:
        rows[0].append(rng.choice([b"group", b"note", b"Score", b"rank "]))
        for row in rows[1:]:
            row.append(rng.choice([b"", b"x", "é,\"".encode(), b"1\r\n2"]))
    return rows


def serialise(rows: list[list[bytes]], rng: random.Random) -> bytes:
    """The rows in one of the CSV forms the reader accepts."""
    terminator = rng.choice([b"\n", b"\r\n", b"\r"])
    quote_all = rng.random() < 0.2

    def cell(raw: bytes) -> bytes:
        if quote_all or any(c in raw for c in b',"\r\n'):
            return b'"' + raw.replace(b'"', b'""') + b'"'
        return raw

    lines = [b",".join(cell(c) for c in row) for row in rows]
    if rng.random() < 0.2:
        # Blank lines anywhere are skipped.
        for _ in range(rng.randint(1, 3)):
            lines.insert(rng.randint(1, len(lines)), b"")
    data = terminator.join(lines)
    if rng.random() < 0.8:
        data += terminator
    if rng.random() < 0.15:
        data = b"\xef\xbb\xbf" + data
    return data


def valid_table(rng: random.Random) -> bytes:
    rows = generated_rows(rng)
    if rng.random() < 0.7:
        vary_values(rng, rows)
    if rng.random() < 0.4:
        rows = permute_columns(rng, rows)
    return serialise(rows, rng)


def cell_fault(rng: random.Random, rows: list[list[bytes]]) -> str:
    """Makes one cell of one row wrong; returns the fault's name."""
    row = rows[rng.randint(1, len(rows) - 1)]
    header = rows[0]
    kind = rng.choice(["rank", "score", "probability", "is_correct", "utf8", "short", "long",
                       "nul"])
    if kind in ("rank", "score", "probability", "is_correct") and kind.encode() in header:
        bad = {
            "rank": [b"-1", b"1.0", b" 1", b"0X1", b"18446744073709551616", b"", b"0x", b"1e3"],
            "score": [b" 1", b"1_0", b"0x1p3", b"", "∞".encode(), b"1,5", b"--1", b"in"],
            "probability": [b" ", b"nana", b"1e", b"1.2.3"],
            "is_correct": [b"True", b"1", b"yes", b"false "],
        }[kind]
        index = min(header.index(kind.encode()), len(row) - 1)
        row[index] = rng.choice(bad)
    elif kind == "utf8" or kind in ("rank", "score", "probability", "is_correct"):
        kind = "utf8"
        index = rng.randrange(len(row))
        row[index] = row[index] + rng.choice([b"\xc0\x80", b"\xed\xa0\x80", b"\xff", b"\xe2\x82"])
    elif kind == "short" and len(row) > 1:
        row.pop()
    elif kind in ("long", "short"):
        kind = "long"
        row.append(b"extra")
    else:
        row[-1] += b"\x00"
    return kind


def header_fault(rng: random.Random, rows: list[list[bytes]]) -> str:
    header = rows[0]
    present = [n for n in (b"query_id", b"candidate_id", b"rank", b"score") if n in header]
    kind = rng.choice(["missing", "blank", "duplicate", "utf8"])
    if kind in ("missing", "blank") and present:
        index = header.index(rng.choice(present))
        if kind == "missing":
            for row in rows:
                del row[index]
        else:
            header[index] = b" " + header[index]
    elif kind == "duplicate" and b"smiles" in header:
        header[header.index(b"smiles")] = b"probability"
    else:
        kind = "utf8"
        header[-1] += b"\xff"
    return kind


def faulty_table(rng: random.Random, faults: int) -> tuple[bytes, list[str]]:
    rows = generated_rows(rng, shuffle=False)
    if len(rows) < 3:
        # Room for a fault in a data row.
        rows = [HEADER.strip().encode().split(b",")] + [
            [b"q", b"c%d" % i, b"%d" % i, b"1.0", b"0.5", b"C", b"K", b"F", b"K", b"true"]
            for i in (1, 2)]
    names = []
    for _ in range(faults):
        if rng.random() < 0.2:
            names.append(header_fault(rng, rows))
        else:
            names.append(cell_fault(rng, rows))
    data = serialise(rows, rng)
    if rng.random() < 0.1:
        # A file ending inside a quoted field.
        data = data.rstrip(b"\r\n") + b',"unclosed'
        names.append("unclosed")
    if rng.random() < 0.05:
        cut = rng.randrange(len(data))
        data = data[:cut]
        names.append("truncated")
    return data, names


def odd_tables() -> dict[str, bytes]:
    """Fixed tables for cases the random ones reach rarely."""
    header = b"query_id,candidate_id,rank,score,probability,is_correct"
    return {
        "empty.csv": b"",
        "header_only.csv": header,
        "bom_only.csv": b"\xef\xbb\xbf",
        "blank_lines_only.csv": b"\r\n\r\n\n\r",
        "named_parquet.parquet": header + b"\nq,a,1,1,0.5,true\n",
        "upper_parquet.PARQUET": header + b"\nq,a,1,1,0.5,true\n",
        "données é.csv": header + b"\nq\xc3\xa9,a,1,1,0.5,true\nq\xc3\xa9,b,2,0.5,0.5,false\n",
        "crlf_in_quotes.csv": header + b'\r\n"q\r\n1","a\r\nb",1,1,0.5,true\r\n',
        # Ctrl-Z ends a file read in text mode on Windows.
        "ctrl_z.csv": header + b"\nq,a\x1ab,1,1,0.5,true\nq,c,2,0.5,0.25,false\n",
        "equal_confidences.csv": header + b"\n" + b"".join(
            b"q%d,a,1,%d,0.25,%s\nq%d,b,2,0,0.25,false\n" % (i, i % 3, b"true" if i % 2 else b"false", i)
            for i in range(40)),
    }


def big_table(rng: random.Random, queries: int) -> bytes:
    """One table larger than the reader's block, with long quoted fields across the boundary."""
    config = TableConfig(queries=queries, min_candidates=3, max_candidates=20,
                         seed=rng.randrange(1 << 30), shuffle=True)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "big.csv"
        write_table(path, config)
        data = path.read_bytes()
    return data.replace(b"\n", b"\r\n")


# ---------------------------------------------------------------------------------------------
# Policy files


def interesting_float(rng: random.Random) -> float:
    roll = rng.random()
    if roll < 0.3:
        return rng.choice([0.0, -0.0, 1.0, 0.05, 0.1, 1e15, 1e16, 1e-5, 1e-6, 1.7976931348623157e308,
                           5e-324, 2.2250738585072014e-308, 123.456, -7.0, 0.42])
    if roll < 0.6:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    return rng.uniform(-2, 2) * 10.0 ** rng.randint(-20, 20)


def json_number(value: float, rng: random.Random) -> str:
    if math.isnan(value) or math.isinf(value):
        return "null"
    if value == int(value) and abs(value) < 1e18 and rng.random() < 0.3:
        return str(int(value))
    text = repr(value)
    if rng.random() < 0.2:
        text = text.replace("e", "E")
    return text


def random_text(rng: random.Random) -> str:
    pieces = ["annotrove", "é", "\U0001f600", "\\", '"', "\t", "\n", "\x01", "\x7f", "batch", " ",
              "\u2028", "x"]
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 6)))


def encode_string(text: str, rng: random.Random) -> str:
    # Either escaped everywhere or only where JSON needs it.
    return json.dumps(text, ensure_ascii=rng.random() < 0.5)


def policy_members(rng: random.Random) -> list[tuple[str, str]]:
    members = [
        ("version", encode_string("0.1.0", rng)),
        ("scoring_method", encode_string(rng.choice(METHODS), rng)),
        ("threshold", json_number(interesting_float(rng), rng)),
        ("target_error_rate", json_number(interesting_float(rng), rng)),
        ("calibration_method", encode_string(rng.choice(CALIBRATIONS), rng)),
        ("confidence_level", rng.choice(["null", "0.95", "0.9", json_number(interesting_float(rng), rng)])),
        ("created_by", encode_string(random_text(rng), rng)),
    ]
    if rng.random() < 0.5:
        members.append(("group_col", rng.choice(["null", encode_string(random_text(rng), rng)])))
    if rng.random() < 0.5:
        groups = [(encode_string(random_text(rng), rng), json_number(interesting_float(rng), rng))
                  for _ in range(rng.randint(0, 4))]
        if groups and rng.random() < 0.3:
            groups.append((groups[0][0], json_number(interesting_float(rng), rng)))
        members.append(("group_thresholds", "{" + ",".join(f"{k}:{v}" for k, v in groups) + "}"))
    if rng.random() < 0.2:
        members.insert(rng.randrange(len(members)),
                       ("comment", rng.choice(['[1, {"a": [null]}]', '"x"', "-1.5e3", "{}"])))
    if rng.random() < 0.3:
        rng.shuffle(members)
    return members


def layout(members: list[tuple[str, str]], rng: random.Random) -> bytes:
    style = rng.choice(["writer", "compact", "crlf", "tabs"])
    if style == "compact":
        text = "{" + ",".join(f'"{k}":{v}' for k, v in members) + "}"
    else:
        newline = "\r\n" if style == "crlf" else "\n"
        indent = "\t" if style == "tabs" else "  "
        text = "{" + newline + ("," + newline).join(f'{indent}"{k}": {v}' for k, v in members)
        text += newline + "}"
    if rng.random() < 0.2:
        text += rng.choice(["\n", "\r\n", " \t\r\n"])
    return text.encode()


POLICY_FAULTS = ["version", "missing", "duplicate", "type", "method", "trailing", "truncated",
                 "utf8", "surrogate", "array_short", "not_object", "empty", "bom", "nesting"]


def broken_policy(rng: random.Random, fault: str) -> bytes:
    members = policy_members(rng)
    keys = [k for k, _ in members]
    if fault == "version":
        members[keys.index("version")] = ("version", rng.choice(['"0.1.1"', '"0.1.0 "', '""', '"0.1"']))
    elif fault == "missing":
        for name in rng.sample(["version", "scoring_method", "threshold", "created_by",
                                "calibration_method", "target_error_rate"], rng.randint(1, 3)):
            members = [m for m in members if m[0] != name]
    elif fault == "duplicate":
        members.append(rng.choice(members))
    elif fault == "type":
        # Only members the file has: an optional one may have been left out.
        name = rng.choice([k for k in ["threshold", "target_error_rate", "version", "created_by",
                                       "confidence_level", "group_thresholds"] if k in keys])
        members[keys.index(name)] = (name, rng.choice(['"1"', "true", "[]", "null", "{}", "1"]))
    elif fault == "utf8":
        members[keys.index("created_by")] = ("created_by", '"@@bad@@"')
    elif fault == "method":
        name = rng.choice(["scoring_method", "calibration_method"])
        members[keys.index(name)] = (name, rng.choice(['"Margin"', '"top-k-gap"', '"LTT"', '""']))
    data = layout(members, rng)
    if fault == "trailing":
        data += rng.choice([b"x", b"\n}", b"\x00", b"{}", b"\f"])
    elif fault == "truncated":
        data = data[: rng.randrange(len(data))]
    elif fault == "utf8":
        data = data.replace(b"@@bad@@", rng.choice([b"a\xffb", b"\xc0\x80", b"\xed\xa0\x80"]))
    elif fault == "surrogate":
        data = data.replace(b'"version"', b'"version\\ud800"', 1)
    elif fault == "array_short":
        data = ("[" + ", ".join(v for _, v in members[:rng.randint(0, 8)]) + "]").encode()
    elif fault == "not_object":
        data = rng.choice([b"null", b"1", b'"policy"', b"true"])
    elif fault == "empty":
        data = rng.choice([b"", b" ", b"\r\n"])
    elif fault == "bom":
        data = b"\xef\xbb\xbf" + data
    elif fault == "nesting":
        depth = rng.choice([10, 1000, 100000])
        data = data[:-1] + b',"deep": ' + b"[" * depth + b"]" * depth + b"}"
    return data


def array_policy(rng: random.Random) -> bytes:
    members = dict(policy_members(rng))
    order = ["version", "scoring_method", "threshold", "target_error_rate", "calibration_method",
             "confidence_level", "created_by", "group_col", "group_thresholds"]
    return ("[" + ", ".join(members.get(k, "null") for k in order) + "]").encode()


def gzip_copies(out: Path, inputs: list[str], rng: random.Random) -> dict[str, bytes]:
    """Every tenth table so far as gzip in one member or several (some empty), and a few damaged
    ones. The time stamp is fixed, so the same arguments give the same bytes."""
    copies: dict[str, bytes] = {}
    for index, relative in enumerate(inputs[::10]):
        data = (out / relative).read_bytes()
        cuts = sorted(rng.randint(0, len(data)) for _ in range(index % 4))
        edges = [0, *cuts, len(data)]
        members = b"".join(gzip.compress(data[a:b], 1 + index % 9, mtime=0) for a, b in zip(edges, edges[1:]))
        name = relative.replace("/", "_").replace(".csv", "")
        copies[f"{name}.csv.gz"] = members
        if index % 7 == 0:
            copies[f"{name}_cut.csv.gz"] = members[: rng.randint(2, len(members) - 1)]
            copies[f"{name}_trailing.csv.gz"] = members + b"garbage"
    return copies


# ---------------------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--tables", type=int, default=300, help="of each kind (valid, one fault, several)")
    parser.add_argument("--policies", type=int, default=300)
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--gzip", action="store_true", help="add gzip copies of some tables")
    args = parser.parse_args(argv)
    out = Path(args.out)
    shutil.rmtree(out, ignore_errors=True)
    rng = random.Random(args.seed)
    inputs: list[str] = []
    counts: dict[str, int] = {}

    def put(kind: str, name: str, data: bytes) -> None:
        path = out / kind / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        inputs.append(f"{kind}/{name}")
        counts[kind] = counts.get(kind, 0) + 1

    for i in range(args.tables):
        put("tables/valid", f"t{i:03d}.csv", valid_table(rng))
    for i in range(args.tables):
        data, _ = faulty_table(rng, 1)
        put("tables/one_fault", f"t{i:03d}.csv", data)
    for i in range(args.tables):
        data, _ = faulty_table(rng, rng.randint(2, 4))
        put("tables/several_faults", f"t{i:03d}.csv", data)
    for name, data in odd_tables().items():
        put("tables/odd", name, data)
    put("tables/big", "shuffled_crlf.csv", big_table(rng, 3000))
    if args.gzip:
        # A stream of its own, so that the policies below are the same with and without --gzip.
        for name, data in gzip_copies(out, inputs, random.Random(args.seed + 1)).items():
            put("tables/gzip", name, data)
    inputs.append("tables/odd/missing.csv")  # does not exist
    counts["tables/odd"] += 1

    valid_policies = args.policies // 2
    for i in range(valid_policies):
        data = array_policy(rng) if i % 10 == 9 else layout(policy_members(rng), rng)
        put("policies/valid", f"p{i:03d}.json", data)
    for i in range(args.policies - valid_policies):
        put("policies/broken", f"p{i:03d}.json", broken_policy(rng, POLICY_FAULTS[i % len(POLICY_FAULTS)]))
    put("policies/valid", "é policy.json", layout(policy_members(rng), rng))

    for kind in ("candidate_table", "policy_file"):
        for seed in sorted((ROOT / "fuzz" / "corpus" / kind).iterdir()):
            put(f"fuzz/{kind}", seed.name, seed.read_bytes())

    (out / "inputs.txt").write_bytes("".join(p + "\n" for p in inputs).encode())
    print(f"{len(inputs)} inputs: " + ", ".join(f"{n} {k}" for k, n in counts.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
