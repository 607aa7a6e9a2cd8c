"""Do compare_scores' 95 % intervals contain the truth 95 % of the time? Checked by simulation.

Tables come from known models (those of examples/guarantees.py): a query's top probability c is
uniform on [0, 1] and its top candidate is right with probability c (calibrated) or c^2
(over-confident); the second candidate's probability is (1 - c) u with u uniform, so margin and
max-prob differ; queries with a low top probability carry more candidates (up to five), so that
resampling candidates rather than queries would show. The truth is each statistic on 10^6 queries
of the same model, computed here with NumPy. Over many tables, every interval, and the interval of
the paired AURC difference between margin and max-prob, must contain the truth in 92-98 % of them.

The normal run (calibrated model, n = 500 and 5000, 400 tables each) takes well under a minute.
ANNOTROVE_LONG_SIMULATION=1 runs both models with 1000 tables and 2000 resamples each, and prints
the coverage figures the guide quotes (pytest -s to see them).
"""

import os

import pytest

import annotrove

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pacsv = pytest.importorskip("pyarrow.csv")

LONG = os.environ.get("ANNOTROVE_LONG_SIMULATION") == "1"
STATISTICS = ("aurc", "augrc", "auroc")
METHODS = ("max-prob", "margin")
if LONG:
    CASES = [(model, n, 1000, 2000) for model in ("calibrated", "over-confident") for n in (500, 5000)]
else:
    CASES = [("calibrated", 500, 400, 1000), ("calibrated", 5000, 400, 1000)]


def draw(rng, n, model):
    c = rng.random(n)
    right = rng.random(n) < (c if model == "calibrated" else c * c)
    second = (1.0 - c) * rng.random(n)
    extra = (rng.random(n) * 4 * (1.0 - c)).astype(np.int64)
    return c, second, right, extra


def write(path, c, second, right, extra):
    counts = 2 + extra
    query = np.repeat(np.arange(len(c)), counts)
    rank = np.arange(len(query)) - np.repeat(np.cumsum(counts) - counts, counts) + 1
    probability = np.where(rank == 1, c[query], np.where(rank == 2, second[query], 0.0))
    table = pa.table({"query_id": query, "candidate_id": rank, "rank": rank, "score": probability,
                      "probability": probability, "is_correct": np.where(rank == 1, right[query], False)})
    pacsv.write_csv(table, path, pacsv.WriteOptions(quoting_style="none"))
    return str(path)


def statistics(c, second, right):
    """AURC, AUGRC and failure AUROC of max-prob and margin, continuous confidences (no ties)."""
    result = {}
    n = len(c)
    for name, confidence in (("max-prob", c), ("margin", c - second)):
        wrong = ~right[np.argsort(-confidence, kind="stable")]
        accepted = np.arange(1, n + 1)
        errors = np.cumsum(wrong)
        coverage = accepted / n
        step = np.diff(coverage, prepend=0.0)
        risk, generalized = errors / accepted, errors / n
        aurc = np.sum((np.concatenate(([0.0], risk[:-1])) + risk) * step * 0.5)
        augrc = np.sum((np.concatenate(([0.0], generalized[:-1])) + generalized) * step * 0.5)
        auroc = np.sum(np.cumsum(~wrong)[wrong]) / ((~wrong).sum() * wrong.sum())
        result[name] = {"aurc": aurc, "augrc": augrc, "auroc": auroc}
    return result


@pytest.mark.parametrize(("model", "n", "tables", "resamples"), CASES)
def test_intervals_contain_the_truth_as_often_as_they_claim(tmp_path, model, n, tables, resamples):
    rng = np.random.default_rng(20240607 + n)
    truth = statistics(*draw(rng, 1_000_000, model)[:3])
    true_difference = truth["margin"]["aurc"] - truth["max-prob"]["aurc"]
    hits = {f"{m} {s}": 0 for m in METHODS for s in STATISTICS} | {"AURC difference": 0}
    path = tmp_path / "table.csv"
    for i in range(tables):
        rows = annotrove.compare_scores(write(path, *draw(rng, n, model)), list(METHODS), resamples=resamples,
                                        seed=i)
        by_name = {row["score"]: row for row in rows}
        for m in METHODS:
            for s in STATISTICS:
                hits[f"{m} {s}"] += by_name[m][f"{s}_low"] <= truth[m][s] <= by_name[m][f"{s}_high"]
        # The difference is reported against the best of the two: margin - max-prob either way.
        if rows[0]["score"] == "max-prob":
            low, high = by_name["margin"]["aurc_difference_low"], by_name["margin"]["aurc_difference_high"]
        else:
            low, high = -by_name["max-prob"]["aurc_difference_high"], -by_name["max-prob"]["aurc_difference_low"]
        hits["AURC difference"] += low <= true_difference <= high
    shares = {name: count / tables for name, count in hits.items()}
    print(f"\n{model}, n = {n}, {tables} tables, {resamples} resamples: "
          + ", ".join(f"{name} {share:.3f}" for name, share in shares.items()))
    outside = {name: share for name, share in shares.items() if not 0.92 <= share <= 0.98}
    assert not outside, f"coverage outside 92-98 %: {outside}"
