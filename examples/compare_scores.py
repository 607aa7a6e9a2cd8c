"""Which score method is really better? Intervals and paired differences from compare_scores.

    python examples/compare_scores.py [TABLE.csv] [--resamples 2000] [--seed 0]

Reads the bundled calibration table (or the given one) once, and prints every score method's
AURC, E-AURC, AUGRC and failure AUROC with 95 % percentile bootstrap intervals, lowest AURC
first, with the paired AURC difference to the best method. Needs nothing but annotrove.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import TYPE_CHECKING

import annotrove

if TYPE_CHECKING:
    from annotrove import ScoreComparison

HERE = Path(__file__).resolve().parent
CALIBRATION_TABLE = HERE / "data" / "calibration.csv"


def interval(low: float | None, high: float | None) -> str:
    if low is None or high is None:
        return ""
    if math.isnan(low) or math.isnan(high):
        return "[n/a]"
    return f"[{low:.4f}, {high:.4f}]"


def value(number: float) -> str:
    return "n/a" if math.isnan(number) else f"{number:.4f}"


def describe(row: ScoreComparison, best: bool) -> str:
    mark = "" if best or row["distinguishable"] is not False else "  (not distinguishable from the best)"
    return (
        f"{row['score']:<16} AURC {value(row['aurc'])} {interval(row['aurc_low'], row['aurc_high'])}"
        f"  AUGRC {value(row['augrc'])} {interval(row['augrc_low'], row['augrc_high'])}"
        f"  AUROC {value(row['auroc'])} {interval(row['auroc_low'], row['auroc_high'])}"
        f"  vs best {row['aurc_difference']:+.4f}"
        f" {interval(row['aurc_difference_low'], row['aurc_difference_high'])}{mark}"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("table", nargs="?", default=str(CALIBRATION_TABLE))
    parser.add_argument("--resamples", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rows: list[ScoreComparison] = annotrove.compare_scores(args.table, resamples=args.resamples, seed=args.seed)
    for index, row in enumerate(rows):
        print(describe(row, best=index == 0))
    best = rows[0]
    # AUGRC of the best method's curve, recomputed from the curve dicts.
    curve = annotrove.compute_curve(args.table, best["score"])
    print(f"\nAUGRC of {best['score']} from its curve: {annotrove.augrc(curve):.6f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
