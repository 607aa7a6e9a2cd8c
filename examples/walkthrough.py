"""Walkthrough: calibrate a trust threshold on labelled annotations, then apply it to a new batch.

    python examples/walkthrough.py

Uses the two small tables in examples/data (see make_example_data.py) and writes the
policy file to examples/output/. Needs nothing but annotrove and the standard library.
"""

from __future__ import annotations

import csv
import json
import math
import sys
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path

import annotrove

HERE = Path(__file__).resolve().parent
CALIBRATION_TABLE = HERE / "data" / "calibration.csv"
NEW_BATCH_TABLE = HERE / "data" / "new_batch.csv"
OUTPUT_DIR = HERE / "output"

SCORE = "margin"
TARGET_ERROR_RATE = 0.05
# Calibration rules: (label, method, confidence level).
RULES: list[tuple[str, str, float | None]] = [
    ("empirical", "empirical", None),
    ("binomial, 95% upper bound", "binomial", 0.95),
    ("crc, finite-sample corrected", "crc", None),
    ("ltt, guaranteed at 95%", "ltt", 0.95),
]
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


def as_float(value: object) -> float:
    if isinstance(value, (int, float)):
        return float(value)
    raise TypeError(f"expected a number, got {type(value).__name__}")


def as_int(value: object) -> int:
    if isinstance(value, int):
        return value
    raise TypeError(f"expected an int, got {type(value).__name__}")


def show(value: float, digits: int = 4) -> str:
    """A number for a table: fixed digits, or n/a when undefined."""
    return "n/a" if math.isnan(value) else f"{value:.{digits}f}"


def heading(text: str) -> None:
    print()
    print(text)
    print("=" * len(text))


def top_candidate_labels(path: Path) -> dict[str, bool | None]:
    """Each query's label: is_correct of its top candidate (smallest rank, first row on ties)."""
    top: dict[str, tuple[int, str]] = {}
    with open(path, newline="", encoding="utf-8") as handle:
        for row in csv.DictReader(handle):
            query_id = row["query_id"]
            rank = int(row["rank"])
            best = top.get(query_id)
            if best is None or rank < best[0]:
                top[query_id] = (rank, row.get("is_correct") or "")
    return {query_id: (None if label == "" else label == "true") for query_id, (_, label) in top.items()}


def point_at(curve: Iterable[Mapping[str, object]], threshold: float) -> Mapping[str, object] | None:
    """The curve point whose threshold a policy adopted, if any."""
    for point in curve:
        if as_float(point["threshold"]) == threshold:
            return point
    return None


def describe_threshold(curve: Iterable[Mapping[str, object]], threshold: float) -> str:
    point = point_at(curve, threshold)
    if point is None:
        return "no threshold meets the target: every query would be rejected"
    risk = point["risk"]
    risk_text = "n/a" if risk is None else f"{as_float(risk):.1%}"
    return (
        f"accepts {as_int(point['accepted'])} of {as_int(point['total'])} queries "
        f"({as_float(point['coverage']):.1%}), observed error rate {risk_text}"
    )


def report_calibration(policy: Mapping[str, object], curve: Sequence[Mapping[str, object]]) -> None:
    threshold = as_float(policy["threshold"])
    print(f"\nempirical rule: threshold {threshold:.6f}")
    print(f"  on the calibration data it {describe_threshold(curve, threshold)}")
    print("\nthe policy:")
    print(json.dumps(dict(policy), indent=2))


def compare_calibration_rules(curve: Sequence[Mapping[str, object]]) -> None:
    print("\nstricter rules, for comparison:")
    for label, method, level in RULES[1:]:
        other = annotrove.calibrate(str(CALIBRATION_TABLE), SCORE, TARGET_ERROR_RATE, method, level)
        threshold = as_float(other["threshold"])
        print(f"  {label:29} threshold {threshold:.6f}: {describe_threshold(curve, threshold)}")


def compare_scores() -> None:
    heading("2. Which confidence score ranks the answers best?")
    print("AURC is the area under the risk-coverage curve (lower is better); E-AURC subtracts")
    print("the area a perfect ordering would reach. Both need labels; E-AURC is n/a when some")
    print("query gets no confidence from the score (the curve then never reaches full coverage).\n")
    print(f"  {'score':16} {'points':>6} {'max coverage':>13} {'AURC':>8} {'E-AURC':>8}")
    rows: list[tuple[str, int, float, float, float]] = []
    for score in ALL_SCORES:
        curve = annotrove.compute_curve(str(CALIBRATION_TABLE), score)
        coverage = as_float(curve[-1]["coverage"]) if curve else 0.0
        rows.append((score, len(curve), coverage, annotrove.aurc(curve), annotrove.eaurc(curve)))
    for score, points, coverage, area, excess in rows:
        print(f"  {score:16} {points:6} {coverage:13.1%} {show(area):>8} {show(excess):>8}")
    ranked = [row for row in rows if not math.isnan(row[3])]
    if ranked:
        best = min(ranked, key=lambda row: row[3])
        print(f"\nlowest AURC: {best[0]}")


def accepted_and_wrong(
    decisions: Sequence[Mapping[str, object]], labels: Mapping[str, bool | None]
) -> tuple[int, int]:
    """How many queries were accepted, and how many of those have a wrong top candidate."""
    accepted = [str(d["query_id"]) for d in decisions if d["accepted"] is True]
    return len(accepted), sum(1 for q in accepted if labels.get(q) is False)


def compare_rules_on_new_batch(labels: Mapping[str, bool | None]) -> None:
    print("\nthe four rules side by side on this batch:")
    print(f"  {'rule':29} {'threshold':>9} {'accepted':>8} {'wrong':>6} {'error rate':>10}")
    for label, method, level in RULES:
        policy = annotrove.calibrate(str(CALIBRATION_TABLE), SCORE, TARGET_ERROR_RATE, method, level)
        decisions = annotrove.apply_policy(str(NEW_BATCH_TABLE), policy)
        accepted, wrong = accepted_and_wrong(decisions, labels)
        rate = f"{wrong / accepted:.1%}" if accepted else "n/a"
        threshold = as_float(policy["threshold"])
        print(f"  {label:29} {threshold:9.4f} {accepted:8} {wrong:6} {rate:>10}")
    print("With a hundred or so accepted queries each wrong answer moves the rate by about a point,")
    print("so a few points either side of the target is within chance. The empirical rule also picks")
    print("the most favourable point of its own curve; crc lowers the target by 1/(n+1) and binomial")
    print("asks the 95% upper bound of the error rate to meet it, trading coverage for that margin;")
    print("ltt is the only one whose target holds on new data with 95% probability, and pays for it.")


def report_decisions(decisions: Sequence[Mapping[str, object]]) -> None:
    accepted_ids = [str(d["query_id"]) for d in decisions if d["accepted"] is True]
    unscored = sum(1 for d in decisions if math.isnan(as_float(d["confidence"])))
    total = len(decisions)

    print("\nfirst decisions:")
    print(f"  {'query_id':12} {'top candidate':14} {'confidence':>10}  decision")
    for decision in decisions[:5]:
        confidence = as_float(decision["confidence"])
        verdict = "accept" if decision["accepted"] is True else "reject"
        print(f"  {str(decision['query_id']):12} {str(decision['candidate_id']):14} {show(confidence):>10}  {verdict}")

    share = len(accepted_ids) / total if total else math.nan
    print(f"\naccepted {len(accepted_ids)} of {total} queries ({share:.1%})")
    if unscored:
        print(f"{unscored} queries had no '{SCORE}' confidence (missing probabilities) and were rejected")

    # This batch happens to be labelled, so we can check the promise the policy made.
    labels = top_candidate_labels(NEW_BATCH_TABLE)
    checked = [labels[q] for q in accepted_ids if labels.get(q) is not None]
    wrong = sum(1 for label in checked if label is False)
    if checked:
        realised = wrong / len(checked)
        verdict = "within" if realised <= TARGET_ERROR_RATE else "above"
        print(
            f"realised error rate among the accepted: {wrong} wrong of {len(checked)} = {realised:.1%} "
            f"({verdict} the {TARGET_ERROR_RATE:.0%} target)"
        )
    overall = [label for label in labels.values() if label is not None]
    if overall:
        overall_rate = sum(1 for label in overall if label is False) / len(overall)
        print(f"for comparison, accepting every top candidate would be wrong {overall_rate:.1%} of the time")
    compare_rules_on_new_batch(labels)


def main() -> int:
    print(f"annotrove walkthrough: score '{SCORE}', target error rate {TARGET_ERROR_RATE:.0%}")

    heading(f"1. Calibrate a '{SCORE}' threshold for at most {TARGET_ERROR_RATE:.0%} wrong top candidates")
    print(f"calibration table: {CALIBRATION_TABLE.relative_to(HERE.parent)}")
    curve = annotrove.compute_curve(str(CALIBRATION_TABLE), SCORE)
    policy = annotrove.calibrate(str(CALIBRATION_TABLE), SCORE, TARGET_ERROR_RATE)
    report_calibration(policy, curve)
    compare_calibration_rules(curve)

    compare_scores()

    heading("3. Save the policy, then load it back as a later session would")
    OUTPUT_DIR.mkdir(exist_ok=True)
    path = OUTPUT_DIR / f"policy-{SCORE}.json"
    annotrove.save_policy(str(path), policy)
    print(f"saved {path.relative_to(HERE.parent)}:")
    print(path.read_text(encoding="utf-8"))
    loaded = annotrove.load_policy(str(path))
    same = dict(loaded) == dict(policy)
    print(f"\nloaded back: {'identical to the calibrated policy' if same else 'DIFFERS from the calibrated policy'}")

    heading("4. Apply the policy to a new batch")
    print(f"new table: {NEW_BATCH_TABLE.relative_to(HERE.parent)}")
    decisions = annotrove.apply_policy(str(NEW_BATCH_TABLE), loaded)
    report_decisions(decisions)
    return 0


if __name__ == "__main__":
    sys.exit(main())
