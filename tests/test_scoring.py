"""Query groups, score methods and decisions, seen through apply_policy and compute_curve."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
from score_reference import (ARGUMENT_FORM, DISPLAY_NAME, METHODS, SENTINEL, Row, bits,
                             group_rows, policy, same_float, score, write_table)

WORKED = [(1, 10.0, 0.6), (2, 6.0, 0.3), (3, 2.0, 0.1)]
WORKED_RESULTS = dict(zip(METHODS, [0.6, 4.0, 0.3, 0.18265457785349004, 1.6666666666666667, 6.0,
                                    0.4074057241457354, 0.3333333333333333]))
# Stored with ranks 3, 1, 2: the rank order is the same; only the entropy sums (file order) move.
SHUFFLED = [WORKED[2], WORKED[0], WORKED[1]]
SHUFFLED_RESULTS = dict(WORKED_RESULTS, entropy=0.18265457785348993,
                        effective_k=0.40740572414573534)


def decide(tmp_path, rows, method="candidate_count", threshold=0.0):
    path = write_table(tmp_path / "t.csv", rows)
    return annotrove.apply_policy(path, policy(method, threshold))


def confidence(tmp_path, candidates, method):
    """The confidence of one query given as (rank, score, probability); None for NaN."""
    rows = [Row("q", f"c{i}", *candidate) for i, candidate in enumerate(candidates)]
    (decision,) = decide(tmp_path, rows, method)
    return None if math.isnan(decision["confidence"]) else decision["confidence"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("candidates, expected", [(WORKED, WORKED_RESULTS),
                                                  (SHUFFLED, SHUFFLED_RESULTS)])
def test_worked_example_bit_exact(tmp_path, method, candidates, expected):
    assert bits(confidence(tmp_path, candidates, method)) == bits(expected[method])


@pytest.mark.parametrize("candidates, method, expected", [
    ([(r, 1.0, 0.25) for r in (1, 2, 3, 4)], "entropy", 0.0),
    ([(r, 1.0, 0.25) for r in (1, 2, 3, 4)], "effective_k", 0.25),
    ([(1, 5.0, None)], "max_prob", None),
    ([(1, 5.0, None)], "entropy", 1.0),
    ([(1, 5.0, 0.7)], "effective_k", math.exp(0.7 * math.log(0.7))),
    ([(1, 5.0, 0.0)], "effective_k", 1.0),
    ([(1, 5.0, None)], "effective_k", None),
    ([(1, 5.0, 0.7)], "score_gap", None),
    ([(1, 5.0, 0.7)], "margin", None),
    ([(1, 5.0, 0.7)], "score_ratio", None),
    ([(1, 5.0, 0.7)], "top_k_gap", None),
    ([(1, 5.0, None)], "candidate_count", 1.0),
    ([(1, 3.0, None), (1, 5.0, None)], "score_gap", -2.0),  # equal ranks: file order
    ([(6, -100.0, None), (5, 1.0, None), (4, 3.0, None), (3, 5.0, None), (2, 7.0, None),
      (1, 9.0, None)], "top_k_gap", 5.0),
    ([(6, math.nan, None), (1, 9.0, None), (2, 7.0, None), (3, 5.0, None), (4, 3.0, None),
      (5, 1.0, None)], "top_k_gap", 5.0),
    ([(1, 9.0, None), (2, 7.0, None), (5, math.nan, None)], "top_k_gap", None),
    # Summed from -0.0 the mean stays -0.0 and -0.0 - -0.0 is +0.0; from +0.0 it would be -0.0.
    ([(1, -0.0, None), (2, -0.0, None), (3, -0.0, None)], "top_k_gap", 0.0),
    ([(1, 1.0, None), (2, 0.0, None)], "score_ratio", None),
    ([(1, 1.0, None), (2, -0.0, None)], "score_ratio", None),
    ([(1, 1.0, None), (2, -2.0, None)], "score_ratio", None),
    ([(1, 1e308, None), (2, 1e-10, None)], "score_ratio", None),
    ([(1, 0.0, 0.7), (2, 0.0, None)], "margin", None),
    ([(1, 0.0, 0.7), (2, 0.0, math.nan)], "margin", None),
    ([(2, 0.0, 0.9), (1, 0.0, math.nan)], "max_prob", None),
    ([(2, 0.0, 0.9), (1, 0.0, 0.1)], "max_prob", 0.1),
    ([(1, 0.0, 0.0), (2, 0.0, 0.5), (3, 0.0, 0.5)], "entropy",
     1.0 - (-0.5 * math.log(0.5) + -0.5 * math.log(0.5)) / math.log(3)),
    ([(1, 0.0, -0.1), (2, 0.0, 0.6), (3, 0.0, 0.5)], "entropy", None),
    ([(1, math.inf, None), (2, math.inf, None)], "score_gap", None),  # NaN, reported as NaN
    ([(1, -math.inf, None), (2, -math.inf, None)], "top_k_gap", None),
])
def test_edge_cases(tmp_path, candidates, method, expected):
    assert same_float(confidence(tmp_path, candidates, method), expected)


SPECIAL = [0.0, -0.0, 1.0, 0.5, 0.25, 1e-300, 5e-324, 1e308, math.inf, -math.inf, math.nan, -1.0]
floats = st.one_of(st.sampled_from(SPECIAL), st.floats(width=64))
probabilities = st.one_of(st.none(), st.sampled_from(SPECIAL), st.floats(0.0, 1.0))
tables = st.lists(st.tuples(st.sampled_from(["a", "b", "c", "B", ""]), st.integers(0, 6), floats,
                            probabilities), max_size=80)


# Rows of one query either scattered through the file or already adjacent (the usual layout,
# which is grouped without moving any row).
@pytest.mark.parametrize("adjacent", [False, True])
@settings(max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=tables)
def test_every_method_matches_reference(tmp_path, adjacent, table):
    # Groups of up to 80 rows pass the insertion-sort size of the rank order.
    if adjacent:
        table = sorted(table, key=lambda row: row[0])
    rows = [Row(q, f"c{i}", rank, s, p) for i, (q, rank, s, p) in enumerate(table)]
    path = write_table(tmp_path / "t.csv", rows)
    for method in METHODS:
        decisions = annotrove.apply_policy(path, policy(method, 0.0))
        expected = [score(method, group) for group in group_rows(rows)]
        assert len(decisions) == len(expected)
        for decision, reference in zip(decisions, expected):
            assert same_float(decision["confidence"], math.nan if reference is None else reference)
            assert decision["accepted"] is (math.isfinite(decision["confidence"])
                                            and decision["confidence"] >= 0.0)
            assert decision["method"] == DISPLAY_NAME[method]


@pytest.mark.parametrize("ids", [["9", "10"], ["b", "B", "a", "A"], ["x", "", "A"],
                                 ["ab", "a", "a b", "a "], ["é", "z", "~", "Ω", "e", "Z"],
                                 [str(i) for i in range(300, 0, -7)]])
def test_groups_in_bytewise_query_id_order(tmp_path, ids):
    rows = [Row(query_id, "c", 1, 0.0) for query_id in ids]
    got = [d["query_id"] for d in decide(tmp_path, rows)]
    assert got == sorted(ids, key=lambda text: text.encode("utf-8"))


# Ids sharing long prefixes, non-ASCII bytes and prefixes of one another, in any row order: each
# query's decision is its first row (all ranks tie), and queries come in byte-wise id order.
@settings(max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ids=st.lists(st.sampled_from(["query-00001", "query-00002", "query-0000", "query-000010",
                                     "q", "", "query-0000é", "query-0000\x7f", "Z", "zz"]),
                    min_size=1, max_size=40))
def test_grouping_matches_reference_in_any_row_order(tmp_path, ids):
    rows = [Row(query_id, f"c{i}", 1, 0.0) for i, query_id in enumerate(ids)]
    first_row = {}
    for row in rows:
        first_row.setdefault(row.query_id, row.candidate_id)
    expected = [(q, first_row[q]) for q in sorted(first_row, key=lambda text: text.encode())]
    got = [(d["query_id"], d["candidate_id"]) for d in decide(tmp_path, rows)]
    assert got == expected


# Adjacent rows whose ids differ in a single byte, at every length the reader compares by words
# and at every position: each must stay its own query.
@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), length=st.integers(1, 40))
def test_ids_differing_in_one_byte_are_different_queries(tmp_path, data, length):
    position = data.draw(st.integers(0, length - 1))
    first = "a" * length
    second = first[:position] + "b" + first[position + 1:]
    rows = [Row(first, "c0", 1, 0.0), Row(second, "c1", 1, 0.0), Row(second, "c2", 2, 0.0)]
    got = [(d["query_id"], d["confidence"]) for d in decide(tmp_path, rows, "candidate_count")]
    assert got == [(first, 1.0), (second, 0.5)]  # candidate_count is 1 / candidates


def test_scattered_rows_gather_in_file_order(tmp_path):
    rows = [Row("q", "first", 1, 0.0, 0.2), Row("p", "x", 1, 0.0, 0.5),
            Row("q", "second", 1, 0.0, 0.3), Row("p", "y", 2, 0.0, 0.5),
            Row("q", "third", 1, 0.0, 0.5)]
    h = 0.0
    for p in (0.2, 0.3, 0.5):
        h = h + -p * math.log(p)
    p_decision, q_decision = decide(tmp_path, rows, "entropy")
    assert (p_decision["candidate_id"], q_decision["candidate_id"]) == ("x", "first")
    assert q_decision["confidence"] == 1.0 - h / math.log(3.0)


@pytest.mark.parametrize("ranks, top", [([2, 1, 1], "c1"), ([1], "c0"), ([5, 5, 5], "c0"),
                                        ([2**63, 2**63 - 1], "c1"), ([0, 2**64 - 1], "c0")])
def test_top_candidate_is_first_smallest_rank(tmp_path, ranks, top):
    rows = [Row("q", f"c{i}", rank, 0.0) for i, rank in enumerate(ranks)]
    assert decide(tmp_path, rows)[0]["candidate_id"] == top


@pytest.mark.parametrize("probability, threshold, accepted", [
    (0.5, 0.5, True), (0.5, math.nextafter(0.5, 1.0), False), (-0.0, 0.0, True),
    (math.inf, 0.0, False), (math.inf, math.inf, False), (-math.inf, -math.inf, False),
    (0.5, math.nan, False), (SENTINEL, SENTINEL, True), (1e308, SENTINEL, False),
    (None, -math.inf, False),
])
def test_accepts_finite_confidence_at_or_above_threshold(tmp_path, probability, threshold,
                                                         accepted):
    (d,) = decide(tmp_path, [Row("q", "c", 1, 0.0, probability)], "max_prob", threshold)
    assert list(d) == ["query_id", "candidate_id", "confidence", "accepted", "threshold", "method"]
    assert d["accepted"] is accepted and same_float(d["threshold"], threshold)
    assert type(d["confidence"]) is float and same_float(
        d["confidence"], math.nan if probability is None else probability)


def test_header_only_table_gives_no_decisions(tmp_path):
    assert decide(tmp_path, []) == []


@pytest.mark.parametrize("method", METHODS)
def test_argument_forms(tmp_path, method):
    path = write_table(tmp_path / "t.csv", [Row("q", "c", 1, 1.0, 0.5, True)])
    for form in (ARGUMENT_FORM[method], ARGUMENT_FORM[method].replace("-", "_")):
        assert len(annotrove.compute_curve(path, form)) == (method in (
            "max_prob", "entropy", "effective_k", "candidate_count"))


@pytest.mark.parametrize("text", ["top_k_gap", "Score-Gap", " score-gap", "score-gap ", "MaxProb",
                                  "", "entropy-"])
@pytest.mark.parametrize("function", ["compute_curve", "calibrate"])
def test_unknown_score_method_raises_before_reading(tmp_path, text, function):
    args = (str(tmp_path / "missing.csv"), text) + ((0.1,) if function == "calibrate" else ())
    with pytest.raises(ValueError) as info:
        getattr(annotrove, function)(*args)
    assert str(info.value) == (f"Unknown score method '{text}'. Valid: max-prob, score-gap, "
                               "margin, entropy, score-ratio, topk-gap, effective-k, "
                               "candidate-count")
    assert not getattr(info.value, "__notes__", None)
