"""The annotrove command: risk-coverage curves, calibration and policy application from the shell.

    annotrove curve TABLE [--score NAME ...] [--resamples N] [--level L] [--seed S] [--json]
                          [--points FILE.csv] [--plot FILE.png]
    annotrove calibrate TABLE --score NAME --error-rate R [--method M] [--level L] -o POLICY.json
    annotrove apply TABLE POLICY.json [-o DECISIONS.csv] [--accepted-only]

Built on the functions of the annotrove module and the standard library; matplotlib is
imported only for --plot. A subcommand is one ``register_<name>(subparsers)`` function that adds
its parser and sets ``run``; ``main`` runs it inside the one error boundary of the command.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import gzip
import importlib
import importlib.metadata
import io
import json
import math
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO, cast

import annotrove
import annotrove_convert
import annotrove_hints

if TYPE_CHECKING:
    from annotrove import CurvePoint, Decision, PolicyDict, ScoreComparison

PROG = "annotrove"
# Used when the distribution's metadata is missing (a development build on PYTHONPATH).
FALLBACK_VERSION = "0.2.0"
# The eight score methods, in the module's order and in the form the score argument takes.
ALL_SCORES = (
    "max-prob",
    "score-gap",
    "margin",
    "entropy",
    "score-ratio",
    "topk-gap",
    "effective-k",
    "candidate-count",
)
# The threshold calibrate returns when no point of the curve passes its test.
SENTINEL_THRESHOLD = 1.7976931348623157e308
# What each calibration method promises, as the user guide words it. A method without an entry
# is still accepted (the module decides which names exist); it just gets no promise line.
PROMISES = {
    "empirical": "the threshold's observed error rate on this calibration table is at most the target;"
    " nothing more: on new data expect it above the target more often than not",
    "binomial": "the Wilson upper confidence bound of the threshold's error rate, at the given level,"
    " is at most the target; each threshold is tested on its own, so this is no formal guarantee"
    " for the one picked",
    "crc": "the observed error rate is at most the target minus 1/(n + 1), n the labelled queries;"
    " not a guarantee that the error rate on new data stays under the target",
    "ltt": "with probability at least the given level, the threshold's error rate on new data from"
    " the same source is at most the target (calibration and new queries exchangeable)",
}
# A program stopped by a closed pipe conventionally ends with 128 + SIGPIPE.
CLOSED_PIPE_STATUS = 141
DECISION_COLUMNS = ("query_id", "candidate_id", "method", "confidence", "threshold", "accepted")
POINT_COLUMNS = ("score", "threshold", "accepted", "total", "coverage", "errors", "risk")


class CommandError(Exception):
    """A failure of the command itself (as opposed to one raised by the module)."""


# Everything a subcommand may raise for bad input; anything else is a bug and keeps its traceback.
EXPECTED_ERRORS = (
    CommandError,
    RuntimeError,
    ValueError,
    KeyError,
    TypeError,
    OverflowError,
    OSError,
)


# ---------------------------------------------------------------------------------------------
# Output files


def _mode_for_new_file(target: str) -> int:
    """Permission bits the target would get if it were opened for writing in the usual way."""
    with contextlib.suppress(OSError):
        return stat.S_IMODE(os.stat(target).st_mode)
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def replaced_by_rename(target: str) -> bool:
    """Whether ``target`` may be written as a temporary file renamed over it.

    Only a regular file, or a path where nothing exists yet, may be replaced: a rename would turn
    a device node (even /dev/null), a named pipe or a process substitution's /dev/fd/N into a
    regular file, and the reader at the other end would get nothing.
    """
    try:
        mode = os.stat(target).st_mode
    except OSError:
        return True
    return stat.S_ISREG(mode) or stat.S_ISDIR(mode)


@contextlib.contextmanager
def atomic_path(target: str) -> Iterator[str]:
    """Yield the path of a new, empty temporary file beside ``target`` for the caller to fill.

    When the block ends normally the temporary file takes the permissions ``target`` has (or
    would get as a new file) and is renamed onto ``target`` with ``os.replace``, which is atomic
    because both lie in the same folder. When the block raises, the temporary file is removed and
    an earlier file at ``target`` is left exactly as it was. A symbolic link at ``target`` is
    followed, so the file it points to is replaced and the link stays.

    A target that is neither a regular file nor missing (a device, a named pipe) is yielded
    itself, to be written directly.
    """
    if not replaced_by_rename(target):
        yield target
        return
    real = os.path.realpath(target)
    if os.path.isdir(real):
        raise CommandError(f"cannot write {target!r}: it is a folder")
    folder, name = os.path.split(real)
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    except OSError as error:
        raise CommandError(f"cannot write {target!r}: {error.strerror or error}") from None
    os.close(handle)
    try:
        yield temporary
        # mkstemp creates the file readable by its owner only.
        os.chmod(temporary, _mode_for_new_file(real))
        os.replace(temporary, real)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def is_stdout(target: str | None) -> bool:
    return target is None or target == "-"


@contextlib.contextmanager
def atomic_output(target: str | None, *, newline: str | None = None) -> Iterator[TextIO]:
    """Yield a UTF-8 text stream whose content becomes ``target`` only if the block succeeds.

    ``target`` None or "-" means standard output, switched to UTF-8 and to the given newline
    handling (pass ``newline=""`` for the csv module, so that line breaks inside quoted fields
    are written as they are). Any other target is written through ``atomic_path``: a failed
    block leaves no file behind and an earlier file untouched. A target whose name ends in
    ".gz" is written gzip-compressed.
    """
    if is_stdout(target):
        if isinstance(sys.stdout, io.TextIOWrapper):
            sys.stdout.reconfigure(encoding="utf-8", newline=newline)
        yield sys.stdout
        sys.stdout.flush()
        return
    assert target is not None
    with atomic_path(target) as temporary:
        with text_file(temporary, target, newline) as stream:
            yield stream


@contextlib.contextmanager
def text_file(path: str, target: str, newline: str | None) -> Iterator[TextIO]:
    """A new UTF-8 text file at ``path``, gzip-compressed when ``target``'s name ends in ".gz"."""
    if not target.endswith(".gz"):
        with open(path, "w", encoding="utf-8", newline=newline) as stream:
            yield stream
        return
    # The member header names the target (not the temporary file) and carries no time stamp, so
    # the same decisions always make the same bytes.
    with open(path, "wb") as raw, gzip.GzipFile(
        os.path.basename(target), "wb", 6, raw, mtime=0
    ) as packed, io.TextIOWrapper(packed, encoding="utf-8", newline=newline) as stream:
        yield stream


def file_argument(text: str) -> str:
    """An argparse type for outputs that must be files (standard output is taken by the report)."""
    if text == "-":
        raise argparse.ArgumentTypeError("this output must be a file, not standard output ('-')")
    return text


def thread_count(text: str) -> int:
    """An argparse type for --threads: a positive whole number."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid thread count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"the thread count must be at least 1, not {value}")
    return value


def add_threads_option(parser: argparse.ArgumentParser) -> None:
    """--threads N, on every subcommand that reads a candidate table."""
    parser.add_argument(
        "--threads",
        type=thread_count,
        metavar="N",
        help="read each table on at most N threads (default: every core the process may run on;"
        " 1 when many runs share the machine, e.g. under a workflow manager)",
    )


def finite_float(text: str) -> float:
    """An argparse type for a number that is written into a policy file and must load again."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text!r}")
    return value


def number(value: float, digits: int = 6) -> str:
    return "n/a" if math.isnan(value) else f"{value:.{digits}f}"


# ---------------------------------------------------------------------------------------------
# annotrove curve


# The fields of a compare_scores row that --json carries, in order, under the names the command
# uses (the counts keep the names they have had since the first release).
JSON_NAMES = {
    "score": "score",
    "aurc": "aurc",
    "aurc_low": "aurc_low",
    "aurc_high": "aurc_high",
    "eaurc": "eaurc",
    "eaurc_low": "eaurc_low",
    "eaurc_high": "eaurc_high",
    "augrc": "augrc",
    "augrc_low": "augrc_low",
    "augrc_high": "augrc_high",
    "auroc": "auroc",
    "auroc_low": "auroc_low",
    "auroc_high": "auroc_high",
    "scored": "scored_queries",
    "labelled": "labelled_queries",
    "top1_error": "top1_error_rate",
    "aurc_difference": "aurc_difference",
    "aurc_difference_low": "aurc_difference_low",
    "aurc_difference_high": "aurc_difference_high",
    "distinguishable": "distinguishable",
}


def json_row(row: ScoreComparison) -> dict[str, Any]:
    """A compare_scores row for --json: every field but the curve, NaN as null."""
    plain = cast("dict[str, Any]", row)
    return {
        name: None if isinstance(plain[key], float) and math.isnan(plain[key]) else plain[key]
        for key, name in JSON_NAMES.items()
    }


def with_interval(row: ScoreComparison, key: str) -> str:
    """A value and its interval, "0.1325 [0.1077, 0.1607]"; the value alone without resamples."""
    plain = cast("dict[str, Any]", row)
    value = number(plain[key], 4)
    low, high = plain[f"{key}_low"], plain[f"{key}_high"]
    if low is None or high is None:
        return value
    if math.isnan(low) or math.isnan(high):
        return f"{value} [n/a]"
    return f"{value} [{low:.4f}, {high:.4f}]"


def versus_best(row: ScoreComparison, first: bool) -> str:
    if first:
        return "best"
    if row["distinguishable"] is None:
        return ""
    return "worse" if row["distinguishable"] else "~ best"


def print_curve_table(rows: Sequence[ScoreComparison], level: float, resamples: int) -> None:
    width = max([len("score")] + [len(row["score"]) for row in rows])
    # The titles carry the intervals' level: "AURC [95%]".
    shown = f" [{level * 100:g}%]" if resamples > 0 else ""
    titles = (("aurc", "AURC"), ("eaurc", "E-AURC"), ("augrc", "AUGRC"), ("auroc", "AUROC"))
    columns = [(key, title + shown, max([len(title + shown)] + [len(with_interval(row, key)) for row in rows]))
               for key, title in titles]
    header = f"{'score':{width}}  " + "  ".join(f"{title:<{size}}" for _, title, size in columns)
    header += f"  {'scored':>8}  {'labelled':>8}  {'top-1 error':>11}"
    if resamples > 0:
        header += "  vs best"
    print(header)
    for index, row in enumerate(rows):
        line = f"{row['score']:{width}}  " + "  ".join(f"{with_interval(row, key):<{size}}" for key, _, size in columns)
        line += f"  {row['scored']:>8}  {row['labelled']:>8}  {number(row['top1_error'], 4):>11}"
        if resamples > 0:
            line += f"  {versus_best(row, index == 0)}"
        print(line.rstrip())


def curve_of(row: ScoreComparison) -> list[CurvePoint]:
    return row.get("curve", [])


def write_points(stream: TextIO, rows: Sequence[ScoreComparison], scores: Sequence[str]) -> None:
    """Every point of every curve, the methods in the order they were asked for."""
    by_score = {row["score"]: row for row in rows}
    writer = csv.writer(stream)
    writer.writerow(POINT_COLUMNS)
    for score in scores:
        for p in curve_of(by_score[score]):
            risk = "" if p["risk"] is None else repr(p["risk"])
            writer.writerow(
                [score, repr(p["threshold"]), p["accepted"], p["total"], repr(p["coverage"]), p["errors"], risk]
            )


def load_pyplot() -> Any:
    try:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        return importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise CommandError(
            "--plot needs matplotlib, which is not installed: pip install matplotlib"
            ' (or, from the source folder, pip install ".[plot]"; from a wheel, pip install "WHEEL.whl[plot]")'
        ) from None


def _continued_fraction(a: float, b: float, x: float) -> float:
    """The continued fraction of the regularized incomplete beta function, by Lentz's method."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    result = d
    for m in range(1, 500):
        for numerator in (
            m * (b - m) * x / ((a + 2 * m - 1.0) * (a + 2 * m)),
            -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1.0)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            result *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return result


def regularized_beta(x: float, a: float, b: float) -> float:
    """I_x(a, b), the beta distribution's cumulative probability (a, b > 0)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x))
    # The fraction converges fast on the side of the distribution's mean; the other side by symmetry.
    if x < (a + 1.0) / (a + b + 2.0):
        return front * _continued_fraction(a, b, x) / a
    return 1.0 - front * _continued_fraction(b, a, 1.0 - x) / b


def beta_quantile(p: float, a: float, b: float) -> float:
    """The p-quantile of Beta(a, b) by bisection (the CDF rises, so 60 halvings reach 1e-18)."""
    low, high = 0.0, 1.0
    for _ in range(60):
        middle = 0.5 * (low + high)
        if regularized_beta(middle, a, b) < p:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def clopper_pearson(errors: int, accepted: int, level: float) -> tuple[float, float]:
    """The exact (Clopper-Pearson) two-sided interval of an error rate seen as errors of accepted."""
    alpha = 1.0 - level
    low = 0.0 if errors == 0 else beta_quantile(alpha / 2.0, errors, accepted - errors + 1)
    high = 1.0 if errors == accepted else beta_quantile(1.0 - alpha / 2.0, errors + 1, accepted - errors)
    return low, high


# A curve has one point per distinct confidence; the band is computed at no more than this many of
# them (evenly spread, the last always among them), which is plenty for a figure.
BAND_POINTS = 200


def draw_curves(pyplot: Any, rows: Sequence[ScoreComparison], path: str, target: str, table: str, level: float) -> None:
    figure, axes = pyplot.subplots(figsize=(8.0, 16.0 / 3.0), dpi=150, layout="constrained")
    try:
        for row in rows:
            points = curve_of(row)
            coverage = [p["coverage"] for p in points]
            risk = [math.nan if p["risk"] is None else p["risk"] for p in points]
            (line,) = axes.plot(coverage, risk, linewidth=1.5, label=f"{row['score']}  (AURC {number(row['aurc'], 3)})")
            step = max(1, math.ceil(len(points) / BAND_POINTS))
            sampled = points[::step] + ([points[-1]] if points and (len(points) - 1) % step else [])
            bands = [clopper_pearson(p["errors"], p["accepted"], level) for p in sampled]
            axes.fill_between(
                [p["coverage"] for p in sampled], [b[0] for b in bands], [b[1] for b in bands],
                color=line.get_color(), alpha=0.12, linewidth=0,
            )
        axes.fill_between([], [], [], color="grey", alpha=0.25, linewidth=0,
                          label=f"pointwise {level:.0%} exact binomial band of each point's risk")
        axes.set_xlim(0.0, 1.0)
        axes.set_ylim(0.0, 1.0)
        axes.set_xlabel("coverage: share of labelled queries accepted")
        axes.set_ylabel("risk: share of accepted top candidates that are wrong")
        axes.set_title(f"Risk-coverage curves ({os.path.basename(table)})", fontsize=11)
        axes.grid(True, linewidth=0.4, alpha=0.6)
        axes.legend(loc="upper left", fontsize=8.5, title="score method, best first", title_fontsize=9)
        # The temporary file has no telling suffix: the format comes from the name asked for.
        suffix = os.path.splitext(target)[1].lstrip(".").lower()
        # Drawn in memory first: some formats seek back while writing, which a pipe cannot.
        image = io.BytesIO()
        figure.savefig(image, format=suffix or "png")
        with open(path, "wb") as stream:
            stream.write(image.getbuffer())
    finally:
        pyplot.close(figure)


def run_curve(args: argparse.Namespace) -> int:
    pyplot = load_pyplot() if args.plot is not None else None
    scores = list(dict.fromkeys(args.scores or ALL_SCORES))
    # One read of the table for every method, the curves only when a file needs them.
    rows = annotrove.compare_scores(
        args.table, scores, resamples=args.resamples, level=args.level, seed=args.seed,
        curves=args.points is not None or args.plot is not None, threads=args.threads,
    )
    if rows and all(row["labelled"] == 0 for row in rows):
        warn(annotrove_hints.unlabelled_warning(args.table))

    # Both files are renamed into place only after both were written.
    with contextlib.ExitStack() as outputs:
        if args.points is not None:
            write_points(outputs.enter_context(atomic_output(args.points, newline="")), rows, scores)
        if args.plot is not None:
            draw_curves(pyplot, rows, outputs.enter_context(atomic_path(args.plot)), args.plot, args.table, args.level)

    if args.json:
        print(json.dumps([json_row(row) for row in rows], indent=2, allow_nan=False))
    else:
        print_curve_table(rows, args.level, args.resamples)
    return 0


def resample_count(text: str) -> int:
    """An argparse type for --resamples: a whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text!r}")
    return value


def open_level(text: str) -> float:
    """An argparse type for an interval's level: a number strictly between 0 and 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1, not {text!r}")
    return value


def whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid whole number: {text!r}") from None


def register_curve(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "curve",
        help="compare score methods on a labelled table (AURC, E-AURC, AUGRC, AUROC with intervals)",
        description="""Build the risk-coverage curve of each score method on a labelled table, read once, and
print one line per method, best AURC first, to see which score to calibrate. Beside each number
is its percentile bootstrap interval: resamples draw the labelled queries with replacement, the
same draw for every method, so that differences between methods are paired.""",
        epilog="""columns:
  AURC         area under the risk-coverage curve (lower is better; n/a for an empty curve)
  E-AURC       AURC minus that of a perfect ordering (n/a when the method leaves labelled
               queries without a value, or when no or every top candidate is wrong)
  AUGRC        area under the generalized risk-coverage curve, risk = wrong accepted / all
               labelled (lower is better)
  AUROC        failure AUROC: chance that a right top candidate has a higher confidence than
               a wrong one (ties count half; unscored queries rank lowest; higher is better)
  [low, high]  percentile bootstrap interval at --level; [n/a] when some resample leaves the
               value undefined; none with --resamples 0
  scored       labelled queries the method gives a confidence (only these can be accepted)
  labelled     queries whose top candidate carries an is_correct label (the curve's total)
  top-1 error  share of wrong top candidates among the scored queries
  vs best      "~ best": the interval of the paired AURC difference to the best method
               contains 0, so this table cannot tell the two apart; "worse": it excludes 0

example:
  annotrove curve labelled.csv --score margin max-prob --points points.csv""",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("table", metavar="TABLE", help="labelled candidate table (CSV, plain or gzip/zstd-compressed)")
    parser.add_argument(
        "--score",
        dest="scores",
        metavar="NAME",
        nargs="+",
        action="extend",
        type=annotrove_hints.score_argument,
        help="score method(s) to compare, e.g. margin max-prob (repeatable; default: all eight:"
        f" {', '.join(ALL_SCORES)})",
    )
    parser.add_argument(
        "--resamples",
        type=resample_count,
        default=2000,
        metavar="N",
        help="bootstrap resamples for the intervals (default 2000; 0: point values only)",
    )
    parser.add_argument(
        "--level", type=open_level, default=0.95, metavar="L", help="level of every interval (default 0.95)"
    )
    parser.add_argument(
        "--seed", type=whole_number, default=0, metavar="S", help="seed of the resamples (default 0; same seed, same numbers)"
    )
    parser.add_argument(
        "--json", action="store_true", help="print every number, the intervals included, as JSON (NaN as null)"
    )
    parser.add_argument(
        "--points",
        metavar="FILE.csv",
        type=file_argument,
        help="also write every curve point as CSV: " + ",".join(POINT_COLUMNS),
    )
    parser.add_argument(
        "--plot",
        metavar="FILE.png",
        type=file_argument,
        help="also draw the curves with a pointwise exact binomial band at --level (needs matplotlib;"
        " the format follows the suffix: png, pdf, svg)",
    )
    add_threads_option(parser)
    parser.set_defaults(run=run_curve)


# ---------------------------------------------------------------------------------------------
# annotrove calibrate


def accepted_at(points: Sequence[CurvePoint], threshold: float) -> CurvePoint | None:
    """The point describing what ``threshold`` accepts: the last one whose threshold reaches it."""
    chosen = None
    for point in points:
        if point["threshold"] >= threshold:
            chosen = point
    return chosen


def why_nothing_passes(policy: PolicyDict, points: Sequence[CurvePoint], score: str) -> str:
    method = policy["calibration_method"]
    target = policy["target_error_rate"]
    if not points:
        return (
            f"the {score} curve of this table is empty: no labelled query has a {score} value"
            " (check that top candidates carry is_correct and that the table has what the score reads)"
        )
    lowest = min(points, key=lambda p: math.inf if p["risk"] is None else p["risk"])
    reason = (
        f"no threshold passed the {method} test at target {target!r}; the lowest error rate on the curve"
        f" is {number(lowest['risk'] if lowest['risk'] is not None else math.nan, 4)}"
        f" (accepting {lowest['accepted']} of {lowest['total']})"
    )
    if method == "crc":
        reason += f"; crc lowers the target by 1/(n + 1) = {1 / (lowest['total'] + 1):.4f}"
    elif method == "binomial":
        reason += "; binomial needs the upper bound, not the observed rate, to meet it"
    elif method == "ltt":
        reason += "; ltt needs an exact binomial test at its share of 1 - level to pass at one of its fixed ranks"
    return reason


def run_calibrate(args: argparse.Namespace) -> int:
    policy = annotrove.calibrate(
        args.table, args.score, args.error_rate, args.method, args.confidence_level, threads=args.threads
    )
    points = annotrove.compute_curve(args.table, args.score, threads=args.threads)
    with atomic_path(args.output) as temporary:
        annotrove.save_policy(temporary, policy)

    threshold = policy["threshold"]
    method = policy["calibration_method"]
    print(f"wrote      {args.output} ({policy['scoring_method']}, {method}, target error rate {args.error_rate!r})")
    if threshold == SENTINEL_THRESHOLD:
        print(f"threshold  {threshold!r}: nothing below the largest finite double will be accepted")
        print(f"why        {why_nothing_passes(policy, points, args.score)}")
    else:
        print(f"threshold  {threshold!r}")
        point = accepted_at(points, threshold)
        if point is None:
            labelled = points[-1]["total"] if points else 0
            print(f"coverage   0 (0 of {labelled} labelled queries)")
        else:
            risk = math.nan if point["risk"] is None else point["risk"]
            print(f"coverage   {number(point['coverage'], 4)} ({point['accepted']} of {point['total']} labelled queries)")
            print(f"error rate {number(risk, 4)} observed on this table ({point['errors']} wrong)")
    promise = PROMISES.get(method)
    if promise is not None:
        print(f"promise    {method}: {promise}")
    return 0


def register_calibrate(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "calibrate",
        help="calibrate an acceptance threshold and write it as a policy file",
        description="""Pick the most lenient threshold of one score that meets the target error rate on the
labelled table, write it as a JSON policy, and report the threshold's coverage and observed
error rate on that table and what the method promises. When no threshold meets the target,
the policy gets the sentinel threshold 1.7976931348623157e+308, the largest finite double, which
accepts nothing below itself: this is reported, the policy is still written, and the exit status is 0.""",
        epilog="""example:
  annotrove calibrate labelled.csv --score margin --error-rate 0.05 -o policy.json""",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("table", metavar="TABLE", help="labelled candidate table (CSV, plain or gzip/zstd-compressed)")
    parser.add_argument(
        "--score",
        required=True,
        type=annotrove_hints.score_argument,
        metavar="NAME",
        help="score method, e.g. margin or max-prob",
    )
    parser.add_argument(
        "--error-rate",
        required=True,
        type=annotrove_hints.error_rate,
        metavar="R",
        help="target error rate, a fraction: 0.05 means 5 %%",
    )
    parser.add_argument(
        "--method",
        default="empirical",
        metavar="M",
        help="calibration method: empirical (default), binomial, crc or ltt",
    )
    parser.add_argument(
        "--level",
        dest="confidence_level",
        type=annotrove_hints.confidence_level,
        metavar="L",
        help="confidence level, a fraction: required by binomial (0.90, 0.95, 0.975 or 0.99) and by ltt"
        " (between 0 and 1); not taken by empirical and crc",
    )
    parser.add_argument(
        "-o", "--output", required=True, type=file_argument, metavar="POLICY.json", help="policy file to write"
    )
    add_threads_option(parser)
    parser.set_defaults(run=run_calibrate)


# ---------------------------------------------------------------------------------------------
# annotrove apply


def write_decisions(stream: TextIO, decisions: Sequence[Decision], accepted_only: bool) -> None:
    """Decisions as CSV: quoted where needed, floats by repr so that they read back exactly."""
    writer = csv.writer(stream)
    writer.writerow(DECISION_COLUMNS)
    for d in decisions:
        if accepted_only and not d["accepted"]:
            continue
        writer.writerow(
            [
                d["query_id"],
                d["candidate_id"],
                d["method"],
                repr(d["confidence"]),
                repr(d["threshold"]),
                "true" if d["accepted"] else "false",
            ]
        )


def run_apply(args: argparse.Namespace) -> int:
    policy = annotrove.load_policy(args.policy)
    decisions = annotrove.apply_policy(args.table, policy, threads=args.threads)
    with atomic_output(args.output, newline="") as stream:
        write_decisions(stream, decisions, args.accepted_only)
    accepted = sum(1 for d in decisions if d["accepted"])
    share = f"{accepted / len(decisions):.2%}" if decisions else "n/a"
    print(f"queries {len(decisions)}, accepted {accepted}, share {share}", file=sys.stderr)
    warn(annotrove_hints.missing_column_warning(args.table, policy["scoring_method"], decisions))
    report_on_labels(args.table, policy)
    return 0


def report_on_labels(table: str, policy: PolicyDict) -> None:
    """On a labelled table, how many accepted queries were wrong: a policy checked on held-out data."""
    fields = annotrove_hints.header_fields(table)
    if fields is not None and "is_correct" not in fields:
        return  # no labels: spare the second read of the table
    score = annotrove_hints.score_argument(policy["scoring_method"])
    points = annotrove.compute_curve(table, score)
    if points:
        labelled = points[-1]["total"]
    else:  # the score values no labelled query; candidate-count values every one
        everything = annotrove.compute_curve(table, "candidate-count")
        labelled = everything[-1]["total"] if everything else 0
    report = annotrove_hints.labelled_report(points, labelled, policy["threshold"], policy["target_error_rate"])
    if report is not None:
        print(report, file=sys.stderr)


def warn(message: str | None) -> None:
    if message is not None:
        print(f"{PROG}: warning: {message}", file=sys.stderr)


def register_apply(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "apply",
        help="accept or reject each query's top candidate with a policy",
        description=f"""Apply a policy file to a candidate table (labels are not needed) and write one
decision per query, ordered by query_id, as CSV with the header
  {",".join(DECISION_COLUMNS)}
confidence is nan when the score has no value for the query (it is then rejected); accepted is
true or false. A summary (queries, accepted, share) goes to standard error; on a table with
labels, a second line says how many accepted queries were wrong (the realised error rate).""",
        epilog="""example:
  annotrove apply new_batch.csv policy.json -o decisions.csv""",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("table", metavar="TABLE", help="candidate table (CSV, plain or gzip/zstd-compressed)")
    parser.add_argument("policy", metavar="POLICY.json", help="policy file written by calibrate")
    parser.add_argument(
        "-o", "--output", metavar="DECISIONS.csv",
        help="decisions file to write (default, or '-': standard output); a name ending in .gz is "
        "written gzip-compressed"
    )
    parser.add_argument("--accepted-only", action="store_true", help="write only the accepted decisions")
    add_threads_option(parser)
    parser.set_defaults(run=run_apply)


# ---------------------------------------------------------------------------------------------
# The command


def register_convert(subparsers: Any) -> None:
    # The converters write their table through the same atomic output as the other commands;
    # they quote and end lines themselves, so the stream must not translate line ends.
    annotrove_convert.register_convert(subparsers, lambda path: atomic_output(path, newline=""))


SUBCOMMANDS: tuple[Callable[[Any], None], ...] = (
    register_curve,
    register_calibrate,
    register_apply,
    register_convert,
)


def version() -> str:
    try:
        return importlib.metadata.version("annotrove")
    except importlib.metadata.PackageNotFoundError:
        return FALLBACK_VERSION


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="""How far the top-ranked answer of an automatic annotation can be trusted: compare
score methods, calibrate an acceptance threshold, apply it to new tables.""",
        epilog="""a pipeline:
  annotrove curve labelled.csv
  annotrove calibrate labelled.csv --score margin --error-rate 0.05 -o policy.json
  annotrove apply new_batch.csv policy.json -o decisions.csv

'annotrove COMMAND --help' describes each command. Exit status: 0 done, 1 error (one line on
standard error), 2 usage error.""",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {version()}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for register in SUBCOMMANDS:
        register(subparsers)
    # Checks that need the parsed arguments report through the subcommand's own usage line.
    for command_parser in subparsers.choices.values():
        command_parser.set_defaults(command_parser=command_parser)
    return parser


def one_line(error: BaseException) -> str:
    # KeyError's str() adds quotes around its message; a cell quoted in a table error may hold a
    # line break.
    if isinstance(error, KeyError) and len(error.args) == 1 and isinstance(error.args[0], str):
        text = error.args[0]
    else:
        text = str(error) or type(error).__name__
    return text.replace("\r", "\\r").replace("\n", "\\n")


def leave_closed_pipe() -> int:
    # The interpreter flushes stdout once more at exit; give that flush a place that cannot fail.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, sys.stdout.fileno())
    os.close(null)
    return CLOSED_PIPE_STATUS


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace | None = None
    try:
        try:
            args = build_parser().parse_args(argv)
            problem = annotrove_hints.usage_problem(args)
            if problem is not None:
                args.command_parser.error(problem)
        except SystemExit:
            # --help, --version and usage errors: let a closed pipe end quietly here too.
            sys.stdout.flush()
            raise
        status: int = args.run(args) or 0
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        return leave_closed_pipe()
    except EXPECTED_ERRORS as error:
        print(f"{PROG}: error: {annotrove_hints.explain(error, one_line(error), args)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
