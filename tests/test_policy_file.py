"""Policy files: the exact text save_policy writes and the rules load_policy accepts them by."""

import decimal
import json
import math
import os
import pathlib
import re
import shutil
import stat
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import annotrove
from score_reference import policy

POLICY = policy("margin", 0.42, 0.05)

NINE_LINES = (
    "{\n"
    '  "version": "0.1.0",\n'
    '  "scoring_method": "margin",\n'
    '  "threshold": 0.42,\n'
    '  "target_error_rate": 0.05,\n'
    '  "calibration_method": "empirical",\n'
    '  "confidence_level": null,\n'
    '  "created_by": "annotrove"\n'
    "}"
)

# Members of a valid file as raw JSON texts, in field order.
MEMBERS = {
    "version": '"0.1.0"',
    "scoring_method": '"margin"',
    "threshold": "0.42",
    "target_error_rate": "0.05",
    "calibration_method": '"empirical"',
    "confidence_level": "null",
    "created_by": '"annotrove"',
}

POSITION = re.compile(r" at line \d+ column \d+$")

# File modes, links, FIFOs and resource limits below are POSIX features.
posix_only = pytest.mark.skipif(sys.platform == "win32", reason="POSIX file system features")
not_root = pytest.mark.skipif(
    sys.platform == "win32" or os.geteuid() == 0, reason="root ignores permission bits"
)


def policy_text(drop=(), extra=(), **replace) -> str:
    """A one-line policy file: MEMBERS without `drop`, values replaced, `extra` pairs appended."""
    members = [(k, replace.get(k, v)) for k, v in MEMBERS.items() if k not in drop]
    members += list(extra)
    return "{" + ", ".join(f'"{k}": {v}' for k, v in members) + "}"


@pytest.fixture
def write_file(tmp_path: pathlib.Path):
    counter = iter(range(1_000_000))

    def write(content: str | bytes) -> str:
        path = tmp_path / f"policy_{next(counter)}.json"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def policy_path(tmp_path: pathlib.Path) -> str:
    return str(tmp_path / "policy.json")


def bits(value: float) -> bytes:
    return struct.pack("<d", value)


def saved_text(path: str, **changes) -> str:
    annotrove.save_policy(path, {**POLICY, **changes})
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


def json_error(path: str) -> str:
    """The message of the RuntimeError that loading `path` raises, checked for its frame."""
    with pytest.raises(RuntimeError) as info:
        annotrove.load_policy(path)
    message = str(info.value)
    assert message.startswith("JSON error: ")
    assert POSITION.search(message), message
    return message


def expected_number_text(value: float) -> str:
    """Reference layout of a JSON number, built from Python's own shortest digits (repr)."""
    if not math.isfinite(value):
        return "null"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0.0"
    shortest = decimal.Decimal(repr(abs(value))).as_tuple()
    digits = "".join(map(str, shortest.digits))
    lead = len(digits) - 1 + shortest.exponent  # decimal exponent of the first digit
    digits = digits.rstrip("0")
    if -5 <= lead <= 15:
        if lead < 0:
            return sign + "0." + "0" * (-lead - 1) + digits
        if len(digits) <= lead + 1:
            return sign + digits + "0" * (lead + 1 - len(digits)) + ".0"
        return sign + digits[: lead + 1] + "." + digits[lead + 1 :]
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'-' if lead < 0 else '+'}{abs(lead)}"


# --- writing ----------------------------------------------------------------------------------


def test_saved_calibration_policy_is_exactly_nine_lines_without_final_line_break(policy_path):
    assert saved_text(policy_path) == NINE_LINES
    assert annotrove.load_policy(policy_path) == POLICY


@pytest.mark.parametrize("created_by", ["someone else", None])
def test_save_always_writes_annotrove_as_creator(policy_path, created_by):
    policy = {k: v for k, v in POLICY.items() if k != "created_by"}
    if created_by is not None:
        policy["created_by"] = created_by
    annotrove.save_policy(policy_path, policy)
    assert json.loads(pathlib.Path(policy_path).read_text())["created_by"] == "annotrove"


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (1e15, "1000000000000000.0"),
        (1e16, "1e+16"),
        (0.00001, "0.00001"),
        (0.000001, "1e-6"),
        (0.05, "0.05"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (1.0, "1.0"),
        (120.0, "120.0"),
        (12.34, "12.34"),
        (-0.00123, "-0.00123"),
        (9007199254740993.0, "9007199254740992.0"),  # d = 15 still plain
        (1.5e16, "1.5e+16"),
        (9.99e-6, "9.99e-6"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (5e-324, "5e-324"),
        (-2.2250738585072014e-308, "-2.2250738585072014e-308"),
    ],
)
def test_numbers_are_written_shortest_with_fixed_layout(policy_path, value, text):
    written = saved_text(policy_path, threshold=value, confidence_level=value)
    assert f'  "threshold": {text},\n' in written
    assert f'  "confidence_level": {text},\n' in written
    loaded = annotrove.load_policy(policy_path)
    assert bits(loaded["threshold"]) == bits(value)
    assert bits(loaded["confidence_level"]) == bits(value)


# A policy that would not load back as itself is refused before any file is opened, so a good
# file in its place stays as it was. The error is the one loading the file would give: the
# reference is the loading error of the same text, with null where the writer would put it.
@pytest.mark.parametrize("field", ["threshold", "target_error_rate"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("version", ["0.1.0", "9.9"])
def test_non_finite_numbers_are_refused_with_the_loading_error(tmp_path, field, value, version):
    reference = tmp_path / "reference.json"
    reference.write_text(NINE_LINES.replace(f'"{field}": {MEMBERS[field]}', f'"{field}": null')
                         .replace('"0.1.0"', json.dumps(version)))
    expected = json_error(str(reference))  # the parse error wins over the version, as on load
    path = tmp_path / "policy.json"
    annotrove.save_policy(str(path), POLICY)
    with pytest.raises(RuntimeError) as info:
        annotrove.save_policy(str(path), {**POLICY, field: value, "version": version})
    assert str(info.value) == expected
    assert path.read_text() == NINE_LINES
    assert sorted(p.name for p in tmp_path.iterdir()) == ["policy.json", "reference.json"]


@pytest.mark.parametrize(("value", "text"), [(math.inf, "inf"), (-math.inf, "-inf"),
                                             (math.nan, "NaN")])
def test_non_finite_confidence_level_is_refused_naming_field_and_value(policy_path, value, text):
    annotrove.save_policy(policy_path, POLICY)
    with pytest.raises(RuntimeError) as info:
        annotrove.save_policy(policy_path, {**POLICY, "confidence_level": value})
    assert str(info.value) == (f"JSON error: cannot save confidence_level {text}: "
                               "a policy file holds only finite numbers")
    assert pathlib.Path(policy_path).read_text() == NINE_LINES


@pytest.mark.parametrize("version", ["0.2.0", "", "0.1.0 "])
def test_other_versions_are_refused_before_saving(policy_path, version):
    annotrove.save_policy(policy_path, POLICY)
    with pytest.raises(RuntimeError) as info:
        annotrove.save_policy(policy_path, {**POLICY, "version": version})
    assert str(info.value) == "Unknown policy version: " + version
    assert pathlib.Path(policy_path).read_text() == NINE_LINES
    assert os.listdir(os.path.dirname(policy_path)) == ["policy.json"]


@given(st.floats(allow_nan=False, allow_infinity=False))
@example(5e-324)
@example(1e-5)
@example(9.999999999999999e-6)
@example(1e16)
@example(9999999999999998.0)
@settings(max_examples=300, deadline=None)
def test_every_finite_float_is_written_by_the_layout_rule_and_reads_back_bit_exact(
    tmp_path_factory, value
):
    path = str(tmp_path_factory.mktemp("float") / "p.json")
    text = saved_text(path, threshold=value)
    line = text.split("\n")[3]
    assert line == f'  "threshold": {expected_number_text(value)},'
    assert bits(json.loads(text)["threshold"]) == bits(value)
    assert bits(annotrove.load_policy(path)["threshold"]) == bits(value)


@given(st.text(st.characters(exclude_categories=["Cs"])))
@example("\"\\\b\t\n\f\r\x00\x1f\x7f é 😀")
@settings(max_examples=200, deadline=None)
def test_strings_are_escaped_like_python_json_without_ascii_escapes(tmp_path_factory, version):
    # save_policy writes no version but its own: the writer's text comes from the probe.
    probe = pytest.importorskip("_annotrove_probe")
    path = tmp_path_factory.mktemp("text") / "p.json"
    text = probe.policy_text(version)
    path.write_bytes(text.encode("utf-8"))
    path = str(path)
    assert text.split("\n")[1] == f'  "version": {json.dumps(version, ensure_ascii=False)},'
    if version == "0.1.0":
        return
    with pytest.raises(RuntimeError) as info:
        annotrove.load_policy(path)
    assert str(info.value) == "Unknown policy version: " + version


def test_overwriting_a_longer_file_leaves_no_old_bytes(policy_path):
    pathlib.Path(policy_path).write_text("x" * 5000)
    assert saved_text(policy_path) == NINE_LINES


# --- reading: accepted files -------------------------------------------------------------------


@given(
    st.from_regex(r"\A-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,25})?([eE][+-]?[0-9]{1,3})?\Z")
)
@example("1e400")
@example("-1e-400")
@example("2.4703282292062328e-324")
@example("1.7976931348623158e308")
@settings(max_examples=400, deadline=None)
def test_numbers_read_correctly_rounded_like_python_float(tmp_path_factory, number):
    path = tmp_path_factory.mktemp("num") / "p.json"
    path.write_text(policy_text(threshold=number))
    expected = float(number)
    if math.isinf(expected):
        with pytest.raises(RuntimeError, match="number out of range at line 1 column"):
            annotrove.load_policy(str(path))
    else:
        assert bits(annotrove.load_policy(str(path))["threshold"]) == bits(expected)


@given(st.text(st.characters(exclude_categories=["Cs"]), min_size=1))
@settings(max_examples=200, deadline=None)
def test_escaped_strings_decode_like_python_json(tmp_path_factory, version):
    path = tmp_path_factory.mktemp("esc") / "p.json"
    # ensure_ascii writes every non-ASCII character as \u escapes, astral ones as surrogate pairs.
    path.write_text(policy_text(version=json.dumps(version + "!", ensure_ascii=True)))
    with pytest.raises(RuntimeError) as info:
        annotrove.load_policy(str(path))
    assert str(info.value) == "Unknown policy version: " + version + "!"


@pytest.mark.parametrize(
    "text",
    [
        policy_text(),
        policy_text(drop=["confidence_level"]),
        " \t\r\n" + policy_text() + " \t\r\n",
        policy_text(extra=[("comment", '"made by hand"')]),
        policy_text(extra=[("group_col", '"batch"'), ("group_thresholds", '{"a": 1, "a": 2}')]),
        policy_text(extra=[("group_col", "null"), ("group_thresholds", "null")]),
        policy_text(extra=[("group_thresholds", "{}")]),
        policy_text(extra=[("x", '[{"a": [1, -2.5e-3, true, false, null, "\\u00e9"]}, {}, []]')]),
        '["0.1.0", "margin", 0.42, 0.05, "empirical", null, "annotrove", null, null]',
        '["0.1.0", "margin", 0.42, 0.05, "empirical", null, "annotrove", "g", {"a": 0.5}]',
        '{"v\\u0065rsion": "0.1.0", ' + policy_text(drop=["version"])[1:],
        json.dumps(POLICY, indent=4),
    ],
    ids=[
        "one-line",
        "no-confidence-level",
        "surrounding-whitespace",
        "unknown-member",
        "group-fields",
        "null-group-fields",
        "empty-group-thresholds",
        "nested-unknown-member",
        "array-form",
        "array-form-with-groups",
        "escaped-key",
        "python-json-dump",
    ],
)
def test_valid_files_load_to_the_seven_key_dict(write_file, text):
    loaded = annotrove.load_policy(write_file(text))
    assert list(loaded) == list(POLICY)
    assert loaded == POLICY


def test_integer_threshold_loads_as_float(write_file):
    loaded = annotrove.load_policy(write_file(policy_text(threshold="1")))
    assert type(loaded["threshold"]) is float and loaded["threshold"] == 1.0


def test_confidence_level_number_loads(write_file):
    assert annotrove.load_policy(write_file(policy_text(confidence_level="0.95")))[
        "confidence_level"
    ] == 0.95


@pytest.mark.parametrize("kind", ["arrays", "objects"])
def test_deeply_nested_unknown_member_is_skipped_without_recursion(write_file, kind):
    depth = 5_000_000
    nested = "[" * depth + "]" * depth if kind == "arrays" else '{"a":' * depth + "1" + "}" * depth
    assert annotrove.load_policy(write_file(policy_text(extra=[("deep", nested)]))) == POLICY


def test_deeply_nested_unbalanced_value_is_refused(write_file):
    depth = 1_000_000
    text = policy_text(extra=[("deep", "[" * depth)])
    assert "expected value" in json_error(write_file(text))
    assert "EOF while parsing a value" in json_error(write_file(text[:-1]))


# --- reading: refused files --------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (policy_text() + "x", "trailing characters at line 1 column 183"),
        (policy_text() + "\f", "trailing characters"),
        (policy_text() + "{}", "trailing characters"),
        (
            policy_text(extra=[("threshold", "1")]),
            "duplicate field `threshold` at line 1 column 184",
        ),
        (
            policy_text(extra=[("confidence_level", "null")]),
            "duplicate field `confidence_level`",
        ),
        (policy_text(threshold='"a"'), 'invalid type: string "a", expected a number'),
        (policy_text(threshold="null"), "invalid type: null, expected a number"),
        (policy_text(target_error_rate="true"), "invalid type: boolean `true`, expected a number"),
        (policy_text(version="1"), "invalid type: integer `1`, expected a string"),
        (policy_text(version="-7"), "invalid type: integer `-7`, expected a string"),
        (policy_text(created_by="1.5"), "invalid type: floating point `1.5`, expected a string"),
        (policy_text(version="null"), "invalid type: null, expected a string"),
        (policy_text(version="[]"), "invalid type: sequence, expected a string"),
        (policy_text(version="{}"), "invalid type: map, expected a string"),
        (policy_text(confidence_level='"0.9"'), 'invalid type: string "0.9", expected a number'),
        (
            policy_text(extra=[("group_col", "3")]),
            "invalid type: integer `3`, expected a string",
        ),
        (
            policy_text(extra=[("group_thresholds", "[]")]),
            "invalid type: sequence, expected a map",
        ),
        (
            policy_text(extra=[("group_thresholds", '{"a": null}')]),
            "invalid type: null, expected a number",
        ),
        ('"policy"', 'invalid type: string "policy", expected struct PolicyFile'),
        ("", "EOF while parsing a value at line 1 column 1"),
        ("\ufeff" + policy_text(), "expected value"),
        (
            policy_text(scoring_method='"Margin"'),
            "unknown variant `Margin`, expected one of `max_prob`, `score_gap`, `margin`, "
            "`entropy`, `score_ratio`, `top_k_gap`, `effective_k`, `candidate_count`",
        ),
        (
            policy_text(scoring_method='"topk_gap"'),
            "unknown variant `topk_gap`, expected one of `max_prob`",
        ),
        (
            policy_text(calibration_method='"Empirical"'),
            "unknown variant `Empirical`, expected one of `empirical`, `binomial`, `crc`, `ltt`",
        ),
        (
            policy_text(calibration_method='" crc"'),
            "unknown variant ` crc`, expected one of `empirical`, `binomial`, `crc`, `ltt`",
        ),
        ('["0.1.0", "margin", 1]', "invalid length 3, expected struct PolicyFile with 9 elements"),
        ("[]", "invalid length 0, expected struct PolicyFile with 9 elements"),
        (
            '["0.1.0", "margin", 1, 1, "crc", null, "annotrove"]',
            "invalid length 7, expected struct PolicyFile with 9 elements",
        ),
        (
            '["0.1.0", "margin", 1, 1, "crc", null, "annotrove", null, null, 0]',
            "trailing elements in array, expected struct PolicyFile with 9 elements",
        ),
        (policy_text()[:-1] + ",}", "trailing comma"),
        (policy_text(extra=[("x", "[1,]")]), "trailing comma"),
        (policy_text(extra=[("x", '{"a" 1}')]), "expected `:`"),
        (policy_text(extra=[("x", "[1 2]")]), "expected `,` or `]`"),
        (policy_text(extra=[("x", "tru")]), "expected `true`"),
        (policy_text(extra=[("x", "01")]), "invalid number"),
        (policy_text(extra=[("x", "1.")]), "invalid number"),
        (policy_text(extra=[("x", "-")]), "invalid number"),
        (policy_text(extra=[("x", "1e+")]), "invalid number"),
        (policy_text(extra=[("x", "+1")]), "expected value"),
        (policy_text(extra=[("x", "NaN")]), "expected value"),
        (policy_text(extra=[("x", "1e999")]), "number out of range"),
        (policy_text(threshold="-1e400"), "number out of range"),
        (policy_text(extra=[("x", "'a'")]), "expected value"),
        (policy_text(extra=[("x", '"\\ud800"')]), "lone leading surrogate"),
        (policy_text(extra=[("x", '"\\udc00\\ud800"')]), "lone trailing surrogate"),
        (policy_text(extra=[("x", '"\\ud800\\u0041"')]), "surrogate"),
        (policy_text(extra=[("x", '"\\x41"')]), "invalid escape"),
        (policy_text(extra=[("x", '"\\u12g4"')]), "invalid hex digit"),
        (policy_text(extra=[("x", '"a\tb"')]), "control character"),
        (policy_text(extra=[("x", '"a\nb"')]), "control character"),
        (policy_text()[:-1], "EOF while parsing an object"),
        ('{"version": "0.1', "EOF while parsing a string"),
        ("{1: 2}", "key must be a string"),
    ],
)
def test_malformed_files_are_refused_with_json_error_and_position(write_file, text, message):
    assert message in json_error(write_file(text))


@pytest.mark.parametrize(
    "raw",
    [
        b'"\xff"',  # never valid in UTF-8
        b'"\xc0\xaf"',  # overlong encoding of '/'
        b'"\xed\xa0\x80"',  # an encoded surrogate
        b'"\xf4\x90\x80\x80"',  # above U+10FFFF
        b'"\xe2\x82"',  # truncated sequence
    ],
)
def test_invalid_utf8_in_strings_is_refused(write_file, raw):
    text = policy_text().encode()[:-1] + b', "x": ' + raw + b"}"
    assert "invalid UTF-8 in string" in json_error(write_file(text))


def test_error_position_counts_lines_and_characters(write_file):
    text = '{\n  "version": "0.1.0",\n  "é": 1,\n  "threshold": "x"\n}'
    assert json_error(write_file(text)).endswith(
        'invalid type: string "x", expected a number at line 4 column 16'
    )


@pytest.mark.parametrize(
    ("drop", "reported"),
    [
        (["version", "created_by"], "version"),
        (["created_by"], "created_by"),
        (["threshold", "calibration_method"], "threshold"),
        (["target_error_rate", "calibration_method", "created_by"], "target_error_rate"),
        (["calibration_method"], "calibration_method"),
        (["scoring_method", "threshold", "target_error_rate"], "scoring_method"),
        (list(MEMBERS), "version"),
    ],
)
def test_first_missing_field_is_reported_in_field_order(write_file, drop, reported):
    message = json_error(write_file(policy_text(drop=drop)))
    assert re.search(f"missing field `{reported}` at line 1 column \\d+$", message)


@pytest.mark.parametrize("version", ["0.1.1", "0.1.0 ", "0.1", "", "0.1.0\u0000"])
def test_other_versions_are_refused_after_a_complete_parse(write_file, version):
    path = write_file(policy_text(version=json.dumps(version)))
    with pytest.raises(RuntimeError) as info:
        annotrove.load_policy(path)
    assert str(info.value) == "Unknown policy version: " + version


def test_missing_field_wins_over_unsupported_version(write_file):
    path = write_file(policy_text(version='"9.9.9"', drop=["created_by"]))
    assert "missing field `created_by`" in json_error(path)


def test_later_type_error_wins_over_unsupported_version(write_file):
    path = write_file(policy_text(version='"9.9.9"', threshold='"x"'))
    assert 'invalid type: string "x"' in json_error(path)


# --- files --------------------------------------------------------------------------------------


def test_load_of_missing_file_is_io_error(tmp_path):
    with pytest.raises(RuntimeError, match=r"^IO error: No such file or directory"):
        annotrove.load_policy(str(tmp_path / "absent.json"))


def test_load_of_directory_is_io_error(tmp_path):
    with pytest.raises(RuntimeError, match=r"^IO error: "):
        annotrove.load_policy(str(tmp_path))


@pytest.mark.parametrize("name", ["missing_dir/p.json", "file/p.json", "."])
def test_save_where_no_file_can_be_created_is_io_error(tmp_path, name):
    (tmp_path / "file").write_text("x")
    with pytest.raises(RuntimeError, match=r"^IO error: "):
        annotrove.save_policy(str(tmp_path / name), POLICY)
    assert (tmp_path / "file").read_text() == "x"


@posix_only
def test_save_follows_a_symbolic_link_and_keeps_it(tmp_path):
    real = tmp_path / "real.json"
    real.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to("real.json")
    annotrove.save_policy(str(link), POLICY)
    assert link.is_symlink() and os.readlink(link) == "real.json"
    assert real.read_text() == NINE_LINES


@posix_only
def test_save_through_a_dangling_link_creates_its_target(tmp_path):
    link = tmp_path / "link.json"
    link.symlink_to("new.json")
    annotrove.save_policy(str(link), POLICY)
    assert link.is_symlink() and (tmp_path / "new.json").read_text() == NINE_LINES


@posix_only
def test_save_through_a_link_loop_is_io_error(tmp_path):
    (tmp_path / "a").symlink_to("b")
    (tmp_path / "b").symlink_to("a")
    with pytest.raises(RuntimeError, match=r"^IO error: "):
        annotrove.save_policy(str(tmp_path / "a"), POLICY)
    assert (tmp_path / "a").is_symlink()


@posix_only
def test_save_keeps_permission_bits_of_replaced_file(policy_path):
    pathlib.Path(policy_path).write_text("old")
    os.chmod(policy_path, 0o640)
    annotrove.save_policy(policy_path, POLICY)
    assert stat.S_IMODE(os.stat(policy_path).st_mode) == 0o640


@posix_only
def test_save_to_device_writes_in_place():
    annotrove.save_policy(os.devnull, POLICY)
    assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)


@posix_only
def test_save_to_fifo_writes_the_text_into_it(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    annotrove.save_policy(str(fifo), POLICY)
    out, _ = reader.communicate(timeout=10)
    assert out.decode() == NINE_LINES
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


@posix_only
@pytest.mark.skipif(not os.path.isdir("/dev/fd"), reason="no /dev/fd")
def test_save_to_a_descriptor_path_writes_into_the_pipe():
    # What a shell's process substitution hands over: /dev/fd/N, a link to a pipe no path names.
    read_end, write_end = os.pipe()
    try:
        annotrove.save_policy(f"/dev/fd/{write_end}", POLICY)
    finally:
        os.close(write_end)
    with os.fdopen(read_end, "rb") as stream:
        assert stream.read().decode() == NINE_LINES


@not_root
def test_save_into_read_only_directory_is_io_error_and_keeps_old_file(tmp_path):
    old = tmp_path / "p.json"
    annotrove.save_policy(str(old), {**POLICY, "threshold": 0.25})
    os.chmod(tmp_path, 0o555)
    try:
        with pytest.raises(RuntimeError, match=r"^IO error: Permission denied"):
            annotrove.save_policy(str(old), POLICY)
        with pytest.raises(RuntimeError, match=r"^IO error: Permission denied"):
            annotrove.save_policy(str(tmp_path / "new.json"), POLICY)
    finally:
        os.chmod(tmp_path, 0o755)
    assert annotrove.load_policy(str(old))["threshold"] == 0.25


@not_root
def test_save_over_a_read_only_file_is_io_error_and_keeps_it(policy_path):
    pathlib.Path(policy_path).write_text("old")
    os.chmod(policy_path, 0o444)
    with pytest.raises(RuntimeError, match=r"^IO error: Permission denied"):
        annotrove.save_policy(policy_path, POLICY)
    assert pathlib.Path(policy_path).read_text() == "old"


FAILING_SAVE = textwrap.dedent(
    """
    import resource, signal, sys
    import annotrove
    # Writes beyond 64 bytes fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
    policy = dict(version="0.1.0", scoring_method="entropy", threshold=0.9,
                  target_error_rate=0.1, calibration_method="crc", confidence_level=None)
    try:
        annotrove.save_policy(sys.argv[1], policy)
    except RuntimeError as error:
        print(error)
    """
)


@posix_only
@pytest.mark.parametrize("existing", [True, False])
def test_failed_write_keeps_previous_policy_and_leaves_no_temporary_file(tmp_path, existing):
    path = tmp_path / "p.json"
    if existing:
        annotrove.save_policy(str(path), POLICY)
    result = subprocess.run(
        [sys.executable, "-c", FAILING_SAVE, str(path)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("JSON error: failed to write policy file: File too large")
    if existing:
        assert path.read_text() == NINE_LINES
        assert annotrove.load_policy(str(path)) == POLICY
    assert sorted(p.name for p in tmp_path.iterdir()) == (["p.json"] if existing else [])


# --- durability and permissions of a replaced file --------------------------------------------

TRACED_SAVE = textwrap.dedent(
    """
    import os, sys
    import annotrove
    os.umask(0)  # the temporary file's own mode shows unmasked
    annotrove.save_policy(sys.argv[1], dict(version="0.1.0", scoring_method="margin",
        threshold=0.42, target_error_rate=0.05, calibration_method="empirical"))
    """
)


def traced_save(path: pathlib.Path) -> list[str]:
    """The file system calls of one save, as strace prints them."""
    log = path.parent / "strace.log"
    calls = "openat,open,fsync,fdatasync,fchmod,chmod,fchown,rename,renameat,renameat2,close"
    result = subprocess.run(
        ["strace", "-f", "-qq", "-e", f"trace={calls}", "-o", str(log),
         sys.executable, "-c", TRACED_SAVE, str(path)],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    if result.returncode != 0 and "ptrace" in result.stderr:
        pytest.skip("tracing is not permitted here")
    assert result.returncode == 0, result.stderr
    lines = [line.split(None, 1)[1] for line in log.read_text().splitlines() if " " in line]
    log.unlink()
    # From the probe of the old file on: what happens before is the interpreter starting.
    start = max(i for i, line in enumerate(lines) if str(path) in line and "rename" not in line
                and "O_APPEND" in line)
    return lines[start:]


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("strace") is None,
                    reason="needs strace on Linux")
def test_save_creates_owner_only_syncs_before_rename_and_syncs_the_directory(tmp_path):
    path = tmp_path / "policy.json"
    path.write_text("old")
    os.chmod(path, 0o600)
    calls = traced_save(path)
    created = [i for i, c in enumerate(calls) if ".annotrove-" in c and "O_EXCL" in c]
    assert len(created) == 1, calls
    create = calls[created[0]]
    assert create.split(", ")[-1].startswith("0600)"), create  # born owner-only
    descriptor = create.rsplit("= ", 1)[1]
    renamed = next(i for i, c in enumerate(calls) if c.startswith("rename"))
    between = calls[created[0]:renamed]
    assert f"fsync({descriptor})" in "".join(between), calls  # the data before the name
    assert any(c.startswith(f"fchmod({descriptor}, 0600)") for c in between), calls
    directory = next(i for i, c in enumerate(calls) if i > renamed and f'"{tmp_path}"' in c
                     and "O_DIRECTORY" in c)
    dir_descriptor = calls[directory].rsplit("= ", 1)[1]
    assert any(c.startswith(f"fsync({dir_descriptor})") for c in calls[directory:]), calls
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert annotrove.load_policy(str(path))["threshold"] == 0.42


@posix_only
def test_save_keeps_the_group_of_the_replaced_file_where_allowed(policy_path):
    others = [g for g in os.getgroups() if g != os.getegid()]
    group = 4242 if os.geteuid() == 0 else (others[0] if others else None)
    if group is None:
        pytest.skip("needs a second group this user may give a file")
    pathlib.Path(policy_path).write_text("old")
    os.chown(policy_path, -1, group)
    os.chmod(policy_path, 0o640)
    annotrove.save_policy(policy_path, POLICY)
    info = os.stat(policy_path)
    assert (info.st_gid, stat.S_IMODE(info.st_mode)) == (group, 0o640)
    assert annotrove.load_policy(policy_path) == POLICY


@posix_only
def test_a_new_file_gets_the_mode_the_umask_allows(tmp_path):
    before = os.umask(0o027)
    try:
        annotrove.save_policy(str(tmp_path / "new.json"), POLICY)
    finally:
        os.umask(before)
    assert stat.S_IMODE(os.stat(tmp_path / "new.json").st_mode) == 0o640
