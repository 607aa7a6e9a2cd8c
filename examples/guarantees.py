"""What a calibration target promises in practice, measured by simulation.

Known models stand in for an annotation tool. Each gives a query's confidence c and the chance
that its top candidate is right:

    calibrated      c uniform on [0, 1],                     P(right) = c
    over-confident  c uniform on [0, 1],                     P(right) = c^2
    mostly wrong    c from Beta(1, 3) (75 % of answers wrong), P(right) = c
    coarse          c uniform on the 20 values 0.025, 0.075, ..., 0.975, P(right) = c

and three that stress the ltt procedure where a monotone, tie-free score would spare it:

    garbage top     c uniform on [0, 1], P(right) = 0.1 above 0.98 (the top 2 %), else c
    tie trap        5 % of queries share the top confidence 0.99 and are right with
                    probability 0.5; the rest have c uniform on [0, 0.98), P(right) = c
    wavy            c uniform on [0, 1], P(right) = c + 0.15 sin(12 c) clipped to [0, 1]

Each trial draws a labelled calibration set of n queries from a model and writes it to a CSV file
once; annotrove.calibrate then reads that file for every target, level and method (max-prob
score), and the true error rate and coverage of each chosen threshold t are computed on the model
itself, that is on unlimited new data from the same source:

    calibrated      coverage 1 - t         error (1 - t) / 2
    over-confident  coverage 1 - t         error 1 - (1 + t + t^2) / 3
    mostly wrong    coverage (1 - t)^3     error 3 (1 - t) / 4
    coarse          the g values >= t:     coverage g / 20, error g / 40
    garbage top     coverage 1 - t         error (((1 - t)^2 - 0.02^2) / 2 + 0.018) / (1 - t), t <= 0.98
    tie trap        coverage 0.05 + 0.95 (0.98 - t) / 0.98, t <= 0.98
    wavy            coverage 1 - t         error ((1 - t)^2 / 2 - 0.15 (cos 12t - cos 12) / 12) / (1 - t)

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

Beside them, "ltt 0.1" is the ltt rule of annotrove 0.1, reimplemented here from the curve with
SciPy's binomial tail (skipped without SciPy): exact binomial tests at up to 32 places spaced
evenly in square root, each at an equal share of 1 - level, the passing place of greatest coverage
chosen.

Run:  python examples/guarantees.py [--trials 500] [--seed 20240607] [--models calibrated,wavy]
Prints one Markdown table per model and the checks of ltt against its promise, against ltt 0.1,
binomial and MAPIE; exits with status 1 when a check fails.
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
    "ltt": "ltt (new)",
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


GARBAGE_FROM = 0.98  # the top 2 % of confidences


def garbage_top_draw(rng: random.Random) -> tuple[float, float]:
    c = rng.random()
    return c, 0.1 if c > GARBAGE_FROM else c


def garbage_top_truth(threshold: float) -> tuple[float, float]:
    t = unit_threshold(threshold)
    if t is None:
        return 0.0, 0.0
    if t >= GARBAGE_FROM:
        return 0.9, 1.0 - t
    top = 1.0 - GARBAGE_FROM
    errors = ((1.0 - t) ** 2 - top * top) / 2.0 + 0.9 * top
    return errors / (1.0 - t), 1.0 - t


TIE_VALUE, TIE_SHARE, TIE_REST_TOP = 0.99, 0.05, 0.98


def tie_trap_draw(rng: random.Random) -> tuple[float, float]:
    if rng.random() < TIE_SHARE:
        return TIE_VALUE, 0.5
    c = TIE_REST_TOP * rng.random()
    return c, c


def tie_trap_truth(threshold: float) -> tuple[float, float]:
    if threshold == SENTINEL or threshold > TIE_VALUE:
        return 0.0, 0.0
    if threshold > TIE_REST_TOP:
        return 0.5, TIE_SHARE
    t = max(threshold, 0.0)
    rest = (1.0 - TIE_SHARE) / TIE_REST_TOP  # density of the rest on [0, 0.98)
    coverage = TIE_SHARE + rest * (TIE_REST_TOP - t)
    errors = 0.5 * TIE_SHARE + rest * ((1.0 - t) ** 2 - (1.0 - TIE_REST_TOP) ** 2) / 2.0
    return errors / coverage, coverage


def wavy_chance(c: float) -> float:
    return min(max(c + 0.15 * math.sin(12.0 * c), 0.0), 1.0)


def wavy_draw(rng: random.Random) -> tuple[float, float]:
    c = rng.random()
    return c, wavy_chance(c)


def wavy_truth(threshold: float) -> tuple[float, float]:
    # The clipping never bites on [0, 1] (the chance stays within 0 and 0.92), so the integral
    # of 1 - c - 0.15 sin(12 c) from t to 1 has a closed form.
    t = unit_threshold(threshold)
    if t is None:
        return 0.0, 0.0
    errors = (1.0 - t) ** 2 / 2.0 - 0.15 * (math.cos(12.0 * t) - math.cos(12.0)) / 12.0
    return errors / (1.0 - t), 1.0 - t


ORIGINAL_MODELS: tuple[Model, ...] = (
    Model("calibrated", uniform_draw, calibrated_truth),
    Model("over-confident", over_confident_draw, over_confident_truth),
    Model("mostly wrong", mostly_wrong_draw, mostly_wrong_truth),
    Model("coarse (20 values)", coarse_draw, coarse_truth),
)
STRESS_MODELS: tuple[Model, ...] = (
    Model("garbage top", garbage_top_draw, garbage_top_truth),
    Model("tie trap", tie_trap_draw, tie_trap_truth),
    Model("wavy", wavy_draw, wavy_truth),
)
MODELS: tuple[Model, ...] = ORIGINAL_MODELS + STRESS_MODELS


class PreviousLtt:
    """The ltt rule of annotrove 0.1, for comparison: exact binomial tests at places fixed in
    advance, evenly spaced in square root, at equal shares of 1 - level (Bonferroni)."""

    LABEL = "ltt 0.1"

    def __init__(self, binomial_cdf: Callable[[int, int, float], float]) -> None:
        self.binomial_cdf = binomial_cdf

    @staticmethod
    def load() -> PreviousLtt | str:
        try:
            special = importlib.import_module("scipy.special")
        except ImportError as error:
            return f"{type(error).__name__}: {error}"
        return PreviousLtt(lambda k, n, p: float(special.bdtr(k, n, p)))

    @staticmethod
    def places(scored: int, target: float, level: float) -> tuple[list[int], float]:
        def first(share: float) -> int | None:
            needed = 0.0 if target >= 1.0 else math.log(share) / math.log1p(-target)
            return None if not needed < scored else 1 + math.ceil(max(needed, 0.0))

        best, count = 0, 1
        while True:
            start = first((1.0 - level) / count)
            if start is None or math.sqrt(start) + 2.0 * (count - 1) > math.sqrt(scored):
                break
            best, count = count, count + 1
        if best == 0:
            return [], 0.0
        share = (1.0 - level) / best
        root = math.sqrt(first(share) or 0)
        return [math.floor((root + 2.0 * i) ** 2 + 0.5) for i in range(best)], share

    def threshold(self, curve: list[tuple[float, int, int]], target: float, level: float) -> float:
        """curve: (confidence, accepted, errors) per distinct confidence, most confident first."""
        if not curve:
            return SENTINEL
        places, share = self.places(curve[-1][1], target, level)
        chosen, previous, i = SENTINEL, 0, 0
        for confidence, accepted, errors in curve:
            while i < len(places) and places[i] <= previous:
                i += 1
            holds = i < len(places) and places[i] <= accepted
            previous = accepted
            if holds and self.binomial_cdf(errors, accepted - 1, target) <= share:
                chosen = confidence
        return chosen


def calibration_curve(confidences: list[float], right: list[bool]) -> list[tuple[float, int, int]]:
    curve: list[tuple[float, int, int]] = []
    accepted = errors = 0
    for confidence, correct in sorted(zip(confidences, right), key=lambda query: -query[0]):
        accepted, errors = accepted + 1, errors + (not correct)
        if curve and curve[-1][0] == confidence:
            curve[-1] = (confidence, accepted, errors)
        else:
            curve.append((confidence, accepted, errors))
    return curve


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


def simulate(trials: int, seed: int, models: tuple[Model, ...], mapie: Mapie | None,
             previous: PreviousLtt | None) -> dict[Key, Cell]:
    cells: dict[Key, Cell] = {}

    def record(key: Key, truth: tuple[float, float], target: float) -> None:
        cells.setdefault(key, Cell()).add(truth, target)

    with tempfile.TemporaryDirectory(prefix="annotrove-guarantees-") as folder:
        path = Path(folder) / "calibration.csv"
        for model in models:
            # Each model draws from its own stream, so a run of some models sees the same sets.
            rng = random.Random(f"{seed}/{model.name}")
            for n in SIZES:
                for trial in range(trials):
                    confidences, right = draw_set(model, n, rng)
                    write_calibration_set(path, confidences, right)
                    if previous is not None:
                        curve = calibration_curve(confidences, right)
                        for target in TARGETS:
                            for level in LEVELS:
                                truth = model.truth(previous.threshold(curve, target, level))
                                record((model.name, n, target, level, PreviousLtt.LABEL), truth, target)
                    for target in TARGETS:
                        for label, method, uses_level in ANNOTROVE_METHODS:
                            for asked in LEVELS if uses_level else (None,):
                                policy = annotrove.calibrate(str(path), "max-prob", target, method, asked)
                                truth = model.truth(policy["threshold"])
                                for shown in LEVELS if asked is None else (asked,):
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


def methods_shown(mapie: Mapie | None, previous: PreviousLtt | None) -> list[str]:
    labels = [label for label, _, _ in ANNOTROVE_METHODS]
    return (labels[:1] + ([PreviousLtt.LABEL] if previous is not None else [])
            + (list(MAPIE_METHODS) if mapie is not None else []) + labels[1:])


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
# The bars on summed coverage: (what, models, peer, least ratio).
ORIGINAL_NAMES = tuple(model.name for model in ORIGINAL_MODELS)
COVERAGE_BARS: tuple[tuple[str, tuple[str, ...], str, float], ...] = (
    ("ltt 0.1, the four original models", ORIGINAL_NAMES, PreviousLtt.LABEL, 1.3),
    ("binomial, calibrated, over-confident and coarse",
     ("calibrated", "over-confident", "coarse (20 values)"), "binomial", 0.8),
    ("MAPIE as shipped (best of Bonferroni-Holm and fixed sequence), the four original models",
     ORIGINAL_NAMES, "shipped", 1.5),
    ("ltt 0.1 on garbage top", ("garbage top",), PreviousLtt.LABEL, 0.85),
)


def summed_coverage(cells: dict[Key, Cell], names: tuple[str, ...], peer: str) -> tuple[float, float] | None:
    """Summed mean coverage of ltt and of the peer over the models' cells, or None when a cell is
    missing (the peer was not run, or the model was left out)."""
    ltt_sum = peer_sum = 0.0
    for name in names:
        for n in SIZES:
            for target in TARGETS:
                for level in LEVELS:
                    key = (name, n, target, level)
                    if key + ("ltt",) not in cells:
                        return None
                    if peer == "shipped":
                        if key + (MAPIE_HOLM,) not in cells:
                            return None
                        peer_coverage = max(cells[key + (m,)].mean_coverage for m in MAPIE_AS_SHIPPED)
                    elif key + (peer,) in cells:
                        peer_coverage = cells[key + (peer,)].mean_coverage
                    else:
                        return None
                    ltt_sum += cells[key + ("ltt",)].mean_coverage
                    peer_sum += peer_coverage
    return ltt_sum, peer_sum


def check(cells: dict[Key, Cell], models: tuple[Model, ...]) -> list[str]:
    """The bars ltt must clear; returns the failures. Every cell within 1 - level plus two
    standard errors; summed coverage against ltt 0.1, binomial and MAPIE as COVERAGE_BARS says."""
    failures: list[str] = []
    within = 0
    for model in models:
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
    cell_count = len(models) * len(SIZES) * len(TARGETS) * len(LEVELS)
    print(f"\nltt above target at most 1 - level + 2 standard errors: {within} of {cell_count} cells.")
    for what, names, peer, bar in COVERAGE_BARS:
        sums = summed_coverage(cells, names, peer)
        if sums is None:
            print(f"Summed coverage against {what}: not run.")
            continue
        ltt_sum, peer_sum = sums
        ratio = ltt_sum / peer_sum if peer_sum > 0.0 else math.inf
        print(f"Summed coverage against {what}: ltt {percent(ltt_sum, 2)}, peer {percent(peer_sum, 2)}, "
              f"ratio {ratio:.2f} (bar: {bar}).")
        if ratio < bar:
            failures.append(f"coverage ratio against {what}: {ratio:.2f} < {bar}")
    return failures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--trials", type=int, default=500, help="calibration sets per cell (500)")
    parser.add_argument("--seed", type=int, default=20240607, help="seed of the random draws")
    parser.add_argument("--models", default=",".join(model.name for model in MODELS),
                        help="comma-separated model names (all seven)")
    parser.add_argument("--no-mapie", action="store_true", help="leave MAPIE out even if installed")
    args = parser.parse_args()
    trials: int = args.trials
    seed: int = args.seed
    if trials < 1:
        parser.error("--trials must be at least 1")
    by_name = {model.name: model for model in MODELS}
    unknown = [name for name in args.models.split(",") if name not in by_name]
    if unknown:
        parser.error(f"unknown model {unknown[0]!r}; known: {', '.join(by_name)}")
    models = tuple(by_name[name] for name in args.models.split(","))

    loaded = Mapie.load() if not args.no_mapie else "left out by --no-mapie"
    mapie = loaded if isinstance(loaded, Mapie) else None
    if mapie is None:
        print(f"MAPIE or NumPy is not available ({loaded}); MAPIE is skipped.")
    loaded_previous = PreviousLtt.load()
    previous = loaded_previous if isinstance(loaded_previous, PreviousLtt) else None
    if previous is None:
        print(f"SciPy is not available ({loaded_previous}); ltt 0.1 is skipped.")
    started = time.perf_counter()
    cells = simulate(trials, seed, models, mapie, previous)
    seconds = time.perf_counter() - started
    print(f"{trials} calibration sets per model and size, seed {seed}, {seconds:.0f} s. "
          "Each entry: how often the true error was above the target / mean coverage.")
    labels = methods_shown(mapie, previous)
    for model in models:
        print(f"\n**{model.name}**\n")
        print(markdown_table(model, cells, labels))
    failures = check(cells, models)
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        sys.exit(1)


if __name__ == "__main__":
    main()
