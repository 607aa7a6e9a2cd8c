"""Threshold selection on arbitrary point lists, which no computed curve produces: coverage that
falls or repeats, absent and NaN risks. Reached through the test probe."""

import math

import pytest
from hypothesis import given, settings, strategies as st

import score_reference as ref

probe = pytest.importorskip("_annotrove_probe")

SPECIAL = [0.0, -0.0, 0.05, 0.1, 0.25, 1.0, math.nan, math.inf, -math.inf]
numbers = st.one_of(st.sampled_from(SPECIAL), st.floats(-1.0, 2.0))
counts = st.integers(0, 200)
points = st.lists(
    st.tuples(numbers, counts, counts, st.sampled_from([0.0, -0.0, 0.5, 1.0, math.nan]) | numbers,
              counts, st.none() | numbers),
    max_size=12,
)


def as_dicts(tuples):
    keys = ("threshold", "accepted", "total", "coverage", "errors", "risk")
    return [dict(zip(keys, t)) for t in tuples]


def same(got, want):
    return got == want or (got is None) == (want is None) and (
        got is None or ref.bits(got) == ref.bits(want))


@settings(max_examples=300)
@given(points, numbers, st.sampled_from([0.9, 0.95, 0.975, 0.99, 0.9004]))
def test_every_rule_matches_the_reference_on_any_point_list(tuples, target, level):
    dicts = as_dicts(tuples)
    assert same(probe.select_threshold("empirical", tuples, target), ref.select_empirical(dicts, target))
    assert same(probe.select_threshold("crc", tuples, target), ref.select_crc(dicts, target))
    assert same(probe.select_threshold("binomial", tuples, target, level),
                ref.select_binomial(dicts, target, level))


@pytest.mark.parametrize("method", ["empirical", "crc"])
def test_equal_coverage_selects_the_later_point(method):
    tuples = [(0.9, 10, 100, 0.5, 0, 0.0), (0.8, 10, 100, 0.5, 0, 0.0), (0.7, 5, 100, 0.25, 0, 0.0)]
    assert probe.select_threshold(method, tuples, 0.5) == 0.8


def test_coverage_is_compared_by_total_order():
    # +0.0 ranks above -0.0, so the earlier point keeps the selection.
    tuples = [(0.9, 1, 10, 0.0, 0, 0.0), (0.8, 1, 10, -0.0, 0, 0.0)]
    assert probe.select_threshold("empirical", tuples, 0.1) == 0.9


@pytest.mark.parametrize("level", [0.8, 0.9005, math.nan, 1e300, -1.0])
def test_binomial_refuses_an_unsupported_level_even_without_points(level):
    with pytest.raises(RuntimeError, match=r"^Unsupported confidence level: .*\. Supported: 0\.90, "
                                           r"0\.95, 0\.975, 0\.99$"):
        probe.select_threshold("binomial", [], 0.05, level)
