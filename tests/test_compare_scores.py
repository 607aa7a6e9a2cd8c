"""augrc, and compare_scores: point values, bootstrap bounds, the generator and the arguments."""

import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import annotrove
import comparison_reference as cref
import score_reference as ref

ROW_KEYS = ["score", "aurc", "aurc_low", "aurc_high", "eaurc", "eaurc_low", "eaurc_high", "augrc", "augrc_low",
            "augrc_high", "auroc", "auroc_low", "auroc_high", "scored", "labelled", "top1_error", "aurc_difference",
            "aurc_difference_low", "aurc_difference_high", "distinguishable"]


def point(coverage, risk, accepted=1, total=1, errors=0, threshold=0.5):
    return dict(threshold=threshold, accepted=accepted, total=total, coverage=coverage, errors=errors, risk=risk)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return ref.same_float(a, b)
    return a == b and type(a) is type(b)


# ---------------------------------------------------------------------------------------------
# augrc


def test_augrc_of_the_worked_curve_by_hand():
    # Generalized risks errors / total: 0, 0, 1/5, 1/5 at coverages 0.2, 0.4, 0.8, 1.0. Only the
    # last two trapezoids have height: (0 + 0.2) / 2 * 0.4 + (0.2 + 0.2) / 2 * 0.2 = 0.08.
    worked = [
        point(0.2, 0.0, accepted=1, total=5, errors=0, threshold=0.9),
        point(0.4, 0.0, accepted=2, total=5, errors=0, threshold=0.7),
        point(0.8, 0.25, accepted=4, total=5, errors=1, threshold=0.5),
        point(1.0, 0.2, accepted=5, total=5, errors=1, threshold=0.2),
    ]
    assert annotrove.augrc(worked) == pytest.approx(0.08, rel=1e-15)
    # A single point is the triangle from the origin; the risk field plays no part.
    assert annotrove.augrc([point(1.0, None, accepted=4, total=4, errors=1)]) == 0.125


def test_augrc_follows_the_conventions_of_aurc():
    assert math.isnan(annotrove.augrc([]))
    assert annotrove.augrc([point(0.5, 0.3, total=0, errors=3)]) == 0.0  # zero total: risk 0
    with pytest.raises(TypeError) as raised:
        annotrove.augrc((point(1.0, 0.2),))
    assert "while processing 'curve'" in raised.value.__notes__
    with pytest.raises(KeyError, match="missing 'errors'"):
        annotrove.augrc([{k: v for k, v in point(1.0, 0.2).items() if k != "errors"}])
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        annotrove.augrc([], [])


points = st.builds(
    point,
    coverage=st.floats(-0.5, 1.5, allow_nan=False),  # coverage that falls as well as rises
    risk=st.none() | st.floats(0, 1),  # absent risks must not matter
    accepted=st.integers(0, 50),
    total=st.integers(0, 50),  # zero totals give risk 0
    errors=st.integers(0, 60),
)


@given(st.lists(points, max_size=30))
def test_augrc_matches_an_independent_sum_bit_for_bit(curve):
    assert same(annotrove.augrc(curve), cref.augrc(curve))


# ---------------------------------------------------------------------------------------------
# compare_scores against the Python reference


@st.composite
def tables(draw):
    """Small tables with ties, missing probabilities, unlabelled and one-candidate queries."""
    rows = []
    for q in range(draw(st.integers(0, 30))):
        candidates = draw(st.integers(1, 4))
        label_top = draw(st.sampled_from([True, False, False, None]))
        probabilities = draw(st.lists(st.sampled_from([0.1, 0.2, 0.25, 0.5, 0.7, 0.9, None]),
                                      min_size=candidates, max_size=candidates))
        for c in range(candidates):
            rows.append(ref.Row(f"q{q:03d}", f"c{c}", c + 1, float(draw(st.sampled_from([1, 2, 3, 5]))),
                                probabilities[c], label_top if c == 0 else False))
    return rows


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=tables(), resamples=st.integers(0, 20), level=st.floats(0.5, 0.99),
       seed=st.integers(-(2**63), 2**64 - 1))
def test_compare_scores_matches_the_python_reference_bit_for_bit(tmp_path, rows, resamples, level, seed):
    path = ref.write_table(tmp_path / "table.csv", rows)
    got = annotrove.compare_scores(path, resamples=resamples, level=level, seed=seed)
    expected = cref.compare_scores(rows, resamples=resamples, level=level, seed=seed)
    assert [list(row) for row in got] == [ROW_KEYS] * len(got)
    for g, e in zip(got, expected, strict=True):
        for key in ROW_KEYS:
            assert same(g[key], e[key]), (g["score"], key, g[key], e[key])


def test_the_generator_is_the_published_one():
    # xoshiro256** from the state 1, 2, 3, 4 (the reference implementation's own first outputs).
    stream = cref.Stream(0, 0)
    stream.s = [1, 2, 3, 4]
    assert [stream.next() for _ in range(3)] == [11520, 0, 1509978240]
    # SplitMix64 seeded with 0 starts 0xE220A8397B1DCDAF.
    assert cref.split_mix_64(cref.GAMMA) == 0xE220A8397B1DCDAF


# ---------------------------------------------------------------------------------------------
# Point values and the table


def test_point_values_are_those_of_compute_curve_and_a_pairwise_auroc(labelled_table):
    rows = annotrove.compare_scores(labelled_table, resamples=0)
    assert [row["score"] for row in rows] == sorted(
        cref.DEFAULT_SCORES, key=lambda s: (math.isnan(annotrove.aurc(annotrove.compute_curve(labelled_table, s))),
                                            annotrove.aurc(annotrove.compute_curve(labelled_table, s))))
    for row in rows:
        curve = annotrove.compute_curve(labelled_table, row["score"])
        assert same(row["aurc"], annotrove.aurc(curve))
        assert same(row["eaurc"], annotrove.eaurc(curve))
        assert same(row["augrc"], annotrove.augrc(curve))
        assert row["scored"] == (curve[-1]["accepted"] if curve else 0)
        # Failure AUROC by brute force over every (correct, wrong) pair, unscored lowest.
        queries = [(confidence, label) for confidence, label in labelled_pairs(labelled_table, row["score"])]
        right = [c for c, label in queries if label]
        wrong = [c for c, label in queries if not label]
        wins = sum(1.0 if beats(a, b) else 0.5 if a == b else 0.0 for a in right for b in wrong)
        assert row["auroc"] == pytest.approx(wins / (len(right) * len(wrong)), rel=1e-12)
        assert row["aurc_low"] is None and row["distinguishable"] is None


def labelled_pairs(path, score):
    import csv

    with open(path, newline="") as handle:
        rows = [ref.Row(r["query_id"], r["candidate_id"], int(r["rank"]), float(r["score"]),
                        float(r["probability"]) if r["probability"] else None,
                        None if r["is_correct"] == "" else r["is_correct"] == "true") for r in csv.DictReader(handle)]
    for group in ref.group_rows(rows):
        label = sorted(group, key=lambda row: row.rank)[0].is_correct
        if label is not None:
            value = cref.confidence(cref.method_name(score), group)
            yield (-math.inf if value is None else value), label


def beats(a, b):
    return a > b


@pytest.fixture(scope="module")
def labelled_table(tmp_path_factory):
    """The bundled calibration table's first 150 queries: ties, misses and all eight methods."""
    import pathlib

    source = pathlib.Path(__file__).parent.parent / "examples" / "data" / "calibration.csv"
    lines = source.read_text().splitlines()
    header, body = lines[0], lines[1:]
    ids = []
    for line in body:
        query = line.split(",", 1)[0]
        if query not in ids:
            ids.append(query)
    keep = set(ids[:150])
    path = tmp_path_factory.mktemp("compare") / "part.csv"
    path.write_text("\n".join([header] + [line for line in body if line.split(",", 1)[0] in keep]) + "\n")
    return str(path)


def test_rows_are_sorted_by_aurc_with_nan_last_and_scores_named_as_asked(write_csv):
    # No probabilities at all: max-prob, margin, entropy and effective-k have empty curves.
    path = write_csv("query_id,candidate_id,rank,score,is_correct\n"
                     "a,x,1,5,true\na,y,2,1,false\nb,x,1,2,false\nb,y,2,1.5,false\nc,x,1,9,true\n")
    rows = annotrove.compare_scores(path, ["max_prob", "score-gap", "margin", "candidate_count"], resamples=30)
    assert [row["score"] for row in rows] == ["score-gap", "candidate_count", "max_prob", "margin"]
    assert math.isnan(rows[2]["aurc"]) and math.isnan(rows[2]["aurc_low"]) and rows[2]["scored"] == 0
    assert rows[0]["aurc_difference"] == 0.0 and rows[0]["distinguishable"] is False


def test_a_table_without_labels_gives_nan_everywhere(write_csv):
    path = write_csv("query_id,candidate_id,rank,score\na,x,1,5\n")
    (row,) = annotrove.compare_scores(path, ["margin"], resamples=5)
    assert row["labelled"] == 0 and math.isnan(row["aurc"]) and math.isnan(row["aurc_high"])
    assert row["distinguishable"] is False


def test_same_seed_same_numbers_other_seed_other_numbers(labelled_table):
    first = annotrove.compare_scores(labelled_table, resamples=200, seed=7)
    # repr, so that NaN equals NaN.
    assert repr(annotrove.compare_scores(labelled_table, resamples=200, seed=7)) == repr(first)
    other = annotrove.compare_scores(labelled_table, resamples=200, seed=8)
    assert [r["aurc_low"] for r in other] != [r["aurc_low"] for r in first]
    # Resample i always draws from its own stream: the first 9 of 200 are the first 9 of 9 (one
    # full block of eight and one more), so neither the count nor the blocks change them.
    assert digest(annotrove.compare_scores(labelled_table, ["margin"], resamples=9, seed=7)) == digest(
        cref.compare_scores(read_rows(labelled_table), ["margin"], resamples=9, seed=7))


@pytest.mark.parametrize("threads", [2, 3, None])
def test_every_thread_count_gives_the_numbers_of_one(labelled_table, threads):
    # Resamples are shared out among the threads in blocks; each keeps its own stream, so the
    # split cannot show. 203 resamples leave a partial last block.
    one = annotrove.compare_scores(labelled_table, resamples=203, seed=3, threads=1)
    assert digest(annotrove.compare_scores(labelled_table, resamples=203, seed=3, threads=threads)) == digest(one)


def digest(rows):
    """Every field in key order, NaN equal to NaN."""
    return repr([[row[key] for key in ROW_KEYS] for row in rows])


def read_rows(path):
    import csv

    with open(path, newline="") as handle:
        return [ref.Row(r["query_id"], r["candidate_id"], int(r["rank"]), float(r["score"]),
                        float(r["probability"]) if r["probability"] else None,
                        None if r["is_correct"] == "" else r["is_correct"] == "true") for r in csv.DictReader(handle)]


def test_the_bundled_table_with_the_defaults():
    import pathlib

    path = str(pathlib.Path(__file__).parent.parent / "examples" / "data" / "calibration.csv")
    rows = annotrove.compare_scores(path)
    assert len(rows) == 8 and rows[0]["labelled"] == 600
    for row in rows:
        for key in ("aurc", "augrc", "auroc"):
            assert row[f"{key}_low"] <= row[key] <= row[f"{key}_high"]
    # The four probability-based methods lie within 0.004 of each other and cannot be told apart.
    assert [row["distinguishable"] for row in rows[:4]] == [False] * 4
    assert rows[-1]["score"] == "candidate-count" and rows[-1]["distinguishable"] is True


def test_curves_on_request(labelled_table):
    rows = annotrove.compare_scores(labelled_table, ["margin", "entropy"], resamples=0, curves=True)
    for row in rows:
        assert row["curve"] == annotrove.compute_curve(labelled_table, row["score"])
    assert "curve" not in annotrove.compare_scores(labelled_table, ["margin"], resamples=0)[0]


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    ("kwargs", "exception", "message", "parameter"),
    [
        ({"resamples": -1}, ValueError, "must not be negative", "resamples"),
        ({"resamples": 1.5}, TypeError, "must be int, not float", "resamples"),
        ({"resamples": True}, TypeError, "must be int, not bool", "resamples"),
        ({"level": 0.0}, ValueError, "strictly between 0 and 1", "level"),
        ({"level": 1.0}, ValueError, "strictly between 0 and 1", "level"),
        ({"level": math.nan}, ValueError, "strictly between 0 and 1", "level"),
        ({"level": "0.9"}, TypeError, "must be real number", "level"),
        ({"seed": 1.0}, TypeError, "must be int, not float", "seed"),
        ({"scores": "margin"}, TypeError, "must be a list of str or None, not str", "scores"),
        ({"scores": ["margin", 3]}, TypeError, "must hold str items, not int", "scores"),
        ({"curves": 1}, TypeError, "must be bool, not int", "curves"),
        ({"table": 3}, TypeError, "must be str, os.PathLike or an object with __arrow_c_stream__, not int", "table"),
    ],
)
def test_bad_arguments_name_their_parameter(labelled_table, kwargs, exception, message, parameter):
    arguments = {"table": labelled_table} | kwargs
    with pytest.raises(exception, match=message) as raised:
        annotrove.compare_scores(**arguments)
    assert f"while processing '{parameter}'" in raised.value.__notes__


def test_unknown_score_is_todays_value_error_and_is_checked_before_the_table_is_read():
    with pytest.raises(ValueError, match="Unknown score method") as raised:
        annotrove.compare_scores("/no/such/table.csv", ["margin", "nonsense"])
    assert not getattr(raised.value, "__notes__", None)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda t: annotrove.compare_scores(t, None, 10), r"takes from 1 to 2 positional arguments but 3 were given"),
        (lambda t: annotrove.compare_scores(), r"missing 1 required argument: 'table'"),
        (lambda t: annotrove.compare_scores(t, resample=3), r"unexpected keyword argument 'resample'"),
        (lambda t: annotrove.compare_scores(t, None, scores=None), r"multiple values for argument 'scores'"),
    ],
)
def test_keyword_only_parameters_are_matched_like_the_host(labelled_table, call, message):
    with pytest.raises(TypeError, match=message):
        call(labelled_table)


def test_missing_table_is_the_core_error():
    with pytest.raises(RuntimeError, match="cannot open"):
        annotrove.compare_scores("/no/such/table.csv", resamples=0)


def test_all_lists_the_new_functions_after_the_seven():
    assert annotrove.__all__ == ["compute_curve", "aurc", "eaurc", "calibrate", "apply_policy", "load_policy",
                                 "save_policy", "augrc", "compare_scores"]


def test_tables_in_every_form_the_table_functions_accept(tmp_path, labelled_table):
    pa = pytest.importorskip("pyarrow")
    pacsv = pytest.importorskip("pyarrow.csv")
    import pathlib

    expected = digest(annotrove.compare_scores(labelled_table, resamples=40, seed=5))
    arrow = pacsv.read_csv(labelled_table)
    assert digest(annotrove.compare_scores(arrow, resamples=40, seed=5)) == expected
    assert digest(annotrove.compare_scores(pathlib.Path(labelled_table), resamples=40, seed=5)) == expected
    assert pa.table({"x": [1]}).num_rows == 1
