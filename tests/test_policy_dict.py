"""Policies as dicts: reading order and failures of policy dicts, and the dicts returned."""

import math
import pathlib

import pytest

import annotrove
from score_reference import policy

POLICY = policy("margin", 0.42, 0.05)
READING_ORDER = ["scoring_method", "calibration_method", "version", "threshold", "target_error_rate"]
SCORE_NAMES = ["max_prob", "score_gap", "margin", "entropy", "score_ratio", "top_k_gap",
               "effective_k", "candidate_count"]


def without(*keys, **changes):
    policy = {k: v for k, v in POLICY.items() if k not in keys}
    policy.update(changes)
    return policy


@pytest.fixture
def saved(tmp_path) -> pathlib.Path:
    path = tmp_path / "policy.json"
    annotrove.save_policy(str(path), POLICY)
    return path


# Both consumers of policy dicts read the dict before touching any file, so a missing table
# never hides a bad dict.
CONSUMERS = [
    lambda policy, path: annotrove.save_policy(str(path), policy),
    lambda policy, path: annotrove.apply_policy("/no/such/table.csv", policy),
]


@pytest.mark.parametrize("consume", CONSUMERS)
@pytest.mark.parametrize("index", range(len(READING_ORDER)))
def test_the_first_missing_key_in_reading_order_is_reported(saved, consume, index):
    # Drop this key and every later one: the first of them is the one reported.
    policy = without(*READING_ORDER[index:])
    before = saved.read_bytes()
    with pytest.raises(KeyError) as raised:
        consume(policy, saved)
    assert raised.value.args == (f"missing '{READING_ORDER[index]}'",)
    assert not getattr(raised.value, "__notes__", None)
    assert saved.read_bytes() == before


@pytest.mark.parametrize(
    "changes, exception, message",
    [
        ({"scoring_method": "topk_gap"}, RuntimeError,
         "unknown variant `topk_gap`, expected one of " + ", ".join(f"`{n}`" for n in SCORE_NAMES)),
        ({"scoring_method": "max-prob"}, RuntimeError, None),
        ({"scoring_method": "MaxProb"}, RuntimeError, None),
        ({"calibration_method": "CRC"}, RuntimeError,
         "unknown variant `CRC`, expected one of `empirical`, `binomial`, `crc`, `ltt`"),
        ({"scoring_method": b"margin"}, TypeError, None),
        ({"calibration_method": 1}, TypeError, None),
        ({"version": None}, TypeError, None),
        ({"threshold": "0.5"}, TypeError, None),
        ({"target_error_rate": [0.05]}, TypeError, None),
        ({"confidence_level": "0.95"}, TypeError, None),
        # The first problem in reading order wins: the bad score name before the missing threshold.
        ({"scoring_method": "nope", "threshold": None}, RuntimeError, None),
    ],
)
def test_bad_values_fail_with_their_exception_and_leave_the_file(saved, changes, exception, message):
    before = saved.read_bytes()
    with pytest.raises(exception) as raised:
        annotrove.save_policy(str(saved), without(**changes))
    if message is not None:
        assert raised.value.args == (message,)
    assert not getattr(raised.value, "__notes__", None)
    assert saved.read_bytes() == before


@pytest.mark.parametrize("name", SCORE_NAMES)
def test_every_serialised_score_name_is_accepted(tmp_path, name):
    path = tmp_path / "p.json"
    annotrove.save_policy(str(path), without(scoring_method=name))
    assert annotrove.load_policy(str(path))["scoring_method"] == name


def test_numbers_convert_like_float_and_extra_keys_are_ignored(tmp_path):
    class Level:
        def __float__(self):
            return 0.975

    path = tmp_path / "p.json"
    policy = without("confidence_level", "created_by", threshold=0, target_error_rate=True,
                     group_thresholds={"a": 1.0}, group_col="x", note="kept out")
    policy["confidence_level"] = Level()
    annotrove.save_policy(str(path), policy)
    loaded = annotrove.load_policy(str(path))
    assert loaded == without(threshold=0.0, target_error_rate=1.0, confidence_level=0.975)
    assert type(loaded["threshold"]) is float
    assert "group" not in path.read_text()


def test_dict_subclasses_are_read_with_the_dicts_own_lookup(tmp_path):
    class Defaulting(dict):
        def __missing__(self, key):
            return "margin"

        def __getitem__(self, key):
            raise AssertionError("the dict's own lookup must be used")

    annotrove.save_policy(str(tmp_path / "p.json"), Defaulting(POLICY))
    with pytest.raises(KeyError, match="missing 'version'"):
        annotrove.save_policy(str(tmp_path / "q.json"), Defaulting(without("version")))


def test_the_dict_passed_in_is_not_changed(tmp_path):
    policy = without(created_by="someone", extra=1)
    copy = dict(policy)
    annotrove.save_policy(str(tmp_path / "p.json"), policy)
    annotrove.apply_policy(str(_table(tmp_path)), policy)
    assert policy == copy and list(policy) == list(copy)


def _table(tmp_path) -> pathlib.Path:
    path = tmp_path / "t.csv"
    path.write_text("query_id,candidate_id,rank,score,probability\nq,a,1,1,0.9\nq,b,2,0,0.1\n")
    return path


def test_returned_dicts_have_seven_keys_in_order_with_exact_floats(tmp_path):
    path = tmp_path / "p.json"
    annotrove.save_policy(str(path), without(threshold=math.nextafter(0.1, 1), confidence_level=0.9))
    loaded = annotrove.load_policy(str(path))
    assert list(loaded) == list(POLICY)
    assert loaded["threshold"] == math.nextafter(0.1, 1)
    assert loaded["confidence_level"] == 0.9


def test_load_then_save_round_trips_byte_for_byte_and_drops_group_fields(tmp_path):
    source = tmp_path / "with_groups.json"
    source.write_text(
        '{"version": "0.1.0", "scoring_method": "entropy", "threshold": 1e-7,\n'
        ' "target_error_rate": 0.1, "calibration_method": "crc", "confidence_level": 0.99,\n'
        ' "created_by": "someone", "group_col": "ion", "group_thresholds": {"[M+H]+": 0.5}}'
    )
    first, second = tmp_path / "first.json", tmp_path / "second.json"
    annotrove.save_policy(str(first), annotrove.load_policy(str(source)))
    annotrove.save_policy(str(second), annotrove.load_policy(str(first)))
    assert first.read_bytes() == second.read_bytes()
    assert "group" not in first.read_text()
    assert annotrove.load_policy(str(first))["created_by"] == "annotrove"


def test_calibrated_policy_goes_unchanged_through_save_load_and_apply(tmp_path):
    table = tmp_path / "labelled.csv"
    table.write_text("query_id,candidate_id,rank,score,probability,is_correct\n"
                     "q1,a,1,1,0.9,true\nq1,b,2,0,0.1,false\nq2,c,1,1,0.6,false\nq2,d,2,0,0.4,true\n")
    policy = annotrove.calibrate(str(table), "margin", 0.0, "binomial", 0.95)
    path = tmp_path / "p.json"
    annotrove.save_policy(str(path), policy)
    assert path.read_text().count("\n") == 8 and not path.read_text().endswith("\n")
    assert annotrove.load_policy(str(path)) == policy
    decisions = annotrove.apply_policy(str(table), policy)
    assert [d["accepted"] for d in decisions] == [False, False]
