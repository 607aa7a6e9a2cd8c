"""The ltt calibration method: exact binomial tails, the positions it tests, its selection, its
arguments and policies, and a small simulation of its promise on new data."""

import csv
import math
import random
from decimal import Decimal, getcontext
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
from score_reference import SENTINEL, Row, write_table

probe = pytest.importorskip("_annotrove_probe")


def exact_lower_tail(successes, trials, p):
    """P(X <= successes) for X ~ Binomial(trials, p), in rationals, p taken at its exact value."""
    q = Fraction(p)
    return sum(math.comb(trials, i) * q**i * (1 - q) ** (trials - i) for i in range(successes + 1))


def power_reference(base, exponent):
    getcontext().prec = 60
    fraction = Fraction(base)
    return float((Decimal(fraction.numerator) / Decimal(fraction.denominator)) ** exponent)


# --- exact tails -------------------------------------------------------------------------------


@pytest.mark.parametrize("trials", [1, 2, 7, 30, 200])
@pytest.mark.parametrize("p", [1e-9, 0.01, 0.05, 0.3, 0.5, 0.9, 0.999])
def test_tail_closed_forms_at_both_ends(trials, p):
    # P(X <= 0) = (1-p)^n and P(X <= n-1) = 1 - p^n.
    assert probe.binomial_lower_tail(0, trials, p) == pytest.approx(
        power_reference(1 - Fraction(p), trials), rel=1e-13)
    assert probe.binomial_lower_tail(trials - 1, trials, p) == pytest.approx(
        1 - power_reference(p, trials), rel=1e-13)


@pytest.mark.parametrize("successes, trials, p, expected", [
    (0, 0, 0.5, 1.0), (5, 5, 0.5, 1.0), (9, 5, 0.5, 1.0),  # nothing can exceed the trials
    (3, 10, 0.0, 1.0), (3, 10, -0.5, 1.0), (9, 10, 1.0, 0.0), (0, 10, 2.0, 0.0),
])
def test_tail_degenerate_cases(successes, trials, p, expected):
    assert probe.binomial_lower_tail(successes, trials, p) == expected


def test_tail_of_nan_probability_is_nan():
    assert math.isnan(probe.binomial_lower_tail(1, 10, math.nan))


@settings(max_examples=200, deadline=None)
@given(trials=st.integers(1, 160), data=st.data(),
       p=st.one_of(st.sampled_from([0.05, 0.1, 0.2, 0.5]), st.floats(1e-6, 1 - 1e-6)))
def test_tail_matches_exact_rational_sum(trials, data, p):
    successes = data.draw(st.integers(0, trials - 1))
    exact = exact_lower_tail(successes, trials, p)
    got = probe.binomial_lower_tail(successes, trials, p)
    if exact < Fraction(10) ** -300:  # beyond what a double represents with full precision
        assert got <= 1e-299
    else:
        assert abs(Fraction(got) - exact) <= exact * Fraction(1, 10**12)


@pytest.mark.parametrize("trials, p", [(10**6, 1e-5), (10**6, 3e-6), (2 * 10**6, 1e-6),
                                       (5 * 10**6, 2e-6), (10**7, 1e-7)])
def test_tail_stays_accurate_with_millions_of_trials(trials, p):
    assert probe.binomial_lower_tail(0, trials, p) == pytest.approx(
        power_reference(1 - Fraction(p), trials), rel=1e-9)


@pytest.mark.parametrize("trials, p", [(10**6, 0.05), (3 * 10**6, 0.1)])
def test_far_lower_tail_with_millions_of_trials(trials, p):
    # Successive tails differ by the probability of one count; their ratio follows from the
    # binomial terms, pmf(k) / pmf(k - 1) = (n - k + 1) / k * p / (1 - p).
    mean, spread = trials * p, math.sqrt(trials * p * (1 - p))
    for k in (int(mean - 25 * spread), int(mean - 30 * spread)):
        lower, upper = (probe.binomial_lower_tail(k - 1, trials, p),
                        probe.binomial_lower_tail(k, trials, p))
        before = probe.binomial_lower_tail(k - 2, trials, p)
        ratio = (trials - k + 1) / k * p / (1 - p)
        assert 0.0 < before < lower < upper < 1e-100
        assert (upper - lower) / (lower - before) == pytest.approx(ratio, rel=1e-6)


# --- the positions tested ----------------------------------------------------------------------


def reference_grid(scored, target, level):
    """The positions and per-position share: evenly spaced in square root, two apart, from the
    first position where an error-free test can pass at its share, as many as fit."""
    def first(share):
        needed = 0.0 if target >= 1.0 else math.log(share) / math.log1p(-target)
        return None if not needed < scored else 1 + math.ceil(max(needed, 0.0))

    best = None
    count = 1
    while True:
        start = first((1 - level) / count)
        if start is None or math.sqrt(start) + 2.0 * (count - 1) > math.sqrt(scored):
            break
        best, count = count, count + 1
    if best is None:
        return (), 0.0
    share = (1 - level) / best
    root = math.sqrt(first(share))
    return tuple(math.floor((root + 2.0 * i) ** 2 + 0.5) for i in range(best)), share


@settings(max_examples=150, deadline=None)
@given(scored=st.one_of(st.integers(0, 3000), st.sampled_from([200, 1000, 5000, 10**6])),
       target=st.sampled_from([0.01, 0.05, 0.1, 0.2, 0.5, 0.99, 1.0]),
       level=st.sampled_from([0.5, 0.8, 0.9, 0.95, 0.99, 0.999]))
def test_grid_is_fixed_by_size_target_and_level(scored, target, level):
    positions, share = probe.ltt_grid(scored, target, level)
    assert (positions, share) == reference_grid(scored, target, level)
    if positions:
        assert list(positions) == sorted(set(positions)) and positions[-1] <= scored
        assert share * len(positions) == pytest.approx(1 - level)
        # The first position is the first one at which an error-free test can pass.
        if target < 1.0:  # up to the rounding of the logarithms that place it
            slack = 1 + 1e-12
            assert (1 - target) ** (positions[0] - 1) <= share * slack
            assert share < (1 - target) ** (positions[0] - 2) * slack
        else:
            assert positions[0] == 1


@pytest.mark.parametrize("target, level", [(0.0, 0.9), (-0.1, 0.9), (math.nan, 0.9),
                                           (0.1, 0.0), (0.1, 1.0), (0.1, math.nan)])
def test_grid_is_empty_without_a_meaningful_target_or_level(target, level):
    assert probe.ltt_grid(10**5, target, level) == ((), 0.0)


@settings(max_examples=100, deadline=None)
@given(scored=st.integers(1, 4000), after=st.integers(0, 4000), width=st.integers(0, 400),
       target=st.sampled_from([0.05, 0.2]))
def test_position_lookup_agrees_with_the_list(scored, after, width, target):
    positions, _ = probe.ltt_grid(scored, target, 0.9)
    up_to = after + width
    assert probe.ltt_has_position_in(scored, target, 0.9, after, up_to) == any(
        after < k <= up_to for k in positions)


# --- selection ---------------------------------------------------------------------------------


def curve_points(draws):
    """Curve-shaped points (falling thresholds, growing counts) from (new queries, new errors)."""
    points, accepted, errors = [], 0, 0
    for i, (added, wrong) in enumerate(draws):
        accepted, errors = accepted + added, errors + min(wrong, added)
        points.append((1.0 - i / 1000, accepted, accepted, 0.0, errors, None))
    return [(t, a, accepted, a / accepted, e, r) for t, a, _, _, e, r in points]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(draws=st.lists(st.tuples(st.integers(1, 60), st.integers(0, 12)), min_size=1, max_size=14),
       target=st.sampled_from([0.05, 0.1, 0.2, 0.3]), level=st.sampled_from([0.8, 0.9, 0.95]))
def test_selected_point_passes_its_exact_test_and_no_later_one_does(draws, target, level):
    points = curve_points(draws)
    positions, share = probe.ltt_grid(points[-1][1], target, level)
    chosen = probe.select_threshold("ltt", points, target, level)
    # Where the rounding of the tail could tip the decision, only require consistency.
    margin = Fraction(share) * Fraction(1, 10**9)
    previous = 0
    for threshold, accepted, _, _, errors, _ in points:
        tested = any(previous < k <= accepted for k in positions)
        previous = accepted
        tail = exact_lower_tail(errors, accepted - 1, target) if tested and accepted > 1 else 1
        if threshold == chosen:
            assert tested and tail <= Fraction(share) + margin
        elif chosen is None or threshold < chosen:
            assert not tested or tail >= Fraction(share) - margin


@pytest.mark.parametrize("points", [[], [(0.9, 0, 0, 0.0, 0, None)]])
def test_selection_of_nothing_is_none(points):
    assert probe.select_threshold("ltt", points, 0.1, 0.9) is None


def test_points_that_add_no_queries_are_not_tested():
    clean = [(0.9 - i / 100, 200, 200, 1.0, 0, 0.0) for i in range(3)]
    assert probe.select_threshold("ltt", clean, 0.1, 0.9) == 0.9
    points = [(0.95, 100, 200, 0.5, 0, 0.0), (0.9, 200, 200, 1.0, 0, 0.0)]
    assert probe.select_threshold("ltt", points, 0.1, 0.9) == 0.9


# --- calibrate ---------------------------------------------------------------------------------


def runs_table(path, runs):
    rows = []
    for confidence, correct, wrong in runs:
        for label in [True] * correct + [False] * wrong:
            rows.append(Row(f"q{len(rows):05d}", "c", 1, 0.0, confidence, label))
    return write_table(path, rows)


def test_worked_example(tmp_path):
    # 100 clean queries at 0.9, then 100 at 0.5 with 20 errors, then 50 at 0.2, all wrong.
    path = runs_table(tmp_path / "t.csv", [(0.9, 100, 0), (0.5, 80, 20), (0.2, 0, 50)])
    positions, share = probe.ltt_grid(250, 0.1, 0.9)
    assert positions == (39, 68, 105, 150, 203) and share == pytest.approx(0.02)
    # 0.9 holds positions 39 and 68: (0.9)^99 is about 3e-5, it passes. 0.5 holds 105 and 150:
    # 20 errors in 199 trials at 0.1 has a tail of about 0.58, it fails; so does 0.2 (position
    # 203) with 70 errors. A 1 % target tests only position 231, in the last group.
    assert annotrove.calibrate(path, "max-prob", 0.1, "ltt", 0.9)["threshold"] == 0.9
    assert annotrove.calibrate(path, "max-prob", 0.11, "ltt", 0.9)["threshold"] == 0.9
    assert annotrove.calibrate(path, "max-prob", 0.2, "ltt", 0.9)["threshold"] == 0.5
    assert annotrove.calibrate(path, "max-prob", 0.01, "ltt", 0.9)["threshold"] == SENTINEL


def test_level_is_required_after_the_table_was_read(tmp_path):
    with pytest.raises(RuntimeError, match="^CSV error: "):
        annotrove.calibrate(str(tmp_path / "missing.csv"), "max-prob", 0.1, "ltt")
    path = runs_table(tmp_path / "t.csv", [(0.5, 3, 0)])
    for call in (lambda: annotrove.calibrate(path, "max-prob", 0.1, "ltt"),
                 lambda: annotrove.calibrate(path, "max-prob", 0.1, method="ltt",
                                             confidence_level=None)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "confidence_level required for ltt method"


@pytest.mark.parametrize("level, shown", [
    (0.0, "0"), (-0.0, "-0"), (1.0, "1"), (1, "1"), (-0.5, "-0.5"), (1.5, "1.5"), (95.0, "95"),
    (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (1e-7, None)])
def test_levels_outside_zero_to_one_are_refused_after_reading(tmp_path, level, shown):
    if shown is None:  # a valid level, for contrast
        path = runs_table(tmp_path / "t.csv", [(0.5, 3, 0)])
        # 1 - level is nearly 1: three clean queries suffice.
        assert annotrove.calibrate(path, "max-prob", 0.1, "ltt", level)["threshold"] == 0.5
        return
    with pytest.raises(RuntimeError, match="^CSV error: "):
        annotrove.calibrate(str(tmp_path / "missing.csv"), "max-prob", 0.1, "ltt", level)
    path = runs_table(tmp_path / "t.csv", [(0.5, 3, 0)])
    with pytest.raises(ValueError) as info:
        annotrove.calibrate(path, "max-prob", 0.1, "ltt", level)
    assert str(info.value) == f"confidence_level must be between 0 and 1 for ltt method, got {shown}"


def test_level_message_renders_like_the_binomial_one(tmp_path):
    path = runs_table(tmp_path / "t.csv", [(0.5, 3, 0)])
    for level in (1.25, 0.0000001 - 1, 12345678.5):
        with pytest.raises(RuntimeError) as binomial:
            annotrove.calibrate(path, "max-prob", 0.1, "binomial", level)
        with pytest.raises(ValueError) as ltt:
            annotrove.calibrate(path, "max-prob", 0.1, "ltt", level)
        shown = str(binomial.value).removeprefix("Unsupported confidence level: ").split(". ")[0]
        assert str(ltt.value).endswith(f", got {shown}")


@pytest.mark.parametrize("level", [1e-300, 0.3, 0.9, 0.95, 0.97, math.nextafter(1.0, 0.0)])
def test_any_level_between_zero_and_one_is_used(tmp_path, level):
    path = runs_table(tmp_path / "t.csv", [(0.9, 400, 0), (0.5, 50, 50)])
    policy = annotrove.calibrate(path, "max-prob", 0.05, "ltt", level)
    assert policy["calibration_method"] == "ltt" and policy["confidence_level"] == level
    # 400 clean queries pass a 5 % target for any level above (0.95)^399 = 1.3e-9 times the count.
    assert policy["threshold"] == (0.9 if level < 0.999 else SENTINEL)


def test_policy_round_trips_through_save_load_and_apply(tmp_path):
    path = runs_table(tmp_path / "t.csv", [(0.9, 100, 0), (0.5, 80, 20)])
    policy = annotrove.calibrate(path, "max-prob", 0.1, "ltt", 0.9)
    saved = tmp_path / "p.json"
    annotrove.save_policy(str(saved), policy)
    assert '"calibration_method": "ltt",' in saved.read_text()
    loaded = annotrove.load_policy(str(saved))
    assert loaded == policy
    decisions = annotrove.apply_policy(path, loaded)
    assert sum(d["accepted"] for d in decisions) == 100


# --- the promise, simulated ---------------------------------------------------------------------


def coarse(rng):
    confidence = (math.floor(20 * rng.random()) + 0.5) / 20
    return confidence, confidence


def calibrated(rng):
    confidence = rng.random()
    return confidence, confidence


def true_error(model, threshold):
    """Error rate on the model of the queries whose confidence is at least threshold."""
    if threshold == SENTINEL:
        return 0.0
    if model is calibrated:
        return (1.0 - max(threshold, 0.0)) / 2.0
    groups = [(j + 0.5) / 20 for j in range(20) if (j + 0.5) / 20 >= threshold]
    return sum(1 - g for g in groups) / len(groups)


@pytest.mark.parametrize("model", [calibrated, coarse])
def test_small_simulation_keeps_the_promise(tmp_path, model):
    # With 60 calibration sets and level 0.8 the violation rate must stay under 0.2 plus two
    # standard errors; every method keeps its own file, written once per set.
    rng = random.Random(11)
    sets, level, target = 60, 0.8, 0.2
    violations, accepted = 0, 0
    path = tmp_path / "set.csv"
    for _ in range(sets):
        with path.open("w", newline="") as handle:
            writer = csv.writer(handle, lineterminator="\n")
            writer.writerow(["query_id", "candidate_id", "rank", "score", "probability",
                             "is_correct"])
            for i in range(400):
                confidence, chance = model(rng)
                writer.writerow([f"q{i}", "c", 1, 0, repr(confidence),
                                 "true" if rng.random() < chance else "false"])
        threshold = annotrove.calibrate(str(path), "max-prob", target, "ltt", level)["threshold"]
        violations += true_error(model, threshold) > target
        accepted += threshold != SENTINEL
    bound = (1 - level) + 2 * math.sqrt(level * (1 - level) / sets)
    assert violations / sets <= bound
    assert accepted >= sets // 2  # not trivially safe: it does accept in most sets
