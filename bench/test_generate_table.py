"""Properties of the generated tables that benchmarks and examples rely on.

    python -m pytest bench/test_generate_table.py
"""

from __future__ import annotations

import csv
import math
import re
import sys
from collections import defaultdict
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from generate_table import HEADER, TableConfig, write_table  # noqa: E402

INCHIKEY = re.compile(r"^[A-Z]{14}-[A-Z]{10}-[A-Z]$")


def read_queries(path: Path) -> dict[str, list[dict[str, str]]]:
    queries: dict[str, list[dict[str, str]]] = defaultdict(list)
    with open(path, newline="", encoding="utf-8") as handle:
        for row in csv.DictReader(handle):
            queries[row["query_id"]].append(row)
    return queries


@pytest.mark.parametrize(
    "config",
    [
        TableConfig(queries=300, min_candidates=1, max_candidates=6, seed=3),
        TableConfig(queries=200, min_candidates=5, max_candidates=50, seed=4, shuffle=True),
        TableConfig(queries=200, min_candidates=2, max_candidates=3, seed=5, unlabelled_share=0.5,
                    missing_probability_share=0.3, partial_probability_share=0.3),
    ],
)
def test_every_query_is_a_well_formed_ranked_list(tmp_path: Path, config: TableConfig) -> None:
    path = tmp_path / "table.csv"
    rows = write_table(path, config)
    queries = read_queries(path)
    assert len(queries) == config.queries
    assert sum(len(q) for q in queries.values()) == rows
    for rows_of_query in queries.values():
        ordered = sorted(rows_of_query, key=lambda r: int(r["rank"]))
        assert [int(r["rank"]) for r in ordered] == list(range(1, len(ordered) + 1))
        assert config.min_candidates <= len(ordered) <= config.max_candidates
        scores = [float(r["score"]) for r in ordered]
        assert scores == sorted(scores, reverse=True)
        assert len({r["candidate_id"] for r in ordered}) == len(ordered)
        for row in ordered:
            assert 30 <= len(row["smiles"]) <= 80 and "," not in row["smiles"]
            assert INCHIKEY.match(row["inchikey"])
        labels = {r["is_correct"] for r in ordered}
        if labels == {""}:
            assert {r["target_inchikey"] for r in ordered} == {""}
        else:
            assert labels <= {"true", "false"}
            correct = [r for r in ordered if r["is_correct"] == "true"]
            assert len(correct) <= 1
            if correct:
                assert correct[0]["inchikey"] == ordered[0]["target_inchikey"]
        cells = [r["probability"] for r in ordered]
        if all(cells):
            probabilities = [float(c) for c in cells]
            assert math.isclose(sum(probabilities), 1.0, abs_tol=1e-9)
            # Softmax of the written scores.
            assert math.isclose(probabilities[0] / probabilities[-1], math.exp(scores[0] - scores[-1]), rel_tol=1e-6)


@pytest.mark.parametrize("shuffle", [False, True])
def test_same_seed_same_bytes_and_shuffle_only_reorders(tmp_path: Path, shuffle: bool) -> None:
    config = TableConfig(queries=150, min_candidates=2, max_candidates=9, seed=11, shuffle=shuffle)
    first, second, plain = tmp_path / "a.csv", tmp_path / "b.csv", tmp_path / "plain.csv"
    write_table(first, config)
    write_table(second, config)
    write_table(plain, TableConfig(queries=150, min_candidates=2, max_candidates=9, seed=11))
    assert first.read_bytes() == second.read_bytes()
    text = first.read_text(encoding="utf-8")
    assert text.startswith(HEADER)
    assert sorted(text.splitlines()) == sorted(plain.read_text(encoding="utf-8").splitlines())


def test_top_is_right_more_often_when_its_probability_is_high(tmp_path: Path) -> None:
    path = tmp_path / "table.csv"
    write_table(path, TableConfig(queries=4000, min_candidates=2, max_candidates=10, seed=7,
                                  missing_probability_share=0.0, partial_probability_share=0.0))
    low: list[bool] = []
    high: list[bool] = []
    for rows in read_queries(path).values():
        top = min(rows, key=lambda r: int(r["rank"]))
        if top["is_correct"]:
            (high if float(top["probability"]) >= 0.5 else low).append(top["is_correct"] == "true")
    assert sum(high) / len(high) > sum(low) / len(low) + 0.2


def test_random_order_keeps_each_query_together_and_only_permutes_the_ids(tmp_path: Path) -> None:
    config = TableConfig(queries=300, min_candidates=1, max_candidates=6, seed=12)
    plain, permuted = tmp_path / "plain.csv", tmp_path / "random.csv"
    write_table(plain, config)
    write_table(permuted, TableConfig(queries=300, min_candidates=1, max_candidates=6, seed=12,
                                      random_order=True))
    lines = permuted.read_text(encoding="utf-8").splitlines()[1:]
    ids = [line.split(",", 1)[0] for line in lines]
    runs = [query_id for i, query_id in enumerate(ids) if i == 0 or ids[i - 1] != query_id]
    assert len(runs) == len(set(runs)) == config.queries  # every query is one run
    assert runs != sorted(runs)
    # The k-th query written holds the same rows as in the ascending table, under another id.
    def without_ids(path: Path) -> list[str]:
        return [line.split(",", 1)[1] for line in path.read_text(encoding="utf-8").splitlines()[1:]]
    assert without_ids(permuted) == without_ids(plain)
