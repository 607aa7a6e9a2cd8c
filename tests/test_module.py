"""The module surface: attributes, signatures, argument matching and exception mapping."""

import inspect
import pathlib
import sys

import pytest

import annotrove
from score_reference import policy

# The seven first functions keep their order; later ones are appended after them.
NAMES = ["compute_curve", "aurc", "eaurc", "calibrate", "apply_policy", "load_policy", "save_policy", "augrc",
         "compare_scores"]

SIGNATURES = {
    "compute_curve": "(csv_path, score, *, threads=None)",
    "aurc": "(curve)",
    "eaurc": "(curve)",
    "calibrate": '(csv_path, score, error_rate, method="empirical", confidence_level=None, *, threads=None)',
    "apply_policy": "(csv_path, policy_dict, *, threads=None)",
    "load_policy": "(path)",
    "save_policy": "(path, policy_dict)",
    "augrc": "(curve)",
    "compare_scores": "(table, scores=None, *, resamples=2000, level=0.95, seed=0, curves=False, threads=None)",
}

POLICY = policy("margin", 0.1, 0.05)


def test_all_lists_the_functions_in_registration_order():
    assert annotrove.__all__ == NAMES
    own = {name for name in dir(annotrove) if not name.startswith("__")}
    assert own == set(NAMES)
    assert annotrove.__doc__ == ""


@pytest.mark.parametrize("name", NAMES)
def test_functions_are_bound_builtins_with_text_signatures(name):
    function = getattr(annotrove, name)
    assert function.__module__ == "annotrove"
    assert function.__self__ is annotrove
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name].replace('"', "'")
    assert function.__doc__ and "\n--\n" not in function.__doc__


def test_calibrate_signature_defaults():
    parameters = inspect.signature(annotrove.calibrate).parameters
    assert parameters["method"].default == "empirical"
    assert parameters["confidence_level"].default is None
    assert parameters["threads"].default is None
    assert parameters["threads"].kind is inspect.Parameter.KEYWORD_ONLY
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for name, p in parameters.items()
               if name != "threads")


# Matching problems are reported before any argument is converted: the bytes path would
# otherwise be the complaint.
@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: annotrove.compute_curve(b"x", "max-prob", 1), "positional"),
        (lambda: annotrove.aurc(), "missing 1 required argument: 'curve'"),
        (lambda: annotrove.calibrate(b"x", "margin"), "'error_rate'"),
        (lambda: annotrove.calibrate(b"x", "m", 0.1, "e", None, 6), "from 3 to 5"),
        (lambda: annotrove.load_policy(b"x", colour="red"), "unexpected keyword argument 'colour'"),
        (lambda: annotrove.save_policy(b"x", {}, path="y"), "multiple values for argument 'path'"),
        (lambda: annotrove.apply_policy(csv_path=b"x"), "'policy_dict'"),
    ],
)
def test_argument_matching_errors_come_first(call, fragment):
    with pytest.raises(TypeError) as raised:
        call()
    assert fragment in str(raised.value)
    assert not getattr(raised.value, "__notes__", None)


@pytest.mark.parametrize(
    "call, parameter, exception",
    [
        (lambda: annotrove.load_policy(b"policy.json"), "path", TypeError),
        (lambda: annotrove.load_policy(BytesPath()), "path", TypeError),
        (lambda: annotrove.load_policy(None), "path", TypeError),
        (lambda: annotrove.load_policy("\udcff"), "path", UnicodeEncodeError),
        (lambda: annotrove.compute_curve("t.csv", 3), "score", TypeError),
        (lambda: annotrove.aurc(()), "curve", TypeError),
        (lambda: annotrove.eaurc({}), "curve", TypeError),
        (lambda: annotrove.calibrate("t.csv", "margin", "0.05"), "error_rate", TypeError),
        (lambda: annotrove.calibrate("t.csv", "margin", 0.05, None), "method", TypeError),
        (lambda: annotrove.calibrate("t.csv", "margin", 0.05, "crc", "0.9"), "confidence_level", TypeError),
        (lambda: annotrove.apply_policy("t.csv", [("a", 1)]), "policy_dict", TypeError),
        (lambda: annotrove.save_policy("p.json", None), "policy_dict", TypeError),
    ],
)
def test_wrong_argument_kinds_carry_the_processing_note(call, parameter, exception):
    with pytest.raises(exception) as raised:
        call()
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]
    assert raised.value.__cause__ is None


class BytesPath:
    """A path object whose path is bytes: refused like bytes."""

    def __fspath__(self):
        return b"policy.json"


def test_type_messages_name_the_type_received():
    with pytest.raises(TypeError, match=r"must be str or os.PathLike\[str\], not BytesPath"):
        annotrove.load_policy(BytesPath())
    with pytest.raises(TypeError, match="must be str or os.PathLike\\[str\\], not bytes"):
        annotrove.load_policy(b"policy.json")


def test_method_names_are_parsed_before_the_file_is_opened():
    with pytest.raises(ValueError) as raised:
        annotrove.compute_curve("/no/such/file.csv", "Margin")
    assert raised.value.args == (
        "Unknown score method 'Margin'. Valid: max-prob, score-gap, margin, entropy, "
        "score-ratio, topk-gap, effective-k, candidate-count",
    )
    assert not getattr(raised.value, "__notes__", None)
    with pytest.raises(ValueError) as raised:
        annotrove.calibrate("/no/such/file.csv", "margin", 0.1, "Empirical")
    assert raised.value.args == ("Unknown calibration method 'Empirical'. Valid: empirical, binomial, crc, ltt",)


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: annotrove.compute_curve("/no/such/table.csv", "margin"), "CSV error: "),
        (lambda: annotrove.apply_policy("/no/such/table.csv", POLICY), "CSV error: "),
        (lambda: annotrove.load_policy("/no/such/policy.json"), "IO error: "),
        (lambda: annotrove.save_policy("/no/such/dir/policy.json", POLICY), "IO error: "),
    ],
)
def test_core_errors_are_runtime_errors_with_only_the_message(call, prefix):
    with pytest.raises(RuntimeError) as raised:
        call()
    assert type(raised.value) is RuntimeError
    assert len(raised.value.args) == 1 and raised.value.args[0].startswith(prefix)
    assert not getattr(raised.value, "__notes__", None)
    assert raised.value.__context__ is None


def test_parquet_paths_are_refused_without_touching_the_file(monkeypatch):
    # Without pyarrow (with it, the file is read: test_arrow_input.py).
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(RuntimeError) as raised:
        annotrove.compute_curve("missing/data.parquet", "margin")
    assert raised.value.args == (
        "Parquet input detected but annotrove was compiled without the 'parquet' feature; "
        "recompile with --features parquet",
    )


def test_calibrate_arguments_by_keyword_and_defaults(labelled_csv):
    by_position = annotrove.calibrate(labelled_csv, "margin", 1)
    by_keyword = annotrove.calibrate(
        confidence_level=None, error_rate=1.0, score="margin", csv_path=labelled_csv
    )
    assert by_position == by_keyword
    assert by_position["calibration_method"] == "empirical"
    assert by_position["target_error_rate"] == 1.0 and type(by_position["target_error_rate"]) is float
    assert by_position["confidence_level"] is None


def test_number_arguments_accept_index_and_float_protocols(labelled_csv):
    class Level:
        def __float__(self):
            return 0.95

    policy = annotrove.calibrate(labelled_csv, "max-prob", True, "crc", Level())
    assert policy["target_error_rate"] == 1.0
    assert policy["confidence_level"] == 0.95


def test_str_subclasses_are_accepted(labelled_csv):
    class Text(str):
        pass

    curve = annotrove.compute_curve(Text(labelled_csv), Text("max-prob"))
    assert curve == annotrove.compute_curve(labelled_csv, "max-prob")
