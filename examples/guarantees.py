"""What a calibration target promises in practice, measured by simulation.

A known model stands in for an annotation tool: each query's confidence c is uniform on [0, 1] and
its top candidate is correct with probability c. Each trial draws a labelled calibration set of n
queries from the model, calibrates a max-prob policy with annotrove, and then computes the true
error rate and coverage of the chosen threshold t on the model itself (not on another sample):

    coverage   = P(c >= t)                = 1 - t
    true error = E[1 - c | c >= t]        = (integral of (1 - c) over [t, 1]) / (1 - t)
                                          = ((1 - t)^2 / 2) / (1 - t) = (1 - t) / 2

The sentinel threshold (no threshold met the target) accepts nothing: coverage 0, no errors.
The best any rule could do is the threshold 1 - 2 * target, with coverage 2 * target.

Run:  python examples/guarantees.py [--trials 200] [--seed 20240607]
Prints one Markdown table per calibration method.
"""

from __future__ import annotations

import argparse
import csv
import random
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import annotrove

SIZES: tuple[int, ...] = (200, 1000, 5000)
TARGETS: tuple[float, ...] = (0.05, 0.10)
BINOMIAL_LEVEL = 0.95
# (label, method, confidence_level) for each calibration run.
METHODS: tuple[tuple[str, str, float | None], ...] = (
    ("empirical", "empirical", None),
    (f"binomial at {BINOMIAL_LEVEL}", "binomial", BINOMIAL_LEVEL),
    ("crc", "crc", None),
)
SENTINEL = 1.7976931348623157e308


@dataclass
class Cell:
    """What the trials of one (method, n, target) combination saw."""

    trials: int = 0
    exceeded: int = 0
    coverages: list[float] = field(default_factory=list)
    errors: list[float] = field(default_factory=list)

    def add(self, true_error: float, coverage: float, target: float) -> None:
        self.trials += 1
        self.exceeded += true_error > target
        self.coverages.append(coverage)
        self.errors.append(true_error)


def true_error_and_coverage(threshold: float) -> tuple[float, float]:
    """The model's error rate among accepted queries and its share of accepted queries."""
    if threshold == SENTINEL or threshold >= 1.0:
        return 0.0, 0.0
    t = max(threshold, 0.0)
    return (1.0 - t) / 2.0, 1.0 - t


def write_calibration_set(path: Path, n: int, rng: random.Random) -> None:
    """n labelled queries from the model, one candidate each."""
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(["query_id", "candidate_id", "rank", "score", "probability", "is_correct"])
        for i in range(n):
            confidence = rng.random()
            correct = rng.random() < confidence
            # repr gives the shortest text that reads back to the same float.
            value = repr(confidence)
            writer.writerow([f"q{i:05d}", f"c{i:05d}", 1, value, value, "true" if correct else "false"])


def simulate(trials: int, seed: int) -> dict[tuple[str, int, float], Cell]:
    rng = random.Random(seed)
    cells: dict[tuple[str, int, float], Cell] = {}
    with tempfile.TemporaryDirectory(prefix="annotrove-guarantees-") as folder:
        path = Path(folder) / "calibration.csv"
        for n in SIZES:
            for _ in range(trials):
                write_calibration_set(path, n, rng)
                for target in TARGETS:
                    for label, method, level in METHODS:
                        policy = annotrove.calibrate(str(path), "max-prob", target, method, level)
                        true_error, coverage = true_error_and_coverage(policy["threshold"])
                        cells.setdefault((label, n, target), Cell()).add(true_error, coverage, target)
    return cells


def percent(value: float) -> str:
    return f"{100.0 * value:.1f} %"


def markdown_table(label: str, cells: dict[tuple[str, int, float], Cell]) -> str:
    lines = [
        "| labelled queries n | target | true error above target | mean coverage | mean true error |",
        "|---:|---:|---:|---:|---:|",
    ]
    for n in SIZES:
        for target in TARGETS:
            cell = cells[(label, n, target)]
            lines.append(
                f"| {n} | {percent(target)} | {percent(cell.exceeded / cell.trials)} "
                f"| {percent(sum(cell.coverages) / cell.trials)} "
                f"| {percent(sum(cell.errors) / cell.trials)} |"
            )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--trials", type=int, default=200, help="calibration sets per cell (200)")
    parser.add_argument("--seed", type=int, default=20240607, help="seed of the random draws")
    args = parser.parse_args()
    trials: int = args.trials
    seed: int = args.seed
    if trials < 1:
        parser.error("--trials must be at least 1")

    cells = simulate(trials, seed)
    best = ", ".join(f"{percent(2.0 * t)} for a {percent(t)} target" for t in TARGETS)
    print(f"{trials} trials per cell, seed {seed}. Best possible coverage on this model: {best}.")
    for label, _, _ in METHODS:
        print(f"\n**{label}**\n")
        print(markdown_table(label, cells))


if __name__ == "__main__":
    main()
