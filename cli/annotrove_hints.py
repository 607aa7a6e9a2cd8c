"""What the annotrove command adds to a bare error or a silent result: the file, the likely cause,
what to do.

The module's messages stay exactly as they are (callers match them); the command appends to them,
in the same line, which file they concern and a hint. Messages that name the module's Python
parameters are the one exception: the command speaks of its own options instead. Nothing here
changes what the command computes.
"""

from __future__ import annotations

import argparse
import codecs
import csv
import math
import os
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from annotrove import CurvePoint, Decision

# Where the guide describes what each column accepts.
GUIDE_COLUMNS = 'see "Your candidate table" in the user guide (docs/guide.md#columns)'
REQUIRED_COLUMNS = ("query_id", "candidate_id", "rank", "score")
# Calibration methods that never read a confidence level; every other method may use one.
METHODS_WITHOUT_LEVEL = ("empirical", "crc")
METHODS_WITH_LEVEL = ("binomial", "ltt")
# The policy name of a score method and the column it reads beyond the required ones.
COLUMN_READ_BY = {"max_prob": "probability", "margin": "probability", "entropy": "probability",
                  "effective_k": "probability"}
# Policy names that the module's score argument does not take as they are.
SCORE_ARGUMENT_OF_POLICY_NAME = {"top_k_gap": "topk-gap"}
# How much of a table is read to find its header line.
HEADER_BYTES = 1 << 16
# Longer byte-order marks first: UTF-32-LE's begins with UTF-16-LE's.
WIDE_BOMS = ((codecs.BOM_UTF32_LE, "UTF-32"), (codecs.BOM_UTF32_BE, "UTF-32"),
             (codecs.BOM_UTF16_LE, "UTF-16"), (codecs.BOM_UTF16_BE, "UTF-16"))


# ---------------------------------------------------------------------------------------------
# Arguments


def score_argument(name: str) -> str:
    """An argparse type for --score: every form the module takes, and every policy name too."""
    return SCORE_ARGUMENT_OF_POLICY_NAME.get(name, name)


def error_rate(text: str) -> float:
    """An argparse type for --error-rate: a finite fraction between 0 and 1."""
    value = _finite(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a fraction: 0.05 means 5 %, got {text}{_as_percent(value)}")
    return value


def confidence_level(text: str) -> float:
    """An argparse type for --level: a fraction strictly between 0 and 1, as every method needs."""
    value = _finite(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(
            f"must be a fraction between 0 and 1: 0.95 means 95 %, got {text}{_as_percent(value)}")
    return value


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text!r}")
    return value


def _as_percent(value: float) -> str:
    """ "; write 0.95, not 95" when the value looks like a percentage."""
    return f"; write {value / 100:g}, not {value:g}" if 1.0 < value <= 100.0 else ""


def usage_problem(args: argparse.Namespace) -> str | None:
    """A problem with the parsed arguments that argparse cannot see; None when there is none.

    Checked before any work: an output that is one of the inputs, and a level given to a method
    that ignores it (the policy would store it and look like a guarantee).
    """
    method = getattr(args, "method", None)
    if getattr(args, "confidence_level", None) is not None and method in METHODS_WITHOUT_LEVEL:
        return (f"--level is not used by --method {method}: only {' and '.join(METHODS_WITH_LEVEL)} use a"
                " confidence level; leave --level out (the policy would store a level it does not keep)")
    for option, output in _outputs(args):
        for role, source in _inputs(args):
            if _same_file(output, source):
                return (f"{option} {output!r} is the {role} {source!r}: writing it would destroy the input;"
                        " choose another output file")
    return None


def _outputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    found = []
    for attribute, option in (("output", "-o"), ("points", "--points"), ("plot", "--plot")):
        value = getattr(args, attribute, None)
        if isinstance(value, str) and value != "-":
            found.append((option, value))
    return found


def _inputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    found: list[tuple[str, str]] = []
    for attribute, role in (("table", "input table"), ("policy", "policy file"), ("truth", "truth table")):
        value = getattr(args, attribute, None)
        if isinstance(value, str):
            found.append((role, value))
    inputs = getattr(args, "inputs", None)
    if isinstance(inputs, list):
        found.extend(("input", value) for value in inputs if isinstance(value, str))
    return found


def _same_file(first: str, second: str) -> bool:
    """Whether two paths name one file: same device and inode, so that links count."""
    try:
        return os.path.samestat(os.stat(first), os.stat(second))
    except (OSError, ValueError):
        return False


# ---------------------------------------------------------------------------------------------
# Errors


def explain(error: BaseException, text: str, args: argparse.Namespace | None) -> str:
    """The one line the command prints for ``error`` (whose message is ``text``)."""
    text = _translated(text)
    concern = _file_concerned(error, text, args)
    if concern is None:
        return text
    role, path = concern
    line = text if _names(text, path) else f"{text} ({role} {path!r})"
    hint = _hint(text, path) if role == "table" else None
    return line if hint is None else f"{line}; {hint}"


def _translated(text: str) -> str:
    """Module messages that name Python parameters, in the command's own words."""
    required = re.fullmatch(r"confidence_level required for (\S+) method", text)
    if required:
        return f"--method {required[1]} needs --level (a fraction, for example --level 0.95)"
    outside = re.fullmatch(r"confidence_level must be between 0 and 1 for (\S+) method, got (.*)", text)
    if outside:
        try:
            hint = _as_percent(float(outside[2]))
        except ValueError:
            hint = ""
        return f"--level must be a fraction between 0 and 1 for --method {outside[1]}, got {outside[2]}{hint}"
    return text


def _file_concerned(error: BaseException, text: str, args: argparse.Namespace | None) -> tuple[str, str] | None:
    """Which of the command's files an error of the module is about, as (role, path)."""
    if args is None:
        return None
    if isinstance(error, OSError) and error.filename is None:
        # A failed write to an output (a full disk, a device) does not say which one.
        written = _outputs(args)
        return ("output", written[0][1]) if len(written) == 1 else None
    if not isinstance(error, RuntimeError):
        return None
    table, policy, output = (getattr(args, name, None) for name in ("table", "policy", "output"))
    if text.startswith(("IO error: ", "JSON error: ", "Unknown policy version: ")):
        # Policy files are read by apply and written by calibrate.
        if isinstance(policy, str):
            return ("policy file", policy)
        if isinstance(output, str):
            return ("policy file", output)
        return None
    if text.startswith("Unsupported confidence level"):
        return None
    return ("table", table) if isinstance(table, str) else None


def _names(text: str, path: str) -> bool:
    return f'"{path}"' in text or repr(path) in text


# The module's refusal of a Parquet table when pyarrow cannot be imported (its text stays as it is).
PARQUET_REFUSAL = "Parquet input detected but annotrove was compiled without the 'parquet' feature"


def _hint(text: str, path: str) -> str | None:
    if text.startswith(PARQUET_REFUSAL):
        return "to read Parquet tables, install pyarrow: pip install 'annotrove[parquet]'"
    wide = _wide_encoding(path)
    if wide is not None:
        return f"the file is {wide} (it starts with a {wide} byte-order mark): save it as UTF-8"
    missing = re.fullmatch(r"Missing required column: (.*)", text)
    if missing:
        return _header_hint(path, missing[1])
    cell = re.search(r'invalid (\w+) "(.*?)" in column "(.*?)"', text)
    if cell:
        return _cell_hint(cell[1], cell[2], cell[3])
    if "invalid UTF-8" in text and not text.startswith("Arrow error: "):
        return "the table must be UTF-8 throughout: save it as UTF-8 (not Latin-1 or Windows-1252)"
    return None


def _wide_encoding(path: str) -> str | None:
    try:
        with open(path, "rb") as stream:
            start = stream.read(4)
    except OSError:
        return None
    return next((name for bom, name in WIDE_BOMS if start.startswith(bom)), None)


def header_fields(path: str) -> list[str] | None:
    """The names in a CSV table's header line, as the table writes them; None when unreadable."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(HEADER_BYTES)
    except OSError:
        return None
    head = head.removeprefix(codecs.BOM_UTF8)
    line = head.split(b"\n", 1)[0].removesuffix(b"\r")
    if line.startswith(b"PAR1") or b"\0" in line:
        return None  # a binary table (Parquet, Arrow) has no header line to show
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if not text:
        return []
    return next(csv.reader([text]), [])


def _header_hint(path: str, column: str) -> str:
    fields = header_fields(path)
    if fields is None:
        return f"the table needs the columns {', '.join(REQUIRED_COLUMNS)}; {GUIDE_COLUMNS}"
    if not fields:
        return "the file is empty or its first line is blank: the first line must be the header"
    shown = ", ".join(repr(f if len(f) <= 40 else f[:37] + "...") for f in fields[:8])
    holds = f"the header has {len(fields)} field{'s' if len(fields) != 1 else ''}: {shown}"
    if len(fields) > 8:
        holds += ", ..."
    if len(fields) == 1:
        for separator, name in (("\t", "tab"), (";", "semicolon"), ("|", "pipe")):
            if separator in fields[0]:
                return f"{holds}: is the file {name}-separated? annotrove reads comma-separated tables"
    for field in fields:
        if field != column and field.strip().lower() == column:
            if field.strip() != field:
                return f"{holds}: {field!r} has blanks around it; names must match exactly, without blanks"
            return f"{holds}: column names are lower case ({field!r} should be {column!r})"
    return f"{holds}; the required columns are {', '.join(REQUIRED_COLUMNS)}; {GUIDE_COLUMNS}"


def _cell_hint(kind: str, cell: str, column: str) -> str:
    if kind == "boolean":
        rule = f"{column} must be true or false, lower case, or empty"
        if cell in ("True", "False"):
            rule += ' (pandas writes True/False: map them to "true"/"false" before writing)'
        elif cell in ("TRUE", "FALSE"):
            rule += " (R writes TRUE/FALSE: write them in lower case)"
    elif kind == "rank":
        rule = "rank must be a whole number of 0 or more written with digits, such as 1 or 2 (not 1.0, not -1)"
        if re.fullmatch(r"[+]?\d+\.0*", cell):
            rule += "; a rank written as a float: convert the column to integers before writing"
    elif kind == "float":
        rule = f"{column} must be a decimal number such as 0.93, -1.5 or 2e-3 (inf and nan are allowed)"
        if column == "score":
            rule += " on every row"
        else:
            rule += "; an empty cell means no value"
        if cell.strip().upper() in ("NA", "N/A", "NULL", "NONE", ""):
            missing = "write an empty cell" if column != "score" else "the score cannot be missing"
            rule += f" ({cell!r} is a missing value: {missing})"
    else:
        rule = f"{column} cannot hold {cell!r}"
    return f"{rule}; {GUIDE_COLUMNS}"


# ---------------------------------------------------------------------------------------------
# Warnings about results that look fine but are not


def missing_column_warning(table: str, scoring_method: str, decisions: Sequence[Decision]) -> str | None:
    """A warning when the table lacks what the policy's score reads, so that queries are rejected."""
    column = COLUMN_READ_BY.get(scoring_method)
    if column is None or not decisions:
        return None
    fields = header_fields(table)
    if fields is not None and column not in fields and not _wide_encoding(table):
        return (f"the table {table!r} has no {column} column, which the policy's score {scoring_method}"
                " reads: the queries it cannot value get confidence nan and are rejected")
    if fields is None and all(math.isnan(d["confidence"]) for d in decisions):
        return (f"no query of {table!r} got a {scoring_method} confidence (the score reads the {column}"
                " column): every query was rejected")
    return None


def unlabelled_warning(table: str) -> str:
    """Why every line of `curve` is n/a when no query is labelled."""
    fields = header_fields(table)
    if fields is not None and "is_correct" not in fields:
        why = "the table has no is_correct column"
    else:
        why = "no query's top candidate has an is_correct value"
    return (f"no query of {table!r} is labelled ({why}), so every curve is empty and every line is n/a;"
            " curve needs is_correct (true or false) on each query's top candidate")


def labelled_report(points: Sequence[CurvePoint], labelled: int, threshold: float, target: float) -> str | None:
    """How the accepted queries fared where the table carries labels; None without labels.

    ``points`` is the curve of the policy's score on the applied table and ``labelled`` its number
    of labelled queries. The point whose threshold is the last one at or above the policy's
    describes what the policy accepts among labelled queries, except that a policy never accepts
    an infinite confidence, which the curve does.
    """
    if labelled == 0:
        return None
    accepted = errors = 0
    infinite_accepted = infinite_errors = 0
    for point in points:
        if point["threshold"] == math.inf:
            infinite_accepted, infinite_errors = point["accepted"], point["errors"]
        if point["threshold"] >= threshold:
            accepted, errors = point["accepted"], point["errors"]
    accepted -= infinite_accepted
    errors -= infinite_errors
    rate = f"{errors / accepted:.4f}" if accepted else "n/a"
    return (f"labelled {labelled}: accepted {accepted}, of which {errors} wrong,"
            f" realised error rate {rate} (target {target!r})")
