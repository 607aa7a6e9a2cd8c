"""The annotrove command as a new user meets it: outputs that are not plain files, outputs that
name an input, arguments that would be taken silently, errors and warnings that say what to do.

Like test_cli.py, every run is a subprocess of the command a pipeline would call.
"""

import argparse
import codecs
import csv
import math
import os
import pathlib
import shlex
import shutil
import stat
import subprocess
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import annotrove
import annotrove_hints
from test_cli import COMMAND, LABELLED, MSFINDER, NEW_BATCH, environment, run

CALIBRATE = ["--score", "margin", "--error-rate", "0.05"]


@pytest.fixture
def policy(tmp_path) -> str:
    path = str(tmp_path / "policy.json")
    annotrove.save_policy(path, annotrove.calibrate(LABELLED, "margin", 0.05))
    return path


def outputs(policy: str, target: object) -> dict[str, list[object]]:
    """Each kind of output, written to ``target``."""
    return {
        "calibrate -o": ["calibrate", LABELLED, *CALIBRATE, "-o", target],
        "apply -o": ["apply", NEW_BATCH, policy, "-o", target],
        "curve --points": ["curve", LABELLED, "--score", "margin", "--points", target],
    }


OUTPUT_KINDS = ["calibrate -o", "apply -o", "curve --points"]


def expected_output(tmp_path: pathlib.Path, policy: str, kind: str) -> bytes:
    """What a run writes to a regular file."""
    target = tmp_path / "regular"
    status, _, errors = run(*outputs(policy, target)[kind])
    assert status == 0, errors
    return target.read_bytes()


# ---------------------------------------------------------------------------------------------
# Outputs that are not regular files are written where they are, never replaced


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes are POSIX")
@pytest.mark.parametrize("kind", OUTPUT_KINDS)
def test_a_named_pipe_stays_a_pipe_and_its_reader_gets_the_output(tmp_path, policy, kind):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received: list[bytes] = []
    # Opening a pipe for reading waits for its writer: the reader runs beside the command.
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    status, _, errors = run(*outputs(policy, fifo)[kind])
    # Checked first: a reader whose pipe was replaced waits for ever (the thread is a daemon).
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    if status != 0:
        with open(fifo, "wb"):  # release a reader still waiting for a writer
            pass
    reader.join(timeout=60)
    assert status == 0 and "annotrove: error" not in errors, errors
    assert received == [expected_output(tmp_path, policy, kind)]
    assert sorted(os.listdir(tmp_path)) == ["fifo", "policy.json", "regular"]


@pytest.mark.skipif(not hasattr(os, "mknod") or not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="creating a device node needs root")
@pytest.mark.parametrize("kind", [*OUTPUT_KINDS, "curve --plot"])
def test_a_character_device_stays_a_device(tmp_path, policy, kind):
    if kind == "curve --plot":
        pytest.importorskip("matplotlib")
    # A private node of the null device: what `-o /dev/null` would otherwise do to the real one.
    node = tmp_path / "null"
    os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    args = {**outputs(policy, node), "curve --plot": ["curve", LABELLED, "--score", "margin", "--plot", node]}[kind]
    status, _, errors = run(*args)
    assert status == 0, errors
    mode = os.lstat(node).st_mode
    assert stat.S_ISCHR(mode) and os.major(os.lstat(node).st_rdev) == 1
    assert sorted(os.listdir(tmp_path)) == ["null", "policy.json"]


@pytest.mark.skipif(shutil.which("bash") is None or os.name == "nt", reason="needs bash")
@pytest.mark.parametrize("kind", OUTPUT_KINDS)
def test_a_process_substitution_receives_the_output(tmp_path, policy, kind):
    received = tmp_path / "received"
    args = [shlex.quote(str(a)) for a in outputs(policy, "OUT")[kind]]
    args[args.index("OUT")] = f">(cat > {shlex.quote(str(received))})"
    # `wait $!` waits for the process substitution, so the file is complete when bash returns.
    script = f"{shlex.join(COMMAND)} {' '.join(args)} && wait $!"
    done = subprocess.run(["bash", "-c", script], env=environment(), capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    assert received.read_bytes() == expected_output(tmp_path, policy, kind)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs the full device, which refuses every write")
@pytest.mark.parametrize("kind", OUTPUT_KINDS)
def test_a_device_that_refuses_the_write_is_an_error_naming_it(tmp_path, policy, kind):
    device = "/dev/full"
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        # Root could replace the system's own node if the command were wrong: use a private one.
        device = str(tmp_path / "full")
        os.mknod(device, stat.S_IFCHR | 0o666, os.stat("/dev/full").st_rdev)
    status, _, errors = run(*outputs(policy, device)[kind])
    assert status == 1 and errors.count("\n") == 1 and errors.startswith("annotrove: error: ")
    assert repr(device) in errors and "No space left on device" in errors
    assert stat.S_ISCHR(os.stat(device).st_mode)
    assert not list(tmp_path.glob(".*.tmp"))


# ---------------------------------------------------------------------------------------------
# An output that is one of the inputs is refused before any work


@pytest.mark.parametrize("case", ["same name", "hard link", "symbolic link", "policy as output",
                                  "calibrate onto its table", "curve points onto its table",
                                  "convert onto its input"])
def test_an_output_that_is_an_input_is_a_usage_error(tmp_path, policy, case):
    table = tmp_path / "batch.csv"
    shutil.copy(MSFINDER if case == "convert onto its input" else NEW_BATCH, table)
    original = table.read_bytes(), pathlib.Path(policy).read_bytes()
    target = table
    if case == "hard link":
        target = tmp_path / "link.csv"
        os.link(table, target)
    elif case == "symbolic link":
        target = tmp_path / "symlink.csv"
        target.symlink_to(table)
    args = {
        "policy as output": ["apply", table, policy, "-o", policy],
        "calibrate onto its table": ["calibrate", table, *CALIBRATE, "-o", table],
        "curve points onto its table": ["curve", table, "--points", table],
        "convert onto its input": ["convert", "msfinder", table, "-o", table],
    }.get(case, ["apply", table, policy, "-o", target])
    status, out, errors = run(*args)
    assert (status, out) == (2, b"")
    assert errors.startswith("usage: annotrove ")
    last = errors.splitlines()[-1]
    assert "writing it would destroy the input" in last
    assert {"policy as output": "policy file", "convert onto its input": "is the input '"}.get(case, "input table") in last
    assert (table.read_bytes(), pathlib.Path(policy).read_bytes()) == original
    assert not list(tmp_path.glob(".*.tmp"))


def test_an_output_beside_its_input_is_fine(tmp_path, policy):
    table = tmp_path / "batch.csv"
    shutil.copy(NEW_BATCH, table)
    assert run("apply", table, policy, "-o", tmp_path / "decisions.csv")[0] == 0


# ---------------------------------------------------------------------------------------------
# Arguments that used to be taken silently


@pytest.mark.parametrize(("options", "says"), [
    (["--error-rate", "5"], ["--error-rate", "a fraction: 0.05 means 5 %", "0.05, not 5"]),
    (["--error-rate", "-0.1"], ["--error-rate", "a fraction: 0.05 means 5 %"]),
    (["--error-rate", "1.0000001"], ["--error-rate", "a fraction"]),
    (["--error-rate", "0.05", "--level", "0.95"], ["--level", "--method empirical", "binomial and ltt"]),
    (["--error-rate", "0.05", "--method", "crc", "--level", "0.9"], ["--level", "--method crc", "binomial and ltt"]),
    (["--error-rate", "0.05", "--method", "ltt", "--level", "95"], ["--level", "0.95, not 95"]),
    (["--error-rate", "0.05", "--method", "binomial", "--level", "1"], ["--level", "a fraction"]),
    (["--error-rate", "0.05", "--method", "ltt", "--level", "0"], ["--level", "a fraction"]),
])
def test_refused_calibrate_arguments_are_usage_errors(tmp_path, options, says):
    status, out, errors = run("calibrate", LABELLED, "--score", "margin", *options, "-o", tmp_path / "p.json")
    assert (status, out) == (2, b"")
    assert errors.startswith("usage: annotrove calibrate")
    for words in says:
        assert words in errors.splitlines()[-1]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("rate", ["0", "1", "0.0", "1e-3"])
def test_error_rates_at_the_ends_of_the_range_are_taken(tmp_path, rate):
    status, _, errors = run("calibrate", LABELLED, "--score", "margin", "--error-rate", rate, "-o", tmp_path / "p.json")
    assert (status, errors) == (0, "")


@pytest.mark.parametrize("method", ["binomial", "ltt"])
def test_a_missing_level_is_asked_for_by_the_option_s_name(tmp_path, method):
    status, _, errors = run("calibrate", LABELLED, *CALIBRATE, "--method", method, "-o", tmp_path / "p.json")
    assert status == 1
    assert errors == f"annotrove: error: --method {method} needs --level (a fraction, for example --level 0.95)\n"
    assert "confidence_level" not in errors


@pytest.mark.parametrize(("module_message", "command_message"), [
    ("confidence_level required for ltt method", "--method ltt needs --level"),
    ("confidence_level must be between 0 and 1 for ltt method, got 95",
     "--level must be a fraction between 0 and 1 for --method ltt, got 95; write 0.95, not 95"),
    ("confidence_level must be between 0 and 1 for ltt method, got nan",
     "--level must be a fraction between 0 and 1 for --method ltt, got nan"),
])
def test_module_messages_naming_python_parameters_are_translated(module_message, command_message):
    line = annotrove_hints.explain(ValueError(module_message), module_message, None)
    assert line.startswith(command_message) and "confidence_level" not in line


@pytest.mark.parametrize("policy_name", ["top_k_gap", "max_prob", "score_gap", "effective_k"])
def test_score_takes_the_names_policies_use(tmp_path, policy_name):
    status, _, errors = run("calibrate", LABELLED, "--score", policy_name, "--error-rate", "0.1",
                            "-o", tmp_path / "p.json")
    assert (status, errors) == (0, "")
    assert annotrove.load_policy(str(tmp_path / "p.json"))["scoring_method"] == policy_name
    status, out, errors = run("curve", LABELLED, "--score", policy_name, "--json")
    assert (status, errors) == (0, "")


# ---------------------------------------------------------------------------------------------
# Results that look fine but are not


def test_apply_warns_when_the_table_lacks_the_column_the_score_reads(tmp_path, write_csv):
    table = write_csv("query_id,candidate_id,rank,score\nq1,a,1,3\nq1,b,2,1\nq2,c,1,2\n")
    policy = str(tmp_path / "p.json")
    annotrove.save_policy(policy, annotrove.calibrate(LABELLED, "max-prob", 0.05))
    status, out, errors = run("apply", table, policy)
    assert status == 0 and out.count(b",false\r\n") == 2
    (warning,) = [line for line in errors.splitlines() if "warning" in line]
    assert warning.startswith("annotrove: warning: ") and "no probability column" in warning and table in warning


@pytest.mark.parametrize("score", ["max-prob", "score-gap", "candidate-count"])
def test_apply_does_not_warn_when_the_table_has_what_the_score_reads(tmp_path, score):
    policy = str(tmp_path / "p.json")
    annotrove.save_policy(policy, annotrove.calibrate(LABELLED, score, 0.1))
    status, _, errors = run("apply", NEW_BATCH, policy)
    assert status == 0 and "warning" not in errors


@pytest.mark.parametrize(("table", "why"), [
    ("query_id,candidate_id,rank,score,probability\nq1,a,1,3,0.5\nq1,b,2,1,0.4\n", "no is_correct column"),
    ("query_id,candidate_id,rank,score,is_correct\nq1,a,1,3,\nq1,b,2,1,true\n", "no query's top candidate"),
])
def test_curve_says_why_every_line_is_n_a_without_labels(write_csv, table, why):
    path = write_csv(table)
    status, out, errors = run("curve", path, "--score", "margin", "score-gap")
    assert status == 0 and all(line.split()[1] == "n/a" for line in out.decode().splitlines()[1:])
    assert errors.startswith("annotrove: warning: ") and why in errors and path in errors
    assert run("curve", LABELLED)[2] == ""


# ---------------------------------------------------------------------------------------------
# Errors that say which file, what it holds and what to do


HEADER_HINTS = {
    "tab-separated": (b"query_id\tcandidate_id\trank\tscore\nq\ta\t1\t1\n",
                      "the header has 1 field: 'query_id\\tcandidate_id\\trank\\tscore': is the file tab-separated?"),
    "semicolons": (b"query_id;candidate_id;rank;score\nq;a;1;1\n", "is the file semicolon-separated?"),
    "upper case": (b"QUERY_ID,CANDIDATE_ID,RANK,SCORE\nq,a,1,1\n", "column names are lower case ('QUERY_ID'"),
    "leading blanks": (b"query_id, candidate_id, rank, score\nq,a,1,1\n",
                       "' candidate_id' has blanks around it"),
    "other names": (b"id,name,position,value\nq,a,1,1\n",
                    "the header has 4 fields: 'id', 'name', 'position', 'value'; the required columns are"),
    "empty file": (b"", "the file is empty"),
}
CELL_HINTS = {
    "pandas False": (b"query_id,candidate_id,rank,score,is_correct\nq,a,1,1,False\n",
                     "is_correct must be true or false, lower case, or empty"),
    "R TRUE": (b"query_id,candidate_id,rank,score,is_correct\nq,a,1,1,TRUE\n",
               "is_correct must be true or false, lower case, or empty"),
    "R NA": (b"query_id,candidate_id,rank,score,probability\nq,a,1,1,NA\n", "write an empty cell"),
    "float rank": (b"query_id,candidate_id,rank,score\nq,a,1.0,1\n", "rank must be a whole number"),
}
ENCODING_HINTS = {
    f"{name} {order}": (bom + "query_id,candidate_id,rank,score\nq,a,1,1\n".encode(codec), f"save it as UTF-8")
    for name, order, bom, codec in [("UTF-16", "LE", codecs.BOM_UTF16_LE, "utf-16-le"),
                                    ("UTF-16", "BE", codecs.BOM_UTF16_BE, "utf-16-be")]
}
TABLE_HINTS = {**HEADER_HINTS, **CELL_HINTS, **ENCODING_HINTS}


@pytest.mark.parametrize("case", TABLE_HINTS)
@pytest.mark.parametrize("command", ["curve", "calibrate", "apply"])
def test_table_errors_keep_the_module_s_message_and_add_the_file_and_a_hint(tmp_path, policy, case, command):
    content, hint = TABLE_HINTS[case]
    table = tmp_path / "table.csv"
    table.write_bytes(content)
    with pytest.raises(RuntimeError) as caught:
        annotrove.compute_curve(str(table), "max-prob")
    args = {"curve": ["curve", table, "--score", "max-prob"],
            "calibrate": ["calibrate", table, *CALIBRATE, "-o", tmp_path / "p.json"],
            "apply": ["apply", table, policy]}[command]
    status, out, errors = run(*args)
    assert (status, out) == (1, b"")
    assert errors.startswith(f"annotrove: error: {caught.value}") and errors.count("\n") == 1
    assert f"(table {str(table)!r})" in errors and hint in errors
    if case in CELL_HINTS:
        assert "docs/guide.md#columns" in errors


@pytest.mark.parametrize(("which", "role"), [("table", "table"), ("policy", "policy file")])
def test_a_missing_file_is_named(tmp_path, policy, which, role):
    missing = str(tmp_path / "nope")
    args = ["apply", missing, policy] if which == "table" else ["apply", NEW_BATCH, missing]
    status, _, errors = run(*args)
    assert status == 1 and errors.count("\n") == 1 and missing in errors


def test_a_table_the_module_reads_gets_no_hint(tmp_path, policy):
    status, _, errors = run("apply", NEW_BATCH, policy, "-o", tmp_path / "d.csv")
    assert status == 0 and "annotrove: error" not in errors and "warning" not in errors


# ---------------------------------------------------------------------------------------------
# A policy checked on labelled data


HAND_COUNTED = """query_id,candidate_id,rank,score,probability,is_correct
q1,a,1,1,0.9,true
q1,b,2,0,0.1,false
q2,c,1,1,0.8,false
q3,d,1,1,0.5,true
q4,e,1,1,0.4,false
q5,f,1,1,0.7,
q6,g,1,1,0.95,false
q7,h,1,1,inf,true
q8,i,1,1,,false
"""


def test_apply_reports_the_realised_error_rate_on_a_labelled_table(tmp_path, write_csv):
    # Threshold 0.5, max-prob: accepted are q1, q2, q3 (equal counts), q5 (unlabelled) and q6;
    # q7's infinite confidence and q8's missing one are rejected, q4 is below. Of the four
    # labelled accepted queries, q2 and q6 are wrong. Labelled: every query but q5.
    table = write_csv(HAND_COUNTED)
    policy = str(tmp_path / "p.json")
    annotrove.save_policy(policy, {"version": "0.1.0", "scoring_method": "max_prob", "threshold": 0.5,
                                   "target_error_rate": 0.1, "calibration_method": "empirical"})
    status, out, errors = run("apply", table, policy)
    assert status == 0
    assert out.decode().count(",true\r\n") == 5
    assert errors.splitlines() == [
        "queries 8, accepted 5, share 62.50%",
        "labelled 7: accepted 4, of which 2 wrong, realised error rate 0.5000 (target 0.1)",
    ]


def test_apply_reports_on_the_bundled_batch_what_its_labels_say(tmp_path, policy):
    status, out, errors = run("apply", NEW_BATCH, policy)
    decisions = {row.split(",")[0]: row.endswith(",true") for row in out.decode().splitlines()[1:]}
    # An independent count: each query's label is its top candidate's (smallest rank, first row).
    top: dict[str, tuple[int, str]] = {}
    with open(NEW_BATCH, newline="") as stream:
        for row in csv.DictReader(stream):
            if row["query_id"] not in top or int(row["rank"]) < top[row["query_id"]][0]:
                top[row["query_id"]] = (int(row["rank"]), row["is_correct"])
    labelled = {q for q, (_, label) in top.items() if label}
    accepted = [q for q in labelled if decisions[q]]
    wrong = sum(top[q][1] == "false" for q in accepted)
    rate = f"{wrong / len(accepted):.4f}" if accepted else "n/a"
    assert status == 0
    assert errors.splitlines()[1] == (f"labelled {len(labelled)}: accepted {len(accepted)}, of which {wrong} wrong,"
                                      f" realised error rate {rate} (target 0.05)")


def test_apply_on_an_unlabelled_table_reports_no_labels(tmp_path, write_csv):
    table = write_csv("query_id,candidate_id,rank,score,probability\nq1,a,1,3,0.9\nq1,b,2,1,0.1\n")
    policy = str(tmp_path / "p.json")
    annotrove.save_policy(policy, annotrove.calibrate(LABELLED, "margin", 0.05))
    status, _, errors = run("apply", table, policy)
    assert status == 0 and errors.splitlines() == ["queries 1, accepted 1, share 100.00%"]


def test_the_plot_hint_says_how_to_install_the_extra_without_a_package_index(tmp_path):
    (tmp_path / "fake" / "matplotlib").mkdir(parents=True)
    (tmp_path / "fake" / "matplotlib" / "__init__.py").write_text("raise ImportError('not here')\n")
    status, _, errors = run("curve", LABELLED, "--plot", tmp_path / "c.png", extra_path=(tmp_path / "fake",))
    assert status == 1
    assert 'from the source folder, pip install ".[plot]"' in errors and "WHEEL.whl[plot]" in errors


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(st.integers(0, 5), st.integers(1, 3),
                               st.sampled_from(["0.2", "0.5", "0.8", "inf", "-inf", "nan", ""]),
                               st.sampled_from(["true", "false", ""])), min_size=1, max_size=12),
       threshold=st.sampled_from([0.0, 0.2, 0.5, 0.8, 1.0]))
def test_the_labelled_report_counts_what_apply_accepts(write_csv, rows, threshold):
    # A differential check of the report against the decisions and each query's top label.
    text = "query_id,candidate_id,rank,score,probability,is_correct\n" + "".join(
        f"q{query},c{number},{rank},1,{probability},{label}\n"
        for number, (query, rank, probability, label) in enumerate(rows))
    table = write_csv(text)
    policy = {"version": "0.1.0", "scoring_method": "max_prob", "threshold": threshold,
              "target_error_rate": 0.1, "calibration_method": "empirical"}
    top: dict[str, tuple[int, str]] = {}
    for query, rank, _, label in rows:  # smallest rank wins, the earlier row on ties
        if f"q{query}" not in top or rank < top[f"q{query}"][0]:
            top[f"q{query}"] = (rank, label)
    labelled = [q for q, (_, label) in top.items() if label]
    accepted = {d["query_id"] for d in annotrove.apply_policy(table, policy) if d["accepted"]}
    checked = [q for q in labelled if q in accepted]
    wrong = sum(top[q][1] == "false" for q in checked)
    points = annotrove.compute_curve(table, "max-prob")
    report = annotrove_hints.labelled_report(points, len(labelled), threshold, 0.1)
    if not labelled:
        assert report is None
    else:
        rate = f"{wrong / len(checked):.4f}" if checked else "n/a"
        assert report == (f"labelled {len(labelled)}: accepted {len(checked)}, of which {wrong} wrong,"
                          f" realised error rate {rate} (target 0.1)")


@given(st.floats(allow_nan=True, allow_infinity=True))
def test_error_rate_takes_exactly_the_fractions(value):
    try:
        taken = annotrove_hints.error_rate(repr(value))
    except argparse.ArgumentTypeError as error:
        assert not 0.0 <= value <= 1.0 and "fraction" in str(error) or not math.isfinite(value)
    else:
        assert 0.0 <= value <= 1.0 and taken == value
