"""The Windows check's own parts: the comparison that decides what may differ between the native
and the Windows build, the corpus it runs on, and the check program measured against the module.

The comparison runs against stand-in "builds" (small Python programs that print prepared lines),
so its verdicts are tested without a cross compiler. The check program is built natively with
CMake when CMake and a compiler are at hand; otherwise those tests are skipped.
"""

import math
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import annotrove

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "core_check"))
import compare  # noqa: E402
import make_corpus  # noqa: E402

METHOD_ARGS = ["max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap",
               "effective-k", "candidate-count"]
METHODS = [m.replace("-", "_").replace("topk", "top_k") for m in METHOD_ARGS]


# ---------------------------------------------------------------------------------------------
# The comparison, against stand-in builds


def bits(value: float) -> str:
    return "%016x(%r)" % (struct.unpack("<Q", struct.pack("<d", value))[0], value)


def table_line(name: str, **digests: str) -> str:
    sections = {m: "0" * 16 for m in METHODS + ["eaurc"]} | digests
    return name + "\ttable\t" + "\t".join(f"{k}={v}" for k, v in sections.items())


def detail(name: str, confidences: dict[str, float], eaurc: float = 0.25) -> list[str]:
    lines = []
    for method, value in confidences.items():
        lines.append(f"{name}\t{method}\tdecision q1 c1 X {bits(value)} {bits(0.5)} accept")
        lines.append(f"{name}\t{method}\tdecision q2 c2 X {bits(0.125)} {bits(0.5)} reject")
    lines.append(f"{name}\teaurc\tmax_prob {bits(eaurc)}")
    return lines


def stand_in(tmp_path: Path, label: str, summary: list[str], details: list[str]) -> list[str]:
    """A program that prints `summary`, or `details` when given --detail."""
    script = tmp_path / f"{label}.py"
    script.write_text(
        "import sys\n"
        f"lines = {details!r} if '--detail' in sys.argv else {summary!r}\n"
        "sys.stdout.write(''.join(line + '\\n' for line in lines))\n")
    return [sys.executable, str(script)]


def verdict(tmp_path, native, windows, native_detail=(), windows_detail=()):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    outcome = compare.compare(corpus, stand_in(tmp_path, "native", native, list(native_detail)),
                              stand_in(tmp_path, "windows", windows, list(windows_detail)))
    return outcome


one_ulp_up = math.nextafter(0.7, 1.0)


@pytest.mark.parametrize(
    "windows, windows_detail, allowed, failed",
    [
        # Identical lines.
        ([table_line("t.csv")], [], 0, None),
        # A score method without log or exp may never differ.
        ([table_line("t.csv", margin="1" * 16)], [], 0, "differ in margin"),
        # Entropy one unit in the last place apart: the documented rounding difference.
        ([table_line("t.csv", entropy="1" * 16)], detail("t.csv", {"entropy": one_ulp_up}), 1, None),
        # ... but not a difference far beyond rounding.
        ([table_line("t.csv", entropy="1" * 16)], detail("t.csv", {"entropy": 0.7000001}), 0,
         "confidence of q1 differs beyond rounding"),
        # E-AURC of a curve that is otherwise equal: only its own logarithm may round.
        ([table_line("t.csv", eaurc="1" * 16)],
         detail("t.csv", {"entropy": 0.7}, eaurc=math.nextafter(0.25, 1.0)), 1, None),
        ([table_line("t.csv", eaurc="1" * 16)], detail("t.csv", {"entropy": 0.7}, eaurc=0.26), 0,
         "eaurc of max_prob differs beyond rounding"),
        # Entropy together with a section that must not differ.
        ([table_line("t.csv", entropy="1" * 16, max_prob="2" * 16)], [], 0,
         "differ in entropy, max_prob"),
        # Errors must read the same, byte for byte.
        (["t.csv\ttable\terror\tCSV error: bad at line 3 (byte 90)"], [], 0,
         "one build failed, the other did not"),
        # A line missing from one build.
        ([], [], 0, "one build printed fewer lines"),
    ],
)
def test_only_rounding_of_log_and_exp_may_differ(tmp_path, windows, windows_detail, allowed,
                                                 failed):
    native = [table_line("t.csv")]
    native_detail = detail("t.csv", {"entropy": 0.7})
    outcome = verdict(tmp_path, native, windows, native_detail, windows_detail)
    assert sum(map(len, outcome.allowed.values())) == allowed
    if failed is None:
        assert not outcome.failed
    else:
        assert [cause for cause in outcome.failed if failed in cause], outcome.failed


@pytest.mark.parametrize("native_error, windows_error, fails", [
    ("CSV error: invalid rank \"-1\" at line 3 (byte 90)",
     "CSV error: invalid rank \"-1\" at line 3 (byte 90)", False),
    # A text-mode read on Windows shifts the byte offsets of CRLF files.
    ("CSV error: invalid rank \"-1\" at line 3 (byte 90)",
     "CSV error: invalid rank \"-1\" at line 3 (byte 88)", True),
])
def test_error_messages_must_agree_to_the_byte(tmp_path, native_error, windows_error, fails):
    outcome = verdict(tmp_path, [f"t.csv\ttable\terror\t{native_error}"],
                      [f"t.csv\ttable\terror\t{windows_error}"])
    assert bool(outcome.failed) == fails
    assert outcome.compared == 1


def test_policy_lines_allow_no_difference(tmp_path):
    native = ["p.json\tpolicy\tread=1111111111111111\tsave=2222222222222222\treread=1111111111111111"]
    windows = [native[0].replace("save=2222222222222222", "save=3333333333333333")]
    outcome = verdict(tmp_path, native, windows)
    assert list(outcome.failed) == ["differ in save"]


# ---------------------------------------------------------------------------------------------
# The corpus and the check program


@pytest.fixture(scope="module")
def corpus(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("corpus")
    make_corpus.main([str(out), "--tables", "40", "--policies", "40", "--seed", "7"])
    return out


def inputs(corpus: Path, folder: str) -> list[Path]:
    return sorted((corpus / folder).iterdir())


def test_the_corpus_is_the_same_bytes_for_the_same_seed(corpus, tmp_path):
    again = tmp_path / "again"
    make_corpus.main([str(again), "--tables", "40", "--policies", "40", "--seed", "7"])
    for path in (corpus / "inputs.txt").read_text(encoding="utf-8").splitlines():
        if (corpus / path).exists():
            assert (corpus / path).read_bytes() == (again / path).read_bytes(), path


def test_valid_tables_read_and_faulty_ones_mostly_fail(corpus):
    for path in inputs(corpus, "tables/valid"):
        annotrove.compute_curve(str(path), "max-prob")
    outcomes = []
    for folder in ("tables/one_fault", "tables/several_faults"):
        for path in inputs(corpus, folder):
            try:
                annotrove.compute_curve(str(path), "max-prob")
                outcomes.append(False)
            except RuntimeError:
                outcomes.append(True)
    # A truncated file may lose the row that held its fault; nearly all must still fail.
    assert sum(outcomes) >= 0.9 * len(outcomes)


def test_valid_policies_load_and_broken_ones_mostly_fail(corpus):
    for path in inputs(corpus, "policies/valid"):
        annotrove.load_policy(str(path))
    failures = 0
    broken = inputs(corpus, "policies/broken")
    for path in broken:
        try:
            annotrove.load_policy(str(path))
        except RuntimeError:
            failures += 1
    assert failures >= 0.8 * len(broken)


# The sanitized test run preloads its runtime into every child; the compiler and the uninstrumented
# check program have no use for it.
PLAIN_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def core_check() -> Path:
    cmake = shutil.which("cmake") or shutil.which("cmake", path=str(Path(sys.executable).parent))
    if cmake is None:
        pytest.skip("cmake not found: the check program cannot be built")
    build = ROOT / "build" / "core-check-pytest"
    configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DANNOTROVE_CORE_CHECK=ON", "-DANNOTROVE_PYTHON_MODULE=OFF"]
    ninja = shutil.which("ninja") or shutil.which("ninja", path=str(Path(sys.executable).parent))
    if ninja:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    for command in (configure, [cmake, "--build", str(build), "--target", "core_check"]):
        result = subprocess.run(command, capture_output=True, text=True, env=PLAIN_ENV)
        if result.returncode != 0:
            pytest.skip("the check program did not build: " + result.stdout[-2000:] + result.stderr[-2000:])
    return build / "tests" / "core_check" / ("core_check.exe" if os.name == "nt" else "core_check")


def unescape(text: str) -> str:
    return re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m.group(1), 16)), text)


def run_check(core_check: Path, corpus: Path, *args: str) -> list[list[str]]:
    result = subprocess.run([str(core_check), "--scratch", "scratch-test", *args], cwd=corpus,
                            capture_output=True, check=True, env=PLAIN_ENV)
    return [line.split("\t") for line in result.stdout.decode("utf-8", "surrogateescape").splitlines()]


def test_errors_of_the_check_program_are_the_modules(core_check, corpus, monkeypatch):
    lines = run_check(core_check, corpus, "--list", "inputs.txt")
    names = (corpus / "inputs.txt").read_text(encoding="utf-8").splitlines()
    assert [fields[0] for fields in lines] == names
    # Messages name the path as given: relative to the corpus, as the check program was.
    monkeypatch.chdir(corpus)
    # The check program is the core alone, which refuses Parquet paths; the module reads them
    # through pyarrow when it can import it, so it is compared here as it is without pyarrow.
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    for fields in lines:
        path = fields[0]
        if fields[1] == "table":
            call = lambda: annotrove.compute_curve(path, "max-prob")  # noqa: E731
        else:
            call = lambda: annotrove.load_policy(path)  # noqa: E731
        if fields[2] == "error":
            with pytest.raises(RuntimeError) as error:
                call()
            assert str(error.value) == unescape(fields[3])
        else:
            call()


def test_every_valid_policy_survives_two_saves_and_a_read_back(core_check, corpus):
    for fields in run_check(core_check, corpus, "--list", "inputs.txt"):
        if fields[1] == "policy" and fields[2] != "error":
            sections = dict(field.split("=", 1) for field in fields[2:])
            assert sections["reread"] == sections["read"], fields[0]


@pytest.mark.parametrize("method, score", list(zip(METHODS, METHOD_ARGS)))
def test_curves_and_calibrations_printed_are_the_modules(core_check, corpus, method, score):
    tables = [p for p in inputs(corpus, "tables/valid") if p.stat().st_size > 2000][:5]
    names = [str(p.relative_to(corpus)).replace(os.sep, "/") for p in tables]
    lines = run_check(core_check, corpus, "--detail", *names)

    def value(token: str) -> float | None:
        return None if token == "-" else struct.unpack("<d", bytes.fromhex(token[:16])[::-1])[0]

    for name, path in zip(names, tables):
        mine = [fields[2].split(" ") for fields in lines if fields[0] == name and fields[1] == method]
        points = [words for words in mine if words[0] == "point"]
        curve = annotrove.compute_curve(str(path), score)
        assert len(points) == len(curve)
        for words, point in zip(points, curve):
            assert value(words[1]) == point["threshold"] or math.isnan(point["threshold"])
            assert [int(words[2]), int(words[3]), int(words[5])] == [
                point["accepted"], point["total"], point["errors"]]
            assert value(words[6]) == point["risk"] or (
                point["risk"] is not None and math.isnan(point["risk"]))
        calibrations = {(w[1], value(w[2])): w[3] for w in mine if w[0] == "calibration"}
        for target in (0.05, 0.1, 0.25):
            for printed, method_name, level in [("empirical", "empirical", None),
                                                ("binomial0.95", "binomial", 0.95),
                                                ("crc", "crc", None), ("ltt0.9", "ltt", 0.9)]:
                policy = annotrove.calibrate(str(path), score, target, method_name, level)
                assert value(calibrations[(printed, target)]) == policy["threshold"]


EXACT_METHOD_ARGS = ["max-prob", "score-gap", "margin", "score-ratio", "topk-gap", "candidate-count"]


def test_comparisons_printed_are_the_modules_and_the_same_for_every_thread_count(core_check, corpus):
    # The compare section: compare_scores of the log-free methods (64 resamples, level 0.9), with
    # 1, 2 and 3 resampling threads; the Windows stage holds it to the last bit as well.
    tables = [p for p in inputs(corpus, "tables/valid") if p.stat().st_size > 2000][:6]
    names = [str(p.relative_to(corpus)).replace(os.sep, "/") for p in tables]
    lines = run_check(core_check, corpus, "--detail", *names)
    checked = 0
    for name, path in zip(names, tables):
        mine = [fields[2] for fields in lines if fields[0] == name and fields[1] == "compare"]
        if not mine:
            continue
        assert mine[-2:] == ["threads 2 same", "threads 3 same"], name
        rows = annotrove.compare_scores(str(path), EXACT_METHOD_ARGS, resamples=64, level=0.9, seed=20240607)
        for text, row in zip(mine[:-2], rows, strict=True):
            words = text.split(" ")
            assert words[words.index("aurc") + 2][:16] == bits(row["aurc_low"])[:16], (name, row["score"])
            assert words[words.index("auroc") + 3][:16] == bits(row["auroc_high"])[:16], (name, row["score"])
        checked += 1
    assert checked >= 3
