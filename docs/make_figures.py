"""Make every figure and example output that the user guide shows, from the bundled data.

    python docs/make_figures.py            # rewrite the marked blocks of docs/guide.md, and docs/risk_coverage.png
    python docs/make_figures.py --check    # only say whether the guide is up to date (status 1 if not)

Each generated block of the guide sits between two markers,

    <!-- make_figures: NAME -->
    ...
    <!-- /make_figures: NAME -->

and is rewritten whole; nothing outside the markers is touched. The numbers come from the two
bundled tables, examples/data/calibration.csv (shown to the reader as labelled.csv) and
examples/data/new_batch.csv (new_batch.csv), through the annotrove module and the annotrove command
exactly as a user would run them. tests/test_docs.py regenerates the blocks in memory and fails
when the guide no longer matches the code.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import re
import sys
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "guide.md"
FIGURE = ROOT / "docs" / "risk_coverage.png"
CALIBRATION = ROOT / "examples" / "data" / "calibration.csv"
NEW_BATCH = ROOT / "examples" / "data" / "new_batch.csv"
MARKER = re.compile(r"(<!-- make_figures: (?P<name>[\w-]+) -->\n)(?P<body>.*?)(<!-- /make_figures: (?P=name) -->)",
                    re.DOTALL)

for folder in (ROOT / "cli", ROOT / "examples"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

import annotrove  # noqa: E402
import annotrove_cli  # noqa: E402


@contextlib.contextmanager
def bundled_tables() -> Iterator[Path]:
    """A scratch folder holding the bundled tables under the names the guide uses."""
    with tempfile.TemporaryDirectory() as folder:
        here = Path(folder)
        (here / "labelled.csv").write_bytes(CALIBRATION.read_bytes())
        (here / "new_batch.csv").write_bytes(NEW_BATCH.read_bytes())
        previous = os.getcwd()
        os.chdir(here)
        try:
            yield here
        finally:
            os.chdir(previous)


def command(*args: str) -> tuple[str, str]:
    """The standard output and error of one run of the annotrove command, in the current folder."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = annotrove_cli.main(list(args))
    if status != 0:
        raise RuntimeError(f"annotrove {' '.join(args)} failed: {err.getvalue()}")
    return out.getvalue(), err.getvalue()


def fenced(language: str, text: str) -> str:
    return f"```{language}\n{text.rstrip()}\n```\n"


def curve_table() -> str:
    return fenced("text", "$ annotrove curve labelled.csv\n" + command("curve", "labelled.csv")[0])


def curve_json_row() -> str:
    rows = json.loads(command("curve", "labelled.csv", "--score", "max-prob", "margin", "--json")[0])
    margin = next(row for row in rows if row["score"] == "margin")
    return fenced("text", "$ annotrove curve labelled.csv --score max-prob margin --json\n[\n  ...\n"
                  + json.dumps(margin, indent=2) + "\n]")


def calibrate_output() -> str:
    args = ["calibrate", "labelled.csv", "--score", "margin", "--error-rate", "0.05", "-o", "policy.json"]
    return fenced("text", "$ annotrove " + " ".join(args) + "\n" + command(*args)[0])


def calibrate_crc_output() -> str:
    args = ["calibrate", "labelled.csv", "--score", "margin", "--error-rate", "0.001", "--method", "crc", "-o",
            "policy.json"]
    return fenced("text", "$ annotrove " + " ".join(args) + "\n" + command(*args)[0])


def apply_output() -> str:
    command("calibrate", "labelled.csv", "--score", "margin", "--error-rate", "0.05", "-o", "policy.json")
    out, err = command("apply", "new_batch.csv", "policy.json")
    lines = out.splitlines()
    accepted = next(line for line in lines[1:] if line.endswith(",true"))
    shown = [lines[0], lines[1]] + (["..."] if accepted != lines[2] else []) + [accepted]
    return fenced("text", "$ annotrove apply new_batch.csv policy.json\n" + "\n".join(shown) + "\n(standard error) "
                  + err)


def policy_file() -> str:
    annotrove.save_policy("policy.json", annotrove.calibrate("labelled.csv", "margin", 0.05))
    return fenced("json", Path("policy.json").read_text(encoding="utf-8"))


def decision_dict() -> str:
    policy = annotrove.calibrate("labelled.csv", "margin", 0.05)
    decision = annotrove.apply_policy("new_batch.csv", policy)[0]
    text = repr(decision)
    cut = text.index(", 'accepted'")
    return fenced("python", text[:cut + 1] + "\n " + text[cut + 2:])


def figure_caption() -> str:
    rows = annotrove.compare_scores("labelled.csv", list(annotrove_cli.ALL_SCORES), resamples=0)
    share = rows[0]["top1_error"]
    never = [row["score"] for row in rows
             if annotrove.calibrate("labelled.csv", row["score"], 0.05)["threshold"] == annotrove_cli.SENTINEL_THRESHOLD]
    missing = (f"; {' and '.join(never)} never {'gets' if len(never) == 1 else 'get'} down to 5 % and"
               f" {'has' if len(never) == 1 else 'have'} none" if never else "")
    return (f"*The eight methods on the bundled labelled table ({rows[0]['labelled']} queries,"
            f" {share * 100:.1f} % of top candidates wrong).\n"
            "Reading a curve from left to right: accept more and more queries, from the most confident down;\n"
            "the height is the share of the accepted top candidates that are wrong. A filled circle marks the\n"
            f"threshold `calibrate(..., 0.05, \"empirical\")` picks for that method{missing}.*\n")


def compare_example() -> str:
    rows = annotrove.compare_scores("labelled.csv", ["max-prob", "margin", "effective-k"])
    lines = ['>>> rows = annotrove.compare_scores("labelled.csv", ["max-prob", "margin", "effective-k"])',
             ">>> for row in rows:",
             '...     print(row["score"], round(row["aurc"], 4), round(row["aurc_low"], 4), round(row["aurc_high"], 4),',
             '...           round(row["aurc_difference_low"], 4), round(row["aurc_difference_high"], 4),'
             ' row["distinguishable"])']
    for row in rows:
        lines.append(" ".join(str(x) for x in (row["score"], round(row["aurc"], 4), round(row["aurc_low"], 4),
                                                round(row["aurc_high"], 4), round(row["aurc_difference_low"], 4),
                                                round(row["aurc_difference_high"], 4), row["distinguishable"])))
    return fenced("python", "\n".join(lines))


BLOCKS: dict[str, Callable[[], str]] = {
    "curve-table": curve_table,
    "curve-json-row": curve_json_row,
    "calibrate-output": calibrate_output,
    "calibrate-crc-output": calibrate_crc_output,
    "apply-output": apply_output,
    "policy-file": policy_file,
    "decision-dict": decision_dict,
    "figure-caption": figure_caption,
    "compare-example": compare_example,
}


def blocks() -> dict[str, str]:
    """Every generated block, by name."""
    with bundled_tables():
        return {name: make() for name, make in BLOCKS.items()}


def rewrite(text: str, generated: dict[str, str]) -> str:
    """The text with every marked block replaced; a marker naming no block is an error."""

    def replace(match: re.Match[str]) -> str:
        name = match.group("name")
        if name not in generated:
            raise KeyError(f"the guide marks a block make_figures does not know: {name}")
        return match.group(1) + generated[name] + match.group(4)

    return MARKER.sub(replace, text)


def marked_names(text: str) -> list[str]:
    return [match.group("name") for match in MARKER.finditer(text)]


def draw_figure(output: Path) -> None:
    import plot_curves

    curves = [plot_curves.method_curve(CALIBRATION, score) for score in annotrove_cli.ALL_SCORES]
    plot_curves.draw(curves, output, "calibration.csv")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--check", action="store_true", help="only check that the guide is up to date")
    args = parser.parse_args(argv)
    text = GUIDE.read_text(encoding="utf-8")
    updated = rewrite(text, blocks())
    if args.check:
        print("docs/guide.md is up to date" if updated == text else "docs/guide.md is out of date")
        return 0 if updated == text else 1
    GUIDE.write_text(updated, encoding="utf-8")
    draw_figure(FIGURE)
    print(f"rewrote {len(marked_names(updated))} blocks of {GUIDE.relative_to(ROOT)} and {FIGURE.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
