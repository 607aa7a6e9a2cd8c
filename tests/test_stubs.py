"""The type stubs (annotrove-stubs) agree with the module they describe.

The stub is read with ast, so these tests need no type checker. The installed copy is checked when
annotrove was installed as a distribution; otherwise (a development build on PYTHONPATH) the copy
in the source tree is.
"""

import ast
import importlib.metadata
import inspect
import pathlib

import pytest

import annotrove

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[1] / "stubs" / "annotrove-stubs" / "__init__.pyi"
STUB_FILE = "annotrove-stubs/__init__.pyi"


def installed_stub() -> pathlib.Path | None:
    try:
        files = importlib.metadata.distribution("annotrove").files or []
    except importlib.metadata.PackageNotFoundError:
        return None
    for file in files:
        if file.as_posix() == STUB_FILE:
            return pathlib.Path(str(file.locate()))
    return None


STUB = ast.parse((installed_stub() or SOURCE_STUB).read_text(encoding="utf-8"))
FUNCTIONS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def assigned(name: str) -> ast.expr:
    for node in STUB.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.target.id == name:
            assert node.value is not None
            return node.value
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name for t in node.targets):
            return node.value
    raise AssertionError(f"{name} is not defined in the stub")


def literal_values(alias: str) -> list[str]:
    value = assigned(alias)
    assert isinstance(value, ast.Subscript) and ast.unparse(value.value) == "Literal"
    assert isinstance(value.slice, ast.Tuple)
    return [ast.literal_eval(element) for element in value.slice.elts]


def typed_dict_keys(name: str) -> list[str]:
    return [node.target.id for node in CLASSES[name].body if isinstance(node, ast.AnnAssign)]


def test_installed_distribution_ships_the_stub():
    try:
        importlib.metadata.distribution("annotrove")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("annotrove is not installed as a distribution (development build)")
    path = installed_stub()
    assert path is not None and path.is_file()
    assert path.parent.parent == pathlib.Path(annotrove.__file__).parent


def test_stub_all_is_the_module_all():
    assert ast.literal_eval(assigned("__all__")) == annotrove.__all__
    assert set(FUNCTIONS) == set(annotrove.__all__)


@pytest.mark.parametrize("name", annotrove.__all__)
def test_stub_parameters_match_the_module_signature(name):
    stub = FUNCTIONS[name].args
    runtime = inspect.signature(getattr(annotrove, name)).parameters.values()
    assert not stub.posonlyargs and stub.vararg is None and stub.kwarg is None
    positional = [p for p in runtime if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    keyword_only = [p for p in runtime if p.kind is inspect.Parameter.KEYWORD_ONLY]
    assert len(positional) + len(keyword_only) == len(runtime)
    assert [arg.arg for arg in stub.args] == [p.name for p in positional]
    assert [arg.arg for arg in stub.kwonlyargs] == [p.name for p in keyword_only]
    runtime_defaults = [p.default for p in positional if p.default is not inspect.Parameter.empty]
    assert [ast.literal_eval(default) for default in stub.defaults] == runtime_defaults
    assert [ast.literal_eval(d) for d in stub.kw_defaults if d is not None] == [p.default for p in keyword_only]
    assert FUNCTIONS[name].returns is not None


def test_typed_dict_keys_follow_the_returned_dicts(labelled_csv, tmp_path):
    curve = annotrove.compute_curve(labelled_csv, "max-prob")
    policy = annotrove.calibrate(labelled_csv, "max-prob", 0.5)
    decision = annotrove.apply_policy(labelled_csv, policy)[0]
    assert typed_dict_keys("CurvePoint") == list(curve[0])
    assert typed_dict_keys("PolicyDict") == list(policy)
    assert typed_dict_keys("Decision") == list(decision)
    assert set(typed_dict_keys("PolicyArgument")) == set(policy)
    rows = annotrove.compare_scores(labelled_csv, ["margin"], resamples=3, curves=True)
    assert typed_dict_keys("ScoreComparison") == list(rows[0])


@pytest.mark.parametrize("score", literal_values("ScoreName"))
def test_every_score_name_in_the_stub_is_accepted(labelled_csv, score):
    annotrove.compute_curve(labelled_csv, score)


def test_score_names_in_the_stub_are_all_the_accepted_forms(labelled_csv):
    # Underscore and hyphen forms of every method; anything else is refused.
    names = literal_values("ScoreName")
    stems = {name.replace("_", "-") for name in names}
    assert len(stems) == len(literal_values("PolicyScoreName")) == 8
    for stem in stems:
        for form in {stem, stem.replace("-", "_")}:
            assert form in names
            annotrove.compute_curve(labelled_csv, form)


@pytest.mark.parametrize(
    ("policy_name", "display_name"),
    list(zip(literal_values("PolicyScoreName"), literal_values("DisplayName"), strict=True)),
)
def test_policy_names_and_display_names_match_the_module(labelled_csv, tmp_path, policy_name, display_name):
    path = str(tmp_path / "policy.json")
    policy = {"version": "0.1.0", "scoring_method": policy_name, "threshold": 0.0,
              "target_error_rate": 0.1, "calibration_method": "empirical"}
    annotrove.save_policy(path, policy)
    assert annotrove.load_policy(path)["scoring_method"] == policy_name
    assert {d["method"] for d in annotrove.apply_policy(labelled_csv, policy)} == {display_name}


@pytest.mark.parametrize("method", literal_values("CalibrationName"))
def test_every_calibration_name_in_the_stub_is_accepted(labelled_csv, method):
    assert annotrove.calibrate(labelled_csv, "margin", 0.1, method, 0.95)["calibration_method"] == method
