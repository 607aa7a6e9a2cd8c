"""The risk-coverage curve of compute_curve and the threshold selections of calibrate."""

import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
from score_reference import (ARGUMENT_FORM, METHODS, SENTINEL, Row, bits, curve,
                             select_binomial, select_crc, select_empirical, wilson_upper,
                             write_table)


def runs_table(tmp_path, runs):
    """Single-candidate queries from (confidence, correct, wrong) runs; max_prob reads them."""
    rows = []
    for confidence, correct, wrong in runs:
        for label in [True] * correct + [False] * wrong:
            rows.append(Row(f"q{len(rows):04d}", "c", 1, 0.0, confidence, label))
    return write_table(tmp_path / "t.csv", rows)


def points_of(path):
    return [tuple(p.values()) for p in annotrove.compute_curve(path, "max-prob")]


def threshold(path, target, method="empirical", level=None):
    return annotrove.calibrate(path, "max-prob", target, method, level)["threshold"]


@pytest.mark.parametrize("seed", range(4))
def test_worked_example_in_any_query_order(tmp_path, seed):
    runs = [(0.9, 1, 0), (0.7, 1, 0), (0.5, 1, 0), (0.5, 0, 1), (0.2, 1, 0)]
    random.Random(seed).shuffle(runs)
    assert points_of(runs_table(tmp_path, runs)) == [
        (0.9, 1, 5, 0.2, 0, 0.0), (0.7, 2, 5, 0.4, 0, 0.0), (0.5, 4, 5, 0.8, 1, 0.25),
        (0.2, 5, 5, 1.0, 1, 0.2)]


@pytest.mark.parametrize("runs, expected", [
    ([(0.8, 1, 0), (None, 1, 0), (0.6, 1, 0)], [(0.8, 1, 3, 1 / 3, 0, 0.0),
                                               (0.6, 2, 3, 2 / 3, 0, 0.0)]),
    ([(None, 2, 1)], []),
    ([], []),
    ([(0.4, 3, 1)], [(0.4, 4, 4, 1.0, 1, 0.25)]),
    ([(-0.0, 1, 0), (0.0, 0, 1), (-1.0, 1, 0)], [(0.0, 2, 3, 2 / 3, 1, 0.5),
                                                (-1.0, 3, 3, 1.0, 1, 1 / 3)]),
])
def test_curve_cases(tmp_path, runs, expected):
    got = points_of(runs_table(tmp_path, runs))
    assert got == expected
    assert all(math.copysign(1.0, p[0]) == 1.0 for p in got if p[0] == 0.0)  # +0.0 threshold


def test_unlabelled_top_candidate_leaves_query_out(tmp_path):
    rows = [Row("a", "t", 1, 0.0, 0.9, None), Row("a", "u", 2, 0.0, 0.1, True),
            Row("b", "v", 1, 0.0, 0.8, False), Row("b", "w", 2, 0.0, 0.2, None)]
    assert points_of(write_table(tmp_path / "t.csv", rows)) == [(0.8, 1, 1, 1.0, 1, 1.0)]


def test_nan_confidence_counts_like_absent(tmp_path):
    # score_gap of two +inf scores is NaN: counted in the total, never accepted.
    rows = [Row("a", "1", 1, math.inf, None, True), Row("a", "2", 2, math.inf, None, True),
            Row("b", "1", 1, 3.0, None, True), Row("b", "2", 2, 1.0, None, True),
            Row("c", "1", 1, math.inf, None, False), Row("c", "2", 2, 0.0, None, False)]
    points = annotrove.compute_curve(write_table(tmp_path / "t.csv", rows), "score-gap")
    assert [tuple(p.values()) for p in points] == [(math.inf, 1, 3, 1 / 3, 1, 1.0),
                                                   (2.0, 2, 3, 2 / 3, 1, 0.5)]


queries = st.lists(st.tuples(
    st.integers(0, 3),
    st.one_of(st.sampled_from([0.0, -0.0, 1.0, math.inf, -math.inf, math.nan]), st.floats()),
    st.one_of(st.none(), st.sampled_from([0.0, -0.0, 0.5, 1.0]), st.floats(0.0, 1.0)),
    st.one_of(st.none(), st.booleans())), min_size=1, max_size=6)


@settings(max_examples=100, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=st.lists(queries, max_size=40))
def test_every_method_curve_matches_reference(tmp_path, table):
    # Up to 40 queries, past the insertion-sort size of the confidence sort.
    rows = [Row(f"q{i}", f"c{j}", *candidate)
            for i, query in enumerate(table) for j, candidate in enumerate(query)]
    path = write_table(tmp_path / "t.csv", rows)
    for method in METHODS:
        points = annotrove.compute_curve(path, ARGUMENT_FORM[method])
        assert points == curve(rows, method), method
        assert [bits(p["threshold"]) for p in points] == [
            bits(p["threshold"]) for p in curve(rows, method)]


# Risks 0.0, 0.05, 0.1 and 0.2 at growing coverage.
RISKS = [(0.9, 10, 0), (0.8, 9, 1), (0.7, 8, 2), (0.6, 5, 5)]


@pytest.mark.parametrize("runs, target, method, expected", [
    (RISKS, 0.1, "empirical", 0.7),  # at most the target, not strictly below
    (RISKS, 0.09999999999999999, "empirical", 0.8),
    (RISKS, -0.1, "empirical", SENTINEL),
    (RISKS, math.nan, "empirical", SENTINEL),
    ([(0.9, 2, 0), (0.8, 0, 2), (0.7, 4, 0)], 0.25, "empirical", 0.7),  # greatest coverage
    ([], 0.5, "empirical", SENTINEL),
    ([], 0.5, "crc", SENTINEL),
    # Nine queries with risks 0, 1/6, 1/9: crc tests them against target - 1/10.
    ([(0.9, 5, 0), (0.8, 0, 1), (0.7, 3, 0)], 0.1, "crc", SENTINEL),
    ([(0.9, 5, 0), (0.8, 0, 1), (0.7, 3, 0)], 0.2, "crc", 0.9),
    ([(0.9, 5, 0), (0.8, 0, 1), (0.7, 3, 0)], 0.22, "crc", 0.7),
    ([(0.9, 10, 0), (0.5, 9, 0)], 0.05, "crc", SENTINEL),  # 0.05 - 1/20 is 0
    ([(0.9, 10, 0), (0.5, 9, 0)], 0.05, "empirical", 0.5),
])
def test_selection_cases(tmp_path, runs, target, method, expected):
    assert threshold(runs_table(tmp_path, runs), target, method) == expected


def test_wilson_bound_of_hundred_clean_acceptances(tmp_path):
    assert 0.026 < wilson_upper(100.0, 0.0, 1.645) < 0.0265
    path = runs_table(tmp_path, [(0.75, 100, 0)])
    assert threshold(path, 0.03, "binomial", 0.95) == 0.75
    assert threshold(path, 0.02, "binomial", 0.95) == SENTINEL


@pytest.mark.parametrize("level, z", [(0.9, 1.282), (0.95, 1.645), (0.975, 1.96), (0.99, 2.326),
                                      (0.9004, 1.282)])
def test_binomial_level_selects_its_z(tmp_path, level, z):
    path = runs_table(tmp_path, [(0.75, 100, 0), (0.5, 50, 3)])
    upper = wilson_upper(153.0, 3.0, z)
    assert threshold(path, upper, "binomial", level) == 0.5
    assert threshold(path, math.nextafter(upper, 0.0), "binomial", level) == 0.75


@pytest.mark.parametrize("level", [0.8, 0.9005, 0.0, -0.95, 95.0, math.inf, math.nan])
@pytest.mark.parametrize("runs", [[], [(0.5, 3, 0)]])
def test_unsupported_level_fails_even_on_empty_curve(tmp_path, level, runs):
    with pytest.raises(RuntimeError) as info:
        threshold(runs_table(tmp_path, runs), 0.1, "binomial", level)
    assert str(info.value).startswith("Unsupported confidence level: ")
    assert str(info.value).endswith(". Supported: 0.90, 0.95, 0.975, 0.99")
    if level == 0.8:
        assert str(info.value) == (
            "Unsupported confidence level: 0.8. Supported: 0.90, 0.95, 0.975, 0.99")


def test_binomial_without_level_fails_after_reading(tmp_path):
    with pytest.raises(RuntimeError, match="^CSV error: "):
        annotrove.calibrate(str(tmp_path / "missing.csv"), "max-prob", 0.1, "binomial")
    with pytest.raises(ValueError, match="^confidence_level required for binomial method$"):
        threshold(runs_table(tmp_path, [(0.5, 3, 0)]), 0.1, "binomial")


@pytest.mark.parametrize("name", ["Empirical", " crc", "crc ", "BINOMIAL", ""])
def test_unknown_calibration_method_raises_before_reading(tmp_path, name):
    with pytest.raises(ValueError) as info:
        annotrove.calibrate(str(tmp_path / "missing.csv"), "max-prob", 0.1, name)
    assert str(info.value) == f"Unknown calibration method '{name}'. Valid: empirical, binomial, crc, ltt"


@pytest.mark.parametrize("method, level", [("empirical", 0.95), ("crc", 0.99), ("crc", None),
                                           ("ltt", 0.9)])
def test_policy_from_calibrate_keeps_arguments(tmp_path, method, level):
    policy = annotrove.calibrate(runs_table(tmp_path, RISKS), "topk-gap", 0.125, method, level)
    assert policy == {"version": "0.1.0", "scoring_method": "top_k_gap", "threshold": SENTINEL,
                      "target_error_rate": 0.125, "calibration_method": method,
                      "confidence_level": level, "created_by": "annotrove"}


def test_sentinel_policy_accepts_only_the_sentinel(tmp_path):
    path = runs_table(tmp_path, [(SENTINEL, 1, 0), (0.5, 0, 1)])
    policy = annotrove.calibrate(path, "max-prob", -1.0)
    assert policy["threshold"] == SENTINEL
    decisions = annotrove.apply_policy(path, policy)
    assert [d["confidence"] for d in decisions if d["accepted"]] == [SENTINEL]


@settings(max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(runs=st.lists(st.tuples(st.one_of(st.sampled_from([0.0, -0.0, 1.0, math.inf]),
                                         st.floats(0.0, 1.0)),
                               st.integers(0, 40), st.integers(0, 6)), max_size=12),
       target=st.one_of(st.sampled_from([0.0, 0.05, 0.1, 1.0, math.nan]), st.floats(-0.1, 1.1)),
       level=st.sampled_from([0.9, 0.95, 0.975, 0.99]))
def test_selections_match_reference(tmp_path, runs, target, level):
    path = runs_table(tmp_path, runs)
    points = annotrove.compute_curve(path, "max-prob")
    for method, reference in (("empirical", select_empirical(points, target)),
                              ("crc", select_crc(points, target)),
                              ("binomial", select_binomial(points, target, level))):
        expected = SENTINEL if reference is None else reference
        assert bits(threshold(path, target, method, level)) == bits(expected), method
