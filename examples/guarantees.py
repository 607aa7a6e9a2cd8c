"""What a calibration target promises in practice, measured by simulation.

Known models stand in for an annotation tool. Each gives a query's confidence c and the chance
that its top candidate is right:

    calibrated      c uniform on [0, 1],                     P(right) = c
    over-confident  c uniform on [0, 1],                     P(right) = c^2
    mostly wrong    c from Beta(1, 3) (75 % of answers wrong), P(right) = c
    coarse          c uniform on the 20 values 0.025, 0.075, ..., 0.975, P(right) = c

Each trial draws a labelled calibration set of n queries from a model and writes it to a CSV file
once; annotrove.calibrate then reads that file for every target, level and method (max-prob
score), and the true error rate and coverage of each chosen threshold t are computed on the model
itself, that is on unlimited new data from the same source:

    calibrated      coverage 1 - t         error (1 - t) / 2
    over-confident  coverage 1 - t         error 1 - (1 + t + t^2) / 3
    mostly wrong    coverage (1 - t)^3     error 3 (1 - t) / 4
    coarse          the g values >= t:     coverage g / 20, error g / 40

A threshold that accepts nothing (the sentinel of annotrove, no threshold for MAPIE) has coverage
0 and no errors. "Above target" counts the calibration sets whose chosen threshold has a true
error rate above the target.

When NumPy and MAPIE are installed, the same calibration sets also go through MAPIE's
learn-then-test controller (mapie.risk_control.BinaryClassificationController): risk "precision",
target level 1 - error target, the same confidence level, 1000 thresholds 0, 0.001, ..., 0.999,
with its default Bonferroni-Holm procedure and with fixed-sequence testing walked from the
strictest threshold. Its per-threshold counts are computed once per set with NumPy and handed to
MAPIE's own testing procedure; on the first set of every model and size the result is checked
against the controller itself. Without them, MAPIE is reported as missing and skipped.

MAPIE gives a NaN p-value to a threshold above every confidence of the calibration set (it accepts
nothing), and a single NaN stops its Bonferroni-Holm procedure from rejecting anything; a third
MAPIE column therefore gives such thresholds the p-value 1, which is what they deserve, and the
comparison below is with the best of the three.

Run:  python examples/guarantees.py [--trials 500] [--seed 20240607]
Prints one Markdown table per model and the checks of ltt against its promise and against MAPIE;
exits with status 1 when a check fails.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import math
import random
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import annotrove

SIZES: tuple[int, ...] = (200, 1000, 5000)
TARGETS: tuple[float, ...] = (0.05, 0.10, 0.20)
LEVELS: tuple[float, ...] = (0.90, 0.95)
SENTINEL = 1.7976931348623157e308
MAPIE_GRID_SIZE = 1000

# (label, method, uses the level): the annotrove methods, each run for every target (and level).
ANNOTROVE_METHODS: tuple[tuple[str, str, bool], ...] = (
    ("ltt", "ltt", True),
    ("binomial", "binomial", True),
    ("empirical", "empirical", False),
    ("crc", "crc", False),
)
MAPIE_HOLM = "MAPIE Bonferroni-Holm"
MAPIE_SEQUENCE = "MAPIE fixed sequence"
# Thresholds above every calibration confidence accept nothing; MAPIE gives them a NaN p-value,
# which stops its Holm procedure from rejecting anything at all. This variant gives them the
# p-value 1 instead (they can never be rejected), so that the comparison is with MAPIE at its best.
MAPIE_HOLM_EMPTY_ONE = "MAPIE Bonferroni-Holm, empty thresholds p = 1"
MAPIE_METHODS: tuple[str, ...] = (MAPIE_HOLM, MAPIE_HOLM_EMPTY_ONE, MAPIE_SEQUENCE)
COLUMN_NAMES: dict[str, str] = {
    MAPIE_HOLM: "MAPIE Holm",
    MAPIE_HOLM_EMPTY_ONE: "MAPIE Holm, empty p = 1",
    MAPIE_SEQUENCE: "MAPIE fixed sequence",
}


@dataclass(frozen=True)
class Model:
    name: str
    draw: Callable[[random.Random], tuple[float, float]]  # (confidence, chance of being right)
    truth: Callable[[float], tuple[float, float]]  # threshold -> (true error, coverage)


def uniform_draw(rng: random.Random) -> tuple[float, float]:
    c = rng.random()
    return c, c


def over_confident_draw(rng: random.Random) -> tuple[float, float]:
    c = rng.random()
    return c, c * c


def mostly_wrong_draw(rng: random.Random) -> tuple[float, float]:
    c = rng.betavariate(1.0, 3.0)
    return c, c


COARSE_VALUES: tuple[float, ...] = tuple((j + 0.5) / 20 for j in range(20))


def coarse_draw(rng: random.Random) -> tuple[float, float]:
    c = COARSE_VALUES[rng.randrange(20)]
    return c, c


def unit_threshold(threshold: float) -> float | None:
    """The threshold within [0, 1], or None when it accepts nothing."""
    if threshold == SENTINEL or threshold >= 1.0:
        return None
    return max(threshold, 0.0)


def calibrated_truth(threshold: float) -> tuple[float, float]:
    t = unit_threshold(threshold)
    return (0.0, 0.0) if t is None else ((1.0 - t) / 2.0, 1.0 - t)


def over_confident_truth(threshold: float) -> tuple[float, float]:
    t = unit_threshold(threshold)
    return (0.0, 0.0) if t is None else (1.0 - (1.0 + t + t * t) / 3.0, 1.0 - t)


def mostly_wrong_truth(threshold: float) -> tuple[float, float]:
    t = unit_threshold(threshold)
    return (0.0, 0.0) if t is None else (0.75 * (1.0 - t), (1.0 - t) ** 3)


def coarse_truth(threshold: float) -> tuple[float, float]:
    g = sum(1 for value in COARSE_VALUES if value >= threshold)
    return (0.0, 0.0) if g == 0 else (g / 40.0, g / 20.0)


MODELS: tuple[Model, ...] = (
    Model("calibrated", uniform_draw, calibrated_truth),
    Model("over-confident", over_confident_draw, over_confident_truth),
    Model("mostly wrong", mostly_wrong_draw, mostly_wrong_truth),
    Model("coarse (20 values)", coarse_draw, coarse_truth),
)


@dataclass
class Cell:
    """What the calibration sets of one (model, n, target, level, method) saw."""

    trials: int = 0
    above: int = 0
    coverage: float = 0.0
    error: float = 0.0

    def add(self, truth: tuple[float, float], target: float) -> None:
        error, coverage = truth
        self.trials += 1
        self.above += error > target
        self.coverage += coverage
        self.error += error

    @property
    def above_rate(self) -> float:
        return self.above / self.trials

    @property
    def mean_coverage(self) -> float:
        return self.coverage / self.trials


Key = tuple[str, int, float, float, str]  # model, n, target, level, method


def draw_set(model: Model, n: int, rng: random.Random) -> tuple[list[float], list[bool]]:
    confidences, right = [], []
    for _ in range(n):
        confidence, chance = model.draw(rng)
        confidences.append(confidence)
        right.append(rng.random() < chance)
    return confidences, right


def write_calibration_set(path: Path, confidences: list[float], right: list[bool]) -> None:
    """One labelled query per row, one candidate each."""
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(["query_id", "candidate_id", "rank", "score", "probability", "is_correct"])
        for i, (confidence, correct) in enumerate(zip(confidences, right)):
            # repr gives the shortest text that reads back to the same float.
            value = repr(confidence)
            writer.writerow([f"q{i:05d}", f"c{i:05d}", 1, value, value, "true" if correct else "false"])


class Mapie:
    """MAPIE's learn-then-test controller for precision, one NumPy pass per calibration set."""

    def __init__(self, numpy: Any, risk_control: Any, base_controller: Any) -> None:
        self.np = numpy
        self.controller_type = risk_control.BinaryClassificationController
        self.procedure = base_controller.ltt_procedure
        self.control_fwer = risk_control.control_fwer
        self.grid = numpy.linspace(0.0, 0.999, MAPIE_GRID_SIZE)

    @staticmethod
    def load() -> Mapie | str:
        """The peer, or why it is not available."""
        try:
            numpy = importlib.import_module("numpy")
            risk_control = importlib.import_module("mapie.risk_control")
            base_controller = importlib.import_module("mapie.risk_control._base_controller")
            getattr(risk_control, "BinaryClassificationController")
            getattr(base_controller, "ltt_procedure")
            getattr(risk_control, "control_fwer")
        except (ImportError, AttributeError) as error:
            return f"{type(error).__name__}: {error}"
        return Mapie(numpy, risk_control, base_controller)

    def counts(self, confidences: list[float], right: list[bool]) -> dict[str, Any]:
        """For every grid threshold, as the controller computes them: the precision risk (1 -
        precision, or 1 with -1 effective queries when nothing is accepted) and the recall risk."""
        np = self.np
        c = np.asarray(confidences, dtype=float)
        y = np.asarray(right, dtype=bool)
        order = np.argsort(-c, kind="stable")
        right_sorted = np.cumsum(y[order])
        accepted = c.size - np.searchsorted(np.sort(c), self.grid, side="left")
        true_positives = np.where(accepted > 0, right_sorted[np.maximum(accepted - 1, 0)], 0)
        safe = np.maximum(accepted, 1)
        precision_risk = np.where(accepted > 0, 1.0 - true_positives / safe, 1.0)
        observations = np.where(accepted > 0, accepted, -1)
        recall_risk = 1.0 - true_positives / max(int(y.sum()), 1)
        return {"risk": precision_risk, "n": observations, "recall": recall_risk}

    def threshold(self, counts: dict[str, Any], target: float, level: float, method: str) -> float | None:
        """The controller's best_predict_param, or None when no threshold is valid."""
        np = self.np
        # Fixed-sequence testing walks the list in order: from the strictest threshold down.
        order = np.arange(MAPIE_GRID_SIZE)
        fwer = "bonferroni_holm"
        if method == MAPIE_SEQUENCE:
            order, fwer = order[::-1], "fixed_sequence"
        risk, observations = counts["risk"][order], counts["n"][order]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            valid, p_values = self.procedure(risk[None, :], np.array([[target]]), 1.0 - level,
                                             observations[None, :], True, fwer_method=fwer)
            if method == MAPIE_HOLM_EMPTY_ONE:
                p_values = np.nan_to_num(np.asarray(p_values, dtype=float)[:, 0], nan=1.0)
                valid = [self.control_fwer(p_values, 1.0 - level, fwer_method="bonferroni_holm")]
        chosen = np.asarray(valid[0], dtype=int)
        if chosen.size == 0:
            return None
        # The controller's choice: least recall risk, ties to the greatest precision risk.
        recall = counts["recall"][order][chosen]
        best = np.flatnonzero(recall == recall.min())
        best = best[np.argmax(risk[chosen][best])]
        return float(self.grid[order][chosen][best])

    def controller_threshold(self, confidences: list[float], right: list[bool], target: float,
                             level: float, method: str) -> float | None:
        """The same through the controller itself, to check the fast route."""
        np = self.np
        grid = self.grid[::-1] if method == MAPIE_SEQUENCE else self.grid
        controller = self.controller_type(
            predict_function=lambda x: np.column_stack([1.0 - x[:, 0], x[:, 0]]),
            risk="precision", target_level=1.0 - target, confidence_level=level,
            list_predict_params=grid,
            fwer_method="fixed_sequence" if method == MAPIE_SEQUENCE else "bonferroni_holm")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            controller.calibrate(np.asarray(confidences)[:, None], np.asarray(right, dtype=int))
        best = controller.best_predict_param
        return None if best is None else float(best)


def simulate(trials: int, seed: int, mapie: Mapie | None) -> dict[Key, Cell]:
    rng = random.Random(seed)
    cells: dict[Key, Cell] = {}

    def record(key: Key, truth: tuple[float, float], target: float) -> None:
        cells.setdefault(key, Cell()).add(truth, target)

    with tempfile.TemporaryDirectory(prefix="annotrove-guarantees-") as folder:
        path = Path(folder) / "calibration.csv"
        for model in MODELS:
            for n in SIZES:
                for trial in range(trials):
                    confidences, right = draw_set(model, n, rng)
                    write_calibration_set(path, confidences, right)
                    for target in TARGETS:
                        for label, method, uses_level in ANNOTROVE_METHODS:
                            for level in LEVELS if uses_level else (None,):
                                policy = annotrove.calibrate(str(path), "max-prob", target, method, level)
                                truth = model.truth(policy["threshold"])
                                for shown in LEVELS if level is None else (level,):
                                    record((model.name, n, target, shown, label), truth, target)
                    if mapie is None:
                        continue
                    counts = mapie.counts(confidences, right)
                    for target in TARGETS:
                        for level in LEVELS:
                            for method in MAPIE_METHODS:
                                chosen = mapie.threshold(counts, target, level, method)
                                if trial == 0 and method != MAPIE_HOLM_EMPTY_ONE:
                                    direct = mapie.controller_threshold(confidences, right, target, level, method)
                                    if direct != chosen:
                                        raise AssertionError(
                                            f"{method} on {model.name}, n={n}: controller chose {direct}, "
                                            f"the NumPy route {chosen}")
                                truth = model.truth(SENTINEL if chosen is None else chosen)
                                record((model.name, n, target, level, method), truth, target)
    return cells


def percent(value: float, digits: int = 1) -> str:
    return f"{100.0 * value:.{digits}f} %"


def methods_shown(mapie: Mapie | None) -> list[str]:
    labels = [label for label, _, _ in ANNOTROVE_METHODS]
    return labels[:1] + (list(MAPIE_METHODS) if mapie is not None else []) + labels[1:]


def markdown_table(model: Model, cells: dict[Key, Cell], labels: list[str]) -> str:
    header = "| n | target | level | " + " | ".join(COLUMN_NAMES.get(label, label) for label in labels) + " |"
    lines = [header, "|" + "---:|" * (3 + len(labels))]
    for n in SIZES:
        for target in TARGETS:
            for level in LEVELS:
                row = [str(n), percent(target, 0), f"{level:.2f}"]
                for label in labels:
                    cell = cells[(model.name, n, target, level, label)]
                    row.append(f"{percent(cell.above_rate)} / {percent(cell.mean_coverage, 2)}")
                lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


# MAPIE as users get it: its default Bonferroni-Holm and its fixed-sequence procedure.
MAPIE_AS_SHIPPED: tuple[str, ...] = (MAPIE_HOLM, MAPIE_SEQUENCE)


def check(cells: dict[Key, Cell], mapie: Mapie | None) -> list[str]:
    """The bars ltt must clear; returns the failures. Per cell, ltt must cover at least as much as
    the best of all MAPIE columns; summed, at least 1.3 times MAPIE as shipped (the repaired
    variant's ratio is printed too)."""
    failures: list[str] = []
    sums = {"shipped": [0.0, 0.0], "repaired": [0.0, 0.0]}
    within = worse = 0
    for model in MODELS:
        for n in SIZES:
            for target in TARGETS:
                for level in LEVELS:
                    ltt = cells[(model.name, n, target, level, "ltt")]
                    bound = (1.0 - level) + 2.0 * math.sqrt(level * (1.0 - level) / ltt.trials)
                    where = f"{model.name}, n={n}, target {target}, level {level}"
                    if ltt.above_rate > bound:
                        failures.append(f"{where}: ltt above target in {percent(ltt.above_rate)} > {percent(bound)}")
                    else:
                        within += 1
                    if mapie is None:
                        continue
                    best = max(cells[(model.name, n, target, level, m)].mean_coverage for m in MAPIE_METHODS)
                    if ltt.mean_coverage < best:
                        worse += 1
                        failures.append(f"{where}: ltt coverage {percent(ltt.mean_coverage, 3)} "
                                        f"< MAPIE's best {percent(best, 3)}")
                    shipped = max(cells[(model.name, n, target, level, m)].mean_coverage for m in MAPIE_AS_SHIPPED)
                    for name, peer in (("shipped", shipped), ("repaired", best)):
                        if peer > 0.0:
                            sums[name][0] += ltt.mean_coverage
                            sums[name][1] += peer
    cell_count = len(MODELS) * len(SIZES) * len(TARGETS) * len(LEVELS)
    print(f"\nltt above target at most 1 - level + 2 standard errors: {within} of {cell_count} cells.")
    if mapie is not None:
        print(f"ltt coverage at least the best MAPIE column: {cell_count - worse} of {cell_count} cells.")
        for name, (ltt_sum, mapie_sum) in sums.items():
            if mapie_sum == 0.0:
                continue
            ratio = ltt_sum / mapie_sum
            described = ("MAPIE as shipped (best of Bonferroni-Holm and fixed sequence)" if name == "shipped"
                         else "the best MAPIE column, NaN p-values repaired included")
            print(f"Summed over the cells where {described} accepts anything: ltt {percent(ltt_sum, 2)}, "
                  f"MAPIE {percent(mapie_sum, 2)}, ratio {ratio:.2f}" + (" (bar: 1.3)." if name == "shipped" else "."))
            if name == "shipped" and ratio < 1.3:
                failures.append(f"coverage ratio {ratio:.2f} < 1.3")
    return failures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--trials", type=int, default=500, help="calibration sets per cell (500)")
    parser.add_argument("--seed", type=int, default=20240607, help="seed of the random draws")
    args = parser.parse_args()
    trials: int = args.trials
    seed: int = args.seed
    if trials < 1:
        parser.error("--trials must be at least 1")

    loaded = Mapie.load()
    mapie = loaded if isinstance(loaded, Mapie) else None
    if mapie is None:
        print(f"MAPIE or NumPy is not available ({loaded}); MAPIE is skipped.")
    started = time.perf_counter()
    cells = simulate(trials, seed, mapie)
    seconds = time.perf_counter() - started
    print(f"{trials} calibration sets per model and size, seed {seed}, {seconds:.0f} s. "
          "Each entry: how often the true error was above the target / mean coverage.")
    labels = methods_shown(mapie)
    for model in MODELS:
        print(f"\n**{model.name}**\n")
        print(markdown_table(model, cells, labels))
    failures = check(cells, mapie)
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        sys.exit(1)


if __name__ == "__main__":
    main()
