"""AURC and E-AURC of curve dicts, and the conversion of those dicts."""

import math

import pytest
from hypothesis import given, strategies as st

import annotrove

KEYS = ["threshold", "accepted", "total", "coverage", "errors", "risk"]


def point(coverage, risk, accepted=1, total=1, errors=0, threshold=0.5):
    return dict(threshold=threshold, accepted=accepted, total=total, coverage=coverage, errors=errors, risk=risk)


WORKED = [
    point(0.2, 0.0, accepted=1, total=5, errors=0, threshold=0.9),
    point(0.4, 0.0, accepted=2, total=5, errors=0, threshold=0.7),
    point(0.8, 0.25, accepted=4, total=5, errors=1, threshold=0.5),
    point(1.0, 0.2, accepted=5, total=5, errors=1, threshold=0.2),
]


def reference_area(points):
    area, previous_coverage, previous_risk = 0.0, 0.0, 0.0
    for p in points:
        risk = 0.0 if p["risk"] is None else float(p["risk"])
        area += ((previous_risk + risk) * (float(p["coverage"]) - previous_coverage)) * 0.5
        previous_risk, previous_coverage = risk, float(p["coverage"])
    return area


def test_worked_example():
    assert annotrove.aurc(WORKED) == 0.095
    assert annotrove.eaurc(WORKED) == 0.07351484105136782
    assert annotrove.aurc(WORKED[::-1]) == 0.005000000000000011


def test_single_point_is_the_triangle_from_the_origin():
    assert annotrove.aurc([point(1.0, 0.2)]) == 0.1


def test_absent_risk_counts_as_zero():
    with_none = [point(0.5, None), point(1.0, 0.2)]
    assert annotrove.aurc(with_none) == annotrove.aurc([point(0.5, 0.0), point(1.0, 0.2)])


@pytest.mark.parametrize(
    "curve",
    [
        [],
        [point(0.8, 0.25, accepted=8, total=10, errors=2)],  # not every query accepted
        [point(1.0, 0.0, accepted=5, total=5, errors=0)],  # q = 1
        [point(1.0, 1.0, accepted=5, total=5, errors=5)],  # q = 0
        [point(1.0, 1.0, accepted=5, total=5, errors=7)],  # more errors than accepted
        [point(1.0, 0.0, accepted=0, total=0, errors=0)],
        [point(float("nan"), 0.2, accepted=5, total=5, errors=1)],
    ],
)
def test_undefined_eaurc_is_nan(curve):
    assert math.isnan(annotrove.eaurc(curve))


def test_empty_curve_aurc_is_nan():
    assert math.isnan(annotrove.aurc([]))


@pytest.mark.parametrize("missing", KEYS)
def test_missing_keys_are_reported_by_name(missing):
    item = {k: v for k, v in point(1.0, 0.2).items() if k != missing}
    with pytest.raises(KeyError) as raised:
        annotrove.aurc([item])
    assert raised.value.args == (f"missing '{missing}'",)


def test_first_problem_in_key_order_wins():
    item = {"threshold": "high", "total": 1, "coverage": 1.0, "errors": 0, "risk": None}
    with pytest.raises(TypeError):
        annotrove.aurc([item])


@pytest.mark.parametrize(
    "value, exception",
    [(-1, OverflowError), (2**64, OverflowError), (3.0, TypeError), ("3", TypeError)],
)
def test_counts_must_be_unsigned_integers(value, exception):
    with pytest.raises(exception) as raised:
        annotrove.eaurc([point(1.0, 0.2) | {"accepted": value}])
    assert not getattr(raised.value, "__notes__", None)


def test_bool_and_index_objects_are_counts():
    class Five:
        def __index__(self):
            return 5

    curve = [point(1.0, 0.2, accepted=Five(), total=5, errors=True)]
    assert annotrove.eaurc(curve) == annotrove.eaurc([point(1.0, 0.2, accepted=5, total=5, errors=1)])


def test_items_must_be_dicts_and_subclasses_are_read_with_the_dict_lookup():
    class Defaulting(dict):
        def __missing__(self, key):
            return 0.0

        def __getitem__(self, key):
            raise AssertionError("the dict's own lookup must be used")

    class Points(list):
        pass

    assert annotrove.aurc(Points([Defaulting(point(1.0, 0.2))])) == 0.1
    with pytest.raises(KeyError):
        annotrove.aurc([Defaulting({"threshold": 1.0})])
    with pytest.raises(TypeError) as raised:
        annotrove.aurc([point(1.0, 0.2), [1, 2]])
    assert not getattr(raised.value, "__notes__", None)


finite = st.floats(min_value=-10, max_value=10, allow_nan=False)


@given(st.lists(st.tuples(finite, st.one_of(st.none(), finite)), max_size=30))
def test_aurc_matches_the_trapezoid_sum_bit_for_bit(pairs):
    curve = [point(coverage, risk) for coverage, risk in pairs]
    expected = reference_area(curve) if curve else math.nan
    result = annotrove.aurc(curve)
    assert result == expected or (math.isnan(result) and math.isnan(expected))


@given(st.integers(1, 10**6), st.data())
def test_eaurc_is_area_minus_the_perfect_ordering(total, data):
    errors = data.draw(st.integers(1, total - 1)) if total > 1 else 0
    curve = [point(1.0, errors / total, accepted=total, total=total, errors=errors)]
    q = (total - errors) / total
    expected = reference_area(curve) - ((math.log(q) * q) + (1.0 - q)) if 0 < q < 1 else math.nan
    result = annotrove.eaurc(curve)
    assert result == expected or (math.isnan(result) and math.isnan(expected))
