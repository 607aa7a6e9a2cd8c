"""The annotrove command, run in a subprocess the way a pipeline runs it.

Against an installed wheel the tests run the installed `annotrove` script; against a development
build (nothing installed) they run `python -m annotrove_cli` from the source folder cli/.
"""

import csv
import importlib.metadata
import io
import json
import math
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tomllib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import annotrove

ROOT = pathlib.Path(__file__).resolve().parents[1]
LABELLED = str(ROOT / "examples" / "data" / "calibration.csv")
NEW_BATCH = str(ROOT / "examples" / "data" / "new_batch.csv")
MSFINDER = ROOT / "tests" / "data" / "convert" / "msfinder" / "Structure result-2091.txt"
SCORES = ["max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap", "effective-k", "candidate-count"]

sys.path.append(str(ROOT / "cli"))  # after site-packages: an installed copy wins
import annotrove_cli  # noqa: E402


def find_command() -> tuple[list[str], list[str]]:
    """The command line to run, and the PYTHONPATH it needs (absolute: runs change folder)."""
    inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    module_dir = pathlib.Path(annotrove.__file__).parent
    script = pathlib.Path(sys.executable).parent / ("annotrove.exe" if os.name == "nt" else "annotrove")
    if script.exists() and (module_dir / "annotrove_cli.py").exists():
        return [str(script)], inherited
    return [sys.executable, "-m", "annotrove_cli"], [str(ROOT / "cli"), str(module_dir), *inherited]


COMMAND, PYTHONPATH = find_command()


def environment(*extra_path: pathlib.Path) -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=os.pathsep.join([*map(str, extra_path), *PYTHONPATH]))


def run(*args: object, cwd: pathlib.Path | None = None, extra_path: tuple[pathlib.Path, ...] = ()):
    """Runs the command; stdout as bytes (CSV line ends are part of what is tested), stderr as text."""
    done = subprocess.run([*COMMAND, *map(str, args)], cwd=cwd, env=environment(*extra_path),
                          capture_output=True, timeout=300)
    return done.returncode, done.stdout, done.stderr.decode("utf-8")


def exact(value: object) -> object:
    """Floats compared by repr: NaN equals NaN, -0.0 differs from 0.0."""
    return repr(float(value)) if isinstance(value, float) else value


@pytest.fixture
def files(tmp_path):
    """Inputs for failing runs, by name; "out" is where an output would go."""
    names = {"missing": "missing.csv", "no_score": "no_score.csv", "broken_cell": "broken_cell.csv",
             "policy": "policy.json", "old_version": "old_version.json", "parquet": "table.parquet", "out": "out"}
    paths = {key: str(tmp_path / name) for key, name in names.items()}
    pathlib.Path(paths["no_score"]).write_text("query_id,candidate_id,rank\nq,a,1\n")
    # The bad cell holds a line break, which the one-line error message must not keep.
    pathlib.Path(paths["broken_cell"]).write_text('query_id,candidate_id,rank,score\nq,a,"1\n2",1\n')
    annotrove.save_policy(paths["policy"], annotrove.calibrate(LABELLED, "margin", 0.05))
    old = json.loads(pathlib.Path(paths["policy"]).read_text())
    pathlib.Path(paths["old_version"]).write_text(json.dumps(dict(old, version="0.0.9")))
    return paths


def test_the_installed_wheel_declares_the_command_the_tests_run():
    try:
        distribution = importlib.metadata.distribution("annotrove")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("annotrove is not installed as a distribution (development build)")
    (entry,) = [e for e in distribution.entry_points if e.group == "console_scripts" and e.name == "annotrove"]
    assert entry.value == "annotrove_cli:main"
    assert pathlib.Path(COMMAND[0]).stem == "annotrove"


def test_version_is_the_distribution_version():
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    try:
        expected = importlib.metadata.version("annotrove")
    except importlib.metadata.PackageNotFoundError:
        expected = declared
    assert annotrove_cli.FALLBACK_VERSION == declared
    assert run("--version") == (0, f"annotrove {expected}\n".encode(), "")


def test_every_help_shows_a_worked_example_that_runs(tmp_path):
    shutil.copy(LABELLED, tmp_path / "labelled.csv")
    shutil.copy(NEW_BATCH, tmp_path / "new_batch.csv")
    status, top, _ = run("--help")
    assert status == 0
    examples = top.decode().split("a pipeline:\n")[1].split("\n\n")[0].splitlines()
    for command in ("curve", "calibrate", "apply"):  # pipeline order: apply reads calibrate's policy
        status, text, errors = run(command, "--help")
        assert (status, errors) == (0, "") and text.startswith(f"usage: annotrove {command} ".encode())
        examples.append(text.decode().split("example:\n")[1].strip())
    for example in examples:
        argv = shlex.split(example)
        assert argv[0] == "annotrove"
        status, _, errors = run(*argv[1:], cwd=tmp_path)
        assert status == 0, (example, errors)
    assert {"points.csv", "policy.json", "decisions.csv"} <= set(os.listdir(tmp_path))


@pytest.mark.parametrize("args", [
    [],
    ["nonsense"],
    ["curve"],
    ["curve", LABELLED, "--points", "-"],
    ["curve", LABELLED, "--bogus"],
    ["calibrate", LABELLED, "--error-rate", "0.05", "-o", "p.json"],
    ["calibrate", LABELLED, "--score", "margin", "--error-rate", "five", "-o", "p.json"],
    ["calibrate", LABELLED, "--score", "margin", "--error-rate", "nan", "-o", "p.json"],
    ["calibrate", LABELLED, "--score", "margin", "--error-rate", "0.05", "--level", "inf", "-o", "p.json"],
    ["calibrate", LABELLED, "--score", "margin", "--error-rate", "0.05", "-o", "-"],
    ["apply", NEW_BATCH],
    ["apply", NEW_BATCH, "p.json", "--accepted"],  # no abbreviations: a later option could take them
    ["curve", LABELLED, "--threads", "0"],
    ["apply", NEW_BATCH, "p.json", "--threads", "two"],
    ["convert", "sirius", "x.tsv", "-o", "t.csv", "--threads", "-1"],
])
def test_usage_errors_get_argparse_message_and_status_2(tmp_path, args):
    status, out, errors = run(*args, cwd=tmp_path)
    assert (status, out) == (2, b"")
    assert errors.startswith("usage: annotrove") and errors.splitlines()[-1].startswith("annotrove")
    assert ": error: " in errors.splitlines()[-1]
    assert os.listdir(tmp_path) == []


CALIBRATE = ["--score", "margin", "--error-rate", "0.05", "-o", "{out}"]
# Each failing run, and the module call that fails the same way.
MODULE_ERRORS = {
    "unknown score": (["curve", LABELLED, "--score", "margin", "Margin"],
                      lambda f: annotrove.compute_curve(LABELLED, "Margin")),
    "missing table": (["apply", "{missing}", "{policy}", "-o", "{out}"],
                      lambda f: annotrove.apply_policy(f["missing"], annotrove.load_policy(f["policy"]))),
    "parquet table": (["curve", "{parquet}"], lambda f: annotrove.compute_curve(f["parquet"], "max-prob")),
    "missing column": (["calibrate", "{no_score}", *CALIBRATE],
                       lambda f: annotrove.calibrate(f["no_score"], "margin", 0.05)),
    "line break in a bad cell": (["apply", "{broken_cell}", "{policy}"],
                                 lambda f: annotrove.apply_policy(f["broken_cell"], annotrove.load_policy(f["policy"]))),
    "unknown method": (["calibrate", LABELLED, *CALIBRATE, "--method", "wilson"],
                       lambda f: annotrove.calibrate(LABELLED, "margin", 0.05, "wilson")),
    "binomial without level": (["calibrate", LABELLED, *CALIBRATE, "--method", "binomial"],
                               lambda f: annotrove.calibrate(LABELLED, "margin", 0.05, "binomial")),
    "unsupported level": (["calibrate", LABELLED, *CALIBRATE, "--method", "binomial", "--level", "0.8"],
                          lambda f: annotrove.calibrate(LABELLED, "margin", 0.05, "binomial", 0.8)),
    "missing policy": (["apply", NEW_BATCH, "{missing}"], lambda f: annotrove.load_policy(f["missing"])),
    "policy version": (["apply", NEW_BATCH, "{old_version}", "-o", "{out}"],
                       lambda f: annotrove.load_policy(f["old_version"])),
}


# The module's messages that name its Python parameters, as the command words them instead.
TRANSLATED = {"binomial without level": "--method binomial needs --level (a fraction, for example --level 0.95)"}


@pytest.mark.parametrize("case", MODULE_ERRORS)
def test_module_errors_print_one_line_and_exit_1(files, case):
    args, same_call = MODULE_ERRORS[case]
    with pytest.raises((RuntimeError, ValueError)) as caught:
        same_call(files)
    message = TRANSLATED.get(case, str(caught.value).replace("\n", "\\n"))
    status, out, errors = run(*(arg.format_map(files) for arg in args))
    # The module's message stays as it is; the command may add the file and a hint after it.
    assert (status, out) == (1, b"") and errors.startswith(f"annotrove: error: {message}")
    assert errors.endswith("\n") and errors.count("\n") == 1
    assert not os.path.exists(files["out"])


@pytest.mark.parametrize(("score", "rate", "method", "level"), [
    ("margin", "0.05", None, None),
    ("max-prob", "0.1", "binomial", "0.95"),
    ("score-gap", "0.2", "empirical", None),  # a level with empirical is refused (test_cli_usage.py)
    ("margin", "0.001", "crc", None),  # no threshold qualifies: the sentinel
    ("max-prob", "0.2", "ltt", "0.9"),
    ("margin", "0.001", "ltt", "0.95"),
])
def test_calibrate_writes_the_file_save_policy_writes(tmp_path, score, rate, method, level):
    options = ["--method", method] if method else []
    options += ["--level", level] if level else []
    status, out, errors = run("calibrate", LABELLED, "--score", score, "--error-rate", rate, *options,
                              "-o", tmp_path / "cli.json")
    assert (status, errors) == (0, "")
    policy = annotrove.calibrate(LABELLED, score, float(rate), method or "empirical",
                                 None if level is None else float(level))
    annotrove.save_policy(str(tmp_path / "module.json"), policy)
    assert (tmp_path / "cli.json").read_bytes() == (tmp_path / "module.json").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["cli.json", "module.json"]
    report = out.decode()
    assert repr(policy["threshold"]) in report
    if policy["threshold"] == 1.7976931348623157e308:
        assert "nothing below the largest finite double will be accepted" in report
    else:
        # What the threshold accepts: the last point at or above it (an ltt threshold lies just
        # above the confidence its policy refuses, not on a point).
        point = [p for p in annotrove.compute_curve(LABELLED, score) if p["threshold"] >= policy["threshold"]][-1]
        assert f"({point['accepted']} of {point['total']} labelled queries)" in report
        assert f"({point['errors']} wrong)" in report


def decisions_from_csv(text: str) -> list[dict[str, object]]:
    rows = list(csv.DictReader(io.StringIO(text, newline="")))
    return [dict(row, confidence=float(row["confidence"]), threshold=float(row["threshold"]),
                 accepted={"true": True, "false": False}[row["accepted"]]) for row in rows]


def module_decisions(table: str, policy: dict, accepted_only: bool) -> list[dict[str, object]]:
    decisions = annotrove.apply_policy(table, policy)
    return [d for d in decisions if d["accepted"] or not accepted_only]


@pytest.mark.parametrize("score", ["margin", "score-ratio"])  # score-ratio leaves queries without a value
@pytest.mark.parametrize("to_file", [True, False])
@pytest.mark.parametrize("accepted_only", [False, True])
def test_apply_decisions_read_back_equal_to_apply_policy(tmp_path, score, to_file, accepted_only):
    policy_path = str(tmp_path / "policy.json")
    annotrove.save_policy(policy_path, annotrove.calibrate(LABELLED, score, 0.1))
    output = ["-o", tmp_path / "decisions.csv"] if to_file else []
    status, out, errors = run("apply", NEW_BATCH, policy_path, *output, *(["--accepted-only"] * accepted_only))
    text = (tmp_path / "decisions.csv").read_bytes() if to_file else out
    assert status == 0 and (out == b"") == to_file
    expected = module_decisions(NEW_BATCH, annotrove.load_policy(policy_path), accepted_only)
    got = decisions_from_csv(text.decode("utf-8"))
    assert [list(map(exact, row.values())) for row in got] == [
        [exact(d[key]) for key in annotrove_cli.DECISION_COLUMNS] for d in expected]
    everything = annotrove.apply_policy(NEW_BATCH, annotrove.load_policy(policy_path))
    accepted = sum(d["accepted"] for d in everything)
    assert errors.startswith(f"queries {len(everything)}, accepted {accepted}, share ")


ID_TEXT = st.text(st.characters(codec="utf-8"), max_size=6)


@given(st.lists(st.fixed_dictionaries({
    "query_id": ID_TEXT, "candidate_id": ID_TEXT, "confidence": st.floats(), "accepted": st.booleans(),
    "threshold": st.floats(), "method": st.sampled_from(["Margin", "MaxProb"]),
}), max_size=5))
def test_decision_csv_reads_back_exactly_with_python_csv(decisions):
    stream = io.StringIO(newline="")
    annotrove_cli.write_decisions(stream, decisions, accepted_only=False)
    got = decisions_from_csv(stream.getvalue())
    assert [[exact(v) for v in row.values()] for row in got] == [
        [exact(d[key]) for key in annotrove_cli.DECISION_COLUMNS] for d in decisions]


AWKWARD_IDS = ["a,b", 'say "x"', "two\nlines", "cr\ronly", " padded ", "nan", "", "ünïcødé", "NA"]


@pytest.mark.parametrize("reader", ["csv", "pandas", "polars"])
def test_awkward_ids_read_back_exactly(tmp_path, reader):
    table = io.StringIO(newline="")
    writer = csv.writer(table)
    writer.writerow(["query_id", "candidate_id", "rank", "score", "probability"])
    for number, text in enumerate(AWKWARD_IDS):
        writer.writerow([text, text, 1, 2.0, 0.5 + number / 100])
        writer.writerow([text, "runner-up", 2, 1.0, 0.4])
    (tmp_path / "table.csv").write_text(table.getvalue(), encoding="utf-8", newline="")
    policy = {"version": "0.1.0", "scoring_method": "margin", "threshold": 0.13,
              "target_error_rate": 0.05, "calibration_method": "empirical"}
    annotrove.save_policy(str(tmp_path / "policy.json"), policy)
    status, _, _ = run("apply", tmp_path / "table.csv", tmp_path / "policy.json", "-o", tmp_path / "d.csv")
    assert status == 0
    path = str(tmp_path / "d.csv")
    if reader == "csv":
        with open(path, encoding="utf-8", newline="") as stream:
            got = decisions_from_csv(stream.read())
    elif reader == "pandas":
        pandas = pytest.importorskip("pandas")
        got = pandas.read_csv(path, dtype={"query_id": str, "candidate_id": str}, keep_default_na=False,
                              na_values={"confidence": ["nan"]}).to_dict("records")
    else:
        polars = pytest.importorskip("polars")
        got = polars.read_csv(path, schema_overrides={"query_id": polars.String, "candidate_id": polars.String,
                                                      "confidence": polars.Float64},
                              empty_string_is_null=False).to_dicts()
    expected = module_decisions(path.replace("d.csv", "table.csv"), policy, False)
    assert [[exact(row[key]) for key in annotrove_cli.DECISION_COLUMNS] for row in got] == [
        [exact(d[key]) for key in annotrove_cli.DECISION_COLUMNS] for d in expected]


def nan_as_none(value: float) -> float | None:
    return None if math.isnan(value) else value


@pytest.mark.parametrize("scores", [[], ["margin", "margin", "score-ratio", "max-prob"]])
def test_curve_numbers_and_points_are_the_module_s(tmp_path, scores):
    options = ["--score", *scores] if scores else []
    status, out, errors = run("curve", LABELLED, *options, "--json", "--points", tmp_path / "points.csv")
    assert (status, errors) == (0, "")
    curves = {score: annotrove.compute_curve(LABELLED, score) for score in (dict.fromkeys(scores) or SCORES)}
    area = {score: annotrove.aurc(curve) for score, curve in curves.items()}
    assert [row["score"] for row in json.loads(out)] == sorted(curves, key=lambda s: (math.isnan(area[s]), area[s]))
    compared = {row["score"]: row for row in annotrove.compare_scores(LABELLED, list(curves))}
    for row in json.loads(out):
        last = curves[row["score"]][-1]
        assert {key: row[key] for key in ("score", "aurc", "eaurc", "scored_queries", "labelled_queries",
                                          "top1_error_rate")} == {
            "score": row["score"], "aurc": nan_as_none(area[row["score"]]),
            "eaurc": nan_as_none(annotrove.eaurc(curves[row["score"]])),
            "scored_queries": last["accepted"], "labelled_queries": last["total"], "top1_error_rate": last["risk"]}
        # Every other field of compare_scores (same defaults), under its own name.
        expected = compared[row["score"]]
        assert list(row) == [annotrove_cli.JSON_NAMES[key] for key in expected]
        assert row == {annotrove_cli.JSON_NAMES[key]: None if isinstance(value, float) and math.isnan(value) else value
                       for key, value in expected.items()}
    with open(tmp_path / "points.csv", newline="", encoding="utf-8") as stream:
        rows = list(csv.DictReader(stream))
    for score, curve in curves.items():
        written = [{"threshold": float(r["threshold"]), "accepted": int(r["accepted"]), "total": int(r["total"]),
                    "coverage": float(r["coverage"]), "errors": int(r["errors"]),
                    "risk": float(r["risk"]) if r["risk"] else None} for r in rows if r["score"] == score]
        assert written == curve
    status, table, _ = run("curve", LABELLED, *options)
    names = [line.split()[0] for line in table.decode().splitlines()[1:]]
    assert (status, names) == (0, [row["score"] for row in json.loads(out)])


def test_curve_counts_labelled_queries_that_the_score_cannot_value(write_csv):
    # No probabilities: margin scores nothing, yet both queries are labelled.
    table = write_csv("query_id,candidate_id,rank,score,is_correct\nq1,a,1,3,true\nq1,b,2,1,false\nq2,c,1,2,false\n")
    status, out, _ = run("curve", table, "--score", "margin", "--json")
    assert status == 0
    (row,) = json.loads(out)
    assert {key: row[key] for key in ("score", "aurc", "eaurc", "scored_queries", "labelled_queries",
                                      "top1_error_rate")} == {
        "score": "margin", "aurc": None, "eaurc": None, "scored_queries": 0, "labelled_queries": 2,
        "top1_error_rate": None}


def test_curve_plot_writes_an_image(tmp_path):
    pytest.importorskip("matplotlib")
    # No check of stderr: a first import of matplotlib may announce that it builds its font cache.
    status, _, _ = run("curve", LABELLED, "--score", "margin", "max-prob", "--plot", tmp_path / "curves.png")
    assert status == 0
    assert (tmp_path / "curves.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert os.listdir(tmp_path) == ["curves.png"]


FAILING_RUNS = {
    "calibrate": ["calibrate", "{missing}", *CALIBRATE],
    "apply": ["apply", NEW_BATCH, "{old_version}", "-o", "{out}"],
    "curve points": ["curve", LABELLED, "--score", "margin", "Margin", "--points", "{out}"],
    "curve points, then plot without matplotlib": ["curve", LABELLED, "--points", "{out}", "--plot", "{out}.png"],
    "curve points, then a plot format matplotlib lacks": ["curve", LABELLED, "--points", "{out}", "--plot", "{out}.xyz"],
    "convert, a header of another tool": ["convert", "gnps", str(MSFINDER), "-o", "{out}"],
}


@pytest.mark.parametrize("case", FAILING_RUNS)
@pytest.mark.parametrize("earlier", [None, b"earlier output\r\n"])
def test_a_failed_run_leaves_no_output_and_an_earlier_one_intact(tmp_path, files, case, earlier):
    folder = tmp_path / "outputs"
    folder.mkdir()
    files = dict(files, out=str(folder / "result"))
    if earlier is not None:
        (folder / "result").write_bytes(earlier)
    (tmp_path / "fake" / "matplotlib").mkdir(parents=True)
    (tmp_path / "fake" / "matplotlib" / "__init__.py").write_text("raise ImportError('not here')\n")
    fake = (tmp_path / "fake",) if "without matplotlib" in case else ()
    if "format" in case:
        pytest.importorskip("matplotlib")
    status, _, errors = run(*(arg.format_map(files) for arg in FAILING_RUNS[case]), extra_path=fake)
    # Only the last line: a first import of matplotlib may announce that it builds its font cache.
    assert status == 1 and errors.splitlines()[-1].startswith("annotrove: error: ") and "Traceback" not in errors
    assert os.listdir(folder) == ([] if earlier is None else ["result"])
    if earlier is not None:
        assert (folder / "result").read_bytes() == earlier


def test_an_output_in_a_missing_folder_is_refused_cleanly(tmp_path):
    target = tmp_path / "no" / "policy.json"
    status, _, errors = run("calibrate", LABELLED, "--score", "margin", "--error-rate", "0.05", "-o", target)
    assert (status, errors) == (1, f"annotrove: error: cannot write {str(target)!r}: No such file or directory\n")


@pytest.mark.skipif(os.name == "nt", reason="POSIX permission bits")
@pytest.mark.parametrize("earlier_mode", [None, 0o640])
def test_outputs_keep_the_permissions_a_plain_write_gives(tmp_path, files, earlier_mode):
    target = tmp_path / "decisions.csv"
    if earlier_mode is not None:
        target.write_text("earlier")
        target.chmod(earlier_mode)
    umask = os.umask(0)
    os.umask(umask)
    assert run("apply", NEW_BATCH, files["policy"], "-o", target)[0] == 0
    assert target.stat().st_mode & 0o777 == (earlier_mode if earlier_mode is not None else 0o666 & ~umask)


@pytest.mark.skipif(os.name == "nt", reason="closed pipes end a writer differently on Windows")
@pytest.mark.parametrize(("args", "status"), [
    (["apply", NEW_BATCH, "{policy}"], annotrove_cli.CLOSED_PIPE_STATUS),
    (["curve", LABELLED, "--json"], annotrove_cli.CLOSED_PIPE_STATUS),
    (["--help"], 0),  # argparse itself ignores a failed write of its help
])
def test_a_closed_pipe_ends_quietly(files, args, status):
    process = subprocess.Popen([*COMMAND, *(arg.format_map(files) for arg in args)], env=environment(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # nobody reads: the first write meets a closed pipe
    errors = process.stderr.read()
    process.stderr.close()
    assert (process.wait(timeout=300), errors) == (status, b"")


def test_convert_writes_a_table_that_the_other_commands_read(tmp_path):
    status, _, errors = run("convert", "--help")
    assert status == 0 and errors == ""
    truth = MSFINDER.parent / "truth.csv"
    status, out, errors = run("convert", "msfinder", MSFINDER, "--truth", truth, "-o", "table.csv", cwd=tmp_path)
    assert (status, out) == (0, b"") and "Traceback" not in errors
    with open(MSFINDER.parent / "expected.csv", newline="") as stream:
        expected = [(row["query_id"], row["candidate_id"], row["rank"], row["is_correct"]) for row in csv.DictReader(stream)]
    with open(tmp_path / "table.csv", newline="") as stream:
        written = [(row["query_id"], row["candidate_id"], row["rank"], row["is_correct"]) for row in csv.DictReader(stream)]
    assert written == expected
    status, out, _ = run("curve", "table.csv", "--score", "candidate-count", "--json", cwd=tmp_path)
    assert status == 0 and json.loads(out)


@pytest.mark.parametrize("command", [
    ["curve", LABELLED, "--score", "margin", "max-prob"],
    ["calibrate", LABELLED, "--score", "margin", "--error-rate", "0.2", "-o", "policy.json"],
])
def test_threads_change_nothing_the_command_prints(tmp_path, command):
    outputs = {run(*command, *threads, cwd=tmp_path) for threads in ([], ["--threads", "1"],
                                                                      ["--threads", "3"])}
    assert len(outputs) == 1 and next(iter(outputs))[0] == 0


def test_curve_intervals_marks_and_resample_options():
    status, out, _ = run("curve", LABELLED, "--resamples", "300", "--level", "0.9", "--seed", "3")
    lines = out.decode().splitlines()
    assert status == 0 and "AURC [90%]" in lines[0] and lines[0].endswith("vs best")
    assert lines[1].endswith("best") and all(line.endswith(("~ best", "worse")) for line in lines[2:])
    first = json.loads(run("curve", LABELLED, "--resamples", "300", "--level", "0.9", "--seed", "3", "--json")[1])
    expected = annotrove.compare_scores(LABELLED, list(SCORES), resamples=300, level=0.9, seed=3)
    assert [row["aurc_low"] for row in first] == [row["aurc_low"] for row in expected]
    marks = {row["score"]: row["distinguishable"] for row in first}
    assert [line.split()[-1] for line in lines[2:]] == ["worse" if marks[line.split()[0]] else "best" for line in lines[2:]]
    status, out, _ = run("curve", LABELLED, "--resamples", "0")
    assert status == 0 and "[" not in out.decode() and "vs best" not in out.decode()


@pytest.mark.parametrize("option", [["--resamples", "-1"], ["--resamples", "2.5"], ["--level", "1"],
                                    ["--level", "0"], ["--level", "nan"], ["--seed", "x"]])
def test_curve_refuses_bad_resample_options_as_usage_errors(option):
    status, out, errors = run("curve", LABELLED, *option)
    assert (status, out) == (2, b"") and ": error: argument " in errors


@pytest.mark.parametrize(("errors", "accepted"), [(0, 1), (0, 40), (3, 40), (40, 40), (17, 600), (1, 2)])
@pytest.mark.parametrize("level", [0.9, 0.95, 0.99])
def test_clopper_pearson_band_matches_the_beta_quantiles(errors, accepted, level):
    stats = pytest.importorskip("scipy.stats")
    low, high = annotrove_cli.clopper_pearson(errors, accepted, level)
    alpha = 1 - level
    assert low == (0.0 if errors == 0 else pytest.approx(stats.beta.ppf(alpha / 2, errors, accepted - errors + 1),
                                                            abs=1e-12))
    assert high == (1.0 if errors == accepted else pytest.approx(
        stats.beta.ppf(1 - alpha / 2, errors + 1, accepted - errors), abs=1e-12))


def test_convert_writes_parquet_that_the_other_commands_read_as_the_csv(tmp_path):
    pytest.importorskip("pyarrow")
    truth = MSFINDER.parent / "truth.csv"
    for name in ("table.csv", "table.parquet"):
        status, out, errors = run("convert", "msfinder", MSFINDER, "--truth", truth, "-o", name, cwd=tmp_path)
        assert (status, out) == (0, b"") and "Traceback" not in errors
    assert (tmp_path / "table.parquet").read_bytes()[:4] == b"PAR1"
    for score in SCORES:
        curves = [run("curve", name, "--score", score, "--json", cwd=tmp_path) for name in ("table.csv", "table.parquet")]
        assert curves[0] == curves[1] and curves[0][0] == 0
    policy = ["--score", "margin", "--error-rate", "0.5"]
    assert run("calibrate", "table.parquet", *policy, "-o", "p.json", cwd=tmp_path)[0] == 0
    applied = [run("apply", name, "p.json", cwd=tmp_path) for name in ("table.csv", "table.parquet")]
    # The decisions; the warnings may differ (the command reads a CSV header to explain them).
    assert applied[0][:2] == applied[1][:2] and applied[0][0] == 0


def test_without_pyarrow_the_command_says_how_to_read_parquet(tmp_path):
    blocker = tmp_path / "blocked"
    (blocker / "pyarrow").mkdir(parents=True)
    (blocker / "pyarrow" / "__init__.py").write_text("raise ImportError('pyarrow is blocked here')\n")
    status, out, errors = run("curve", tmp_path / "t.parquet", extra_path=(blocker,))
    assert (status, out) == (1, b"")
    assert errors == ("annotrove: error: Parquet input detected but annotrove was compiled without the 'parquet' "
                      f"feature; recompile with --features parquet (table {str(tmp_path / 't.parquet')!r}); "
                      "to read Parquet tables, install pyarrow: pip install 'annotrove[parquet]'\n")
    status, _, errors = run("convert", "msfinder", MSFINDER, "-o", tmp_path / "t.parquet", extra_path=(blocker,))
    assert status == 1 and "pip install 'annotrove[parquet]'" in errors
    assert not (tmp_path / "t.parquet").exists()


# The sentinel threshold is the largest finite double and acceptance is `confidence >= threshold`,
# so the one confidence equal to it is accepted: "accepts nothing" holds only below it. Stored
# policies carry that value, so the edge stays, and the report says exactly this much.
def test_the_sentinel_accepts_a_confidence_equal_to_itself(tmp_path):
    largest = 1.7976931348623157e308
    table = tmp_path / "gap.csv"
    table.write_text("query_id,candidate_id,rank,score,is_correct\n"
                     f"q1,a,1,{largest!r},false\n"
                     "q1,b,2,0,true\n"
                     "q2,c,1,5,false\n"
                     "q2,d,2,4,true\n")
    status, out, errors = run("calibrate", table, "--score", "score-gap", "--error-rate", "0.1",
                              "-o", tmp_path / "policy.json")
    assert (status, errors) == (0, "")
    assert f"threshold  {largest!r}: nothing below the largest finite double will be accepted" in out.decode()
    policy = annotrove.load_policy(str(tmp_path / "policy.json"))
    assert policy["threshold"] == largest
    decisions = annotrove.apply_policy(str(table), policy)
    assert [(d["query_id"], d["confidence"], d["accepted"]) for d in decisions] == [
        ("q1", largest, True), ("q2", 1.0, False)]
