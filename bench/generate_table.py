"""Deterministic generator of realistic candidate tables for benchmarks and examples.

Each query gets between min and max candidates drawn from a pool of made-up
structures (SMILES-like text, InChIKey-shaped key, molecular formula), raw
scores in descending rank order, and probabilities that are the softmax of
those scores. Labels follow the top candidate's probability, so confidence
scores are informative and risk-coverage curves have a shape worth looking at.

    python bench/generate_table.py OUT.csv --queries 200000 \
        --min-candidates 5 --max-candidates 50 --seed 1 [--unlabelled-share 0.05] \
        [--shuffle | --random-order]

Only the standard library is used; the same seed always gives the same bytes.
"""

from __future__ import annotations

import argparse
import functools
import math
import os
import random
import sys
import time
from dataclasses import dataclass
from pathlib import Path

HEADER = "query_id,candidate_id,rank,score,probability,smiles,inchikey,formula,target_inchikey,is_correct\n"

# A prime pool size lets one query walk the pool with a stride that never
# revisits an entry, so a query's candidates are distinct structures without
# the cost of random.sample.
POOL_SIZE = 20011
POOL_SEED = 20011
# Bumped whenever the same config would produce different bytes, so cached tables are not reused.
GENERATOR_VERSION = 2

_UPPER = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_CHUNK_CHARS = 1 << 22


@dataclass(frozen=True)
class TableConfig:
    queries: int = 200_000
    min_candidates: int = 5
    max_candidates: int = 50
    seed: int = 1
    unlabelled_share: float = 0.05
    # Queries whose probability cells are all empty (no max-prob, margin, entropy).
    missing_probability_share: float = 0.02
    # Queries whose probability cells are empty below rank 3 only (margin works,
    # entropy and effective-k do not).
    partial_probability_share: float = 0.01
    shuffle: bool = False
    # Each query's rows together, but the queries in random id order, as tools write them when
    # they process queries in their own order. The k-th query written has the same rows as in the
    # ascending table; only the ids are permuted, so curves are identical.
    random_order: bool = False
    query_prefix: str = "Q"

    def validate(self) -> None:
        if self.queries < 0:
            raise ValueError("queries must be >= 0")
        if not 1 <= self.min_candidates <= self.max_candidates:
            raise ValueError("need 1 <= min_candidates <= max_candidates")
        # One more pool entry than candidates: the true structure of a query whose
        # answer is missing from its list.
        if self.max_candidates >= POOL_SIZE:
            raise ValueError(f"max_candidates must be < {POOL_SIZE}")
        if self.shuffle and self.random_order:
            raise ValueError("shuffle and random_order exclude each other")
        for name in ("unlabelled_share", "missing_probability_share", "partial_probability_share"):
            share = getattr(self, name)
            if not 0.0 <= share <= 1.0:
                raise ValueError(f"{name} must lie in [0, 1]")


@dataclass(frozen=True)
class Structure:
    candidate_id: str
    smiles: str
    inchikey: str
    formula: str


def _random_smiles(rng: random.Random) -> tuple[str, dict[str, int]]:
    """A SMILES-like text of 30 to 80 characters and its heavy-atom counts."""
    target = rng.randint(30, 80)
    atoms = ("C",) * 8 + ("c",) * 6 + ("N", "N", "n", "O", "O", "O", "S", "F", "Cl", "Br")
    bonds = ("", "", "", "", "", "=")
    parts: list[str] = []
    counts: dict[str, int] = {}
    length = 0
    open_branches = 0
    open_rings: list[tuple[str, int]] = []
    next_ring = 1
    while length < target - open_branches - len(open_rings) - 2:
        roll = rng.random()
        if roll < 0.08 and length > 0:
            token = "("
            open_branches += 1
        elif roll < 0.16 and open_branches > 0 and parts[-1] != "(":
            token = ")"
            open_branches -= 1
        elif roll < 0.21 and next_ring < 10 and length > 0:
            token = str(next_ring)
            open_rings.append((token, length))
            next_ring += 1
        elif roll < 0.25 and open_rings and length - open_rings[-1][1] > 4:
            token = open_rings.pop()[0]
        else:
            atom = rng.choice(atoms)
            bond = rng.choice(bonds) if length > 0 and parts[-1] != "(" and atom in "CNO" else ""
            token = bond + atom
            key = atom.upper() if len(atom) == 1 else atom
            counts[key] = counts.get(key, 0) + 1
        parts.append(token)
        length += len(token)
    parts.extend(digit for digit, _ in open_rings)
    parts.append(")" * open_branches)
    text = "".join(parts)
    while len(text) < 30:
        text += "C"
        counts["C"] = counts.get("C", 0) + 1
    return text[:80], counts


def _formula(counts: dict[str, int], rng: random.Random) -> str:
    """Hill-order formula: C, H, then the other elements alphabetically."""
    carbons = counts.get("C", 0)
    halogens = counts.get("F", 0) + counts.get("Cl", 0) + counts.get("Br", 0)
    hydrogens = max(0, 2 * carbons + 2 + counts.get("N", 0) - halogens - 2 * rng.randint(0, 4))
    out: list[str] = []
    for element, count in (("C", carbons), ("H", hydrogens)):
        if count:
            out.append(element if count == 1 else f"{element}{count}")
    for element in sorted(k for k in counts if k != "C"):
        count = counts[element]
        out.append(element if count == 1 else f"{element}{count}")
    return "".join(out)


def _inchikey(rng: random.Random) -> str:
    first = "".join(rng.choices(_UPPER, k=14))
    second = "".join(rng.choices(_UPPER, k=8)) + "SA"
    return f"{first}-{second}-N"


def make_pool(rng: random.Random, size: int = POOL_SIZE) -> list[Structure]:
    """Made-up structures standing in for a compound database."""
    pool: list[Structure] = []
    for index in range(size):
        smiles, counts = _random_smiles(rng)
        pool.append(Structure(f"MOL{index:07d}", smiles, _inchikey(rng), _formula(counts, rng)))
    return pool


class _Pool:
    """Structures as parallel lists, with each one's descriptive cells pre-joined."""

    @staticmethod
    @functools.cache
    def shared() -> _Pool:
        # One database for every table, whatever its seed, as candidates of real
        # tables come from the same compound library; built once per process.
        return _Pool(make_pool(random.Random(POOL_SEED)))

    def __init__(self, structures: list[Structure]) -> None:
        self.ids = [s.candidate_id for s in structures]
        self.inchikeys = [s.inchikey for s in structures]
        self.cells = [f"{s.smiles},{s.inchikey},{s.formula}" for s in structures]


def _query_lines(rng: random.Random, config: TableConfig, pool: _Pool, query_id: str) -> list[str]:
    """The rows of one query, in rank order."""
    random_ = rng.random
    log = math.log
    n = rng.randint(config.min_candidates, config.max_candidates)
    # Sharpness of the query: a large first gap makes the top candidate dominate.
    first_gap = rng.expovariate(1.0 / rng.lognormvariate(0.3, 0.9))
    score = rng.uniform(8.0, 16.0)
    raw = [score, score - first_gap]
    for _ in range(2, n):
        # Exponential gaps of mean 0.5 further down the list.
        raw.append(raw[-1] + 0.5 * log(1.0 - random_()))
    score_cells = ["%.6f" % s for s in raw[:n]]
    scores = [float(cell) for cell in score_cells]
    # Softmax of the scores as written, so a reader recomputing it agrees.
    top = scores[0]
    weights = [math.exp(s - top) for s in scores]
    total = math.fsum(weights)
    probabilities = [w / total for w in weights]

    start = rng.randrange(POOL_SIZE)
    stride = rng.randrange(1, POOL_SIZE)
    members = [(start + i * stride) % POOL_SIZE for i in range(n)]

    labelled = random_() >= config.unlabelled_share
    correct_position = -1
    target_key = ""
    if labelled:
        # Slightly under-confident model: the top is right a bit more often
        # than its probability says, and a wrong top often has the answer
        # further down the list.
        if random_() < probabilities[0] ** 0.8:
            correct_position = 0
        elif n > 1 and random_() < 0.6:
            correct_position = min(n - 1, 1 + int(rng.expovariate(0.7)))
        if correct_position >= 0:
            target_key = pool.inchikeys[members[correct_position]]
        else:
            target_key = pool.inchikeys[(start + n * stride) % POOL_SIZE]

    probability_roll = random_()
    if probability_roll < config.missing_probability_share:
        probability_cells = [""] * n
    elif probability_roll < config.missing_probability_share + config.partial_probability_share:
        probability_cells = ["%.12g" % p if i < 3 else "" for i, p in enumerate(probabilities)]
    else:
        probability_cells = ["%.12g" % p for p in probabilities]

    ids = pool.ids
    cells = pool.cells
    if labelled:
        labels = ["false"] * n
        if correct_position >= 0:
            labels[correct_position] = "true"
    else:
        labels = [""] * n
    tail = f",{target_key},"
    return [
        f"{query_id},{ids[m]},{i + 1},{score_cells[i]},{probability_cells[i]},{cells[m]}{tail}{labels[i]}\n"
        for i, m in enumerate(members)
    ]


def write_table(path: str | os.PathLike[str], config: TableConfig) -> int:
    """Write one table; returns the number of data rows."""
    config.validate()
    rng = random.Random(config.seed)
    pool = _Pool.shared()
    width = max(6, len(str(config.queries)))
    rows = 0
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(HEADER)
        if config.shuffle:
            # Scatter every query's rows through the file; readers must regroup.
            every: list[str] = []
            for q in range(config.queries):
                every.extend(_query_lines(rng, config, pool, f"{config.query_prefix}{q:0{width}d}"))
            rng.shuffle(every)
            rows = len(every)
            for begin in range(0, rows, 65536):
                out.write("".join(every[begin : begin + 65536]))
            return rows
        numbers: range | list[int] = range(config.queries)
        if config.random_order:
            numbers = list(numbers)
            random.Random(config.seed + 1).shuffle(numbers)
        buffer: list[str] = []
        buffered = 0
        for q in numbers:
            lines = _query_lines(rng, config, pool, f"{config.query_prefix}{q:0{width}d}")
            rows += len(lines)
            buffer.extend(lines)
            buffered += len(lines) * 160
            if buffered >= _CHUNK_CHARS:
                out.write("".join(buffer))
                buffer.clear()
                buffered = 0
        out.write("".join(buffer))
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", help="CSV file to write")
    parser.add_argument("--queries", type=int, default=TableConfig.queries)
    parser.add_argument("--min-candidates", type=int, default=TableConfig.min_candidates)
    parser.add_argument("--max-candidates", type=int, default=TableConfig.max_candidates)
    parser.add_argument("--seed", type=int, default=TableConfig.seed)
    parser.add_argument("--unlabelled-share", type=float, default=TableConfig.unlabelled_share)
    parser.add_argument("--missing-probability-share", type=float, default=TableConfig.missing_probability_share)
    parser.add_argument("--shuffle", action="store_true", help="scatter each query's rows through the file")
    parser.add_argument("--random-order", action="store_true",
                        help="keep each query's rows together, but write the queries in random id order")
    args = parser.parse_args(argv)
    config = TableConfig(
        queries=args.queries,
        min_candidates=args.min_candidates,
        max_candidates=args.max_candidates,
        seed=args.seed,
        unlabelled_share=args.unlabelled_share,
        missing_probability_share=args.missing_probability_share,
        shuffle=args.shuffle,
        random_order=args.random_order,
    )
    started = time.perf_counter()
    try:
        rows = write_table(args.out, config)
    except ValueError as error:
        parser.error(str(error))
    elapsed = time.perf_counter() - started
    size_mb = os.path.getsize(args.out) / 1e6
    print(f"wrote {rows:,} rows ({config.queries:,} queries, {size_mb:.1f} MB) to {args.out} in {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
