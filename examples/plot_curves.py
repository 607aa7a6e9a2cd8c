"""Draw the risk-coverage curves of all eight score methods in one figure.

    pip install matplotlib            # or: pip install ".[plot]"
    python examples/plot_curves.py [--table examples/data/calibration.csv] [--out docs/risk_coverage.png]

Each curve is computed by annotrove from the bundled labelled table; the legend gives each method's
AURC (lower is better). A marker shows the point that an empirical calibration at a 5 % target
selects for each method; a method whose curve never comes down to the target gets no marker.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path

import annotrove
from walkthrough import ALL_SCORES

HERE = Path(__file__).resolve().parent
DEFAULT_TABLE = HERE / "data" / "calibration.csv"
DEFAULT_OUTPUT = HERE.parent / "docs" / "risk_coverage.png"
TARGET = 0.05
CALIBRATION_METHOD = "empirical"
# Eight colours that stay apart from each other and from the grey of the target line.
COLOURS: tuple[str, ...] = (
    "#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#17becf",
)
SENTINEL = 1.7976931348623157e308


@dataclass(frozen=True)
class MethodCurve:
    score: str
    coverage: list[float]
    risk: list[float]
    aurc: float
    chosen: tuple[float, float] | None  # (coverage, risk) of the calibrated threshold


def method_curve(table: Path, score: str) -> MethodCurve:
    curve = annotrove.compute_curve(str(table), score)
    policy = annotrove.calibrate(str(table), score, TARGET, CALIBRATION_METHOD)
    coverage = [point["coverage"] for point in curve]
    # Every point of a computed curve accepts at least one query, so its risk is present.
    risk = [point["risk"] if point["risk"] is not None else 0.0 for point in curve]
    chosen: tuple[float, float] | None = None
    if policy["threshold"] != SENTINEL:
        for x, y, point in zip(coverage, risk, curve):
            if point["threshold"] == policy["threshold"]:
                chosen = (x, y)
                break
    return MethodCurve(score, coverage, risk, annotrove.aurc(curve), chosen)


def draw(curves: list[MethodCurve], output: Path, table_name: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit(
            "plot_curves.py needs matplotlib, which annotrove itself does not depend on.\n"
            'Install it with:  pip install matplotlib   (or pip install ".[plot]")'
        )

    figure, axes = plt.subplots(figsize=(8.0, 16.0 / 3.0), dpi=150, layout="constrained")
    for index, item in enumerate(sorted(curves, key=lambda c: c.aurc)):
        colour = COLOURS[index % len(COLOURS)]
        few_points = len(item.coverage) < 20
        axes.plot(
            item.coverage,
            item.risk,
            color=colour,
            linewidth=1.5,
            marker="s" if few_points else "",
            markersize=4,
            label=f"{item.score}  (AURC {item.aurc:.3f})",
        )
        if item.chosen is not None:
            axes.plot(*item.chosen, marker="o", markersize=8, color=colour, markeredgecolor="black",
                      zorder=5)
    axes.axhline(TARGET, color="grey", linestyle="--", linewidth=1.0)
    axes.text(0.995, TARGET, f"target {TARGET:.0%}", ha="right", va="bottom", color="grey", fontsize=9,
              transform=axes.get_yaxis_transform())
    axes.plot([], [], linestyle="none", marker="o", color="white", markeredgecolor="black",
              label=f"threshold from calibrate(..., {TARGET}, \"{CALIBRATION_METHOD}\")")

    axes.set_xlim(0.0, 1.0)
    highest = max((max(c.risk[len(c.risk) // 10 :], default=0.0) for c in curves), default=0.5)
    axes.set_ylim(0.0, min(1.0, highest * 1.15))
    axes.set_xlabel("coverage: share of queries accepted")
    axes.set_ylabel("risk: share of accepted top candidates that are wrong")
    axes.set_title(f"Risk-coverage curves of the eight score methods ({table_name})", fontsize=11)
    axes.grid(True, linewidth=0.4, alpha=0.6)
    axes.legend(loc="upper left", fontsize=8.5, title="score method, best first", title_fontsize=9)
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, pil_kwargs={"optimize": True})
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description="Risk-coverage curves of the eight score methods.")
    parser.add_argument("--table", type=Path, default=DEFAULT_TABLE, help="labelled candidate table (CSV)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUTPUT, help="PNG file to write")
    args = parser.parse_args()
    table: Path = args.table
    output: Path = args.out

    curves = [method_curve(table, score) for score in ALL_SCORES]
    draw(curves, output, table.name)
    for item in sorted(curves, key=lambda c: c.aurc):
        chosen = "none" if item.chosen is None else f"coverage {item.chosen[0]:.3f}, risk {item.chosen[1]:.3f}"
        print(f"{item.score:16} AURC {item.aurc:.4f}   calibrated point: {chosen}")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
