"""Tables already in memory or in Parquet files: no CSV needed.

    python examples/dataframes.py

Builds a small polars DataFrame from the example calibration table, computes its curve, and
calibrates a policy from the same rows stored as Parquet (read through pyarrow, when installed).
Needs polars; the Parquet step also needs pyarrow (pip install 'annotrove[parquet]').
"""

from __future__ import annotations

import importlib.util
import tempfile
from pathlib import Path

import polars as pl

import annotrove

HERE = Path(__file__).resolve().parent
CALIBRATION_TABLE = HERE / "data" / "calibration.csv"


def main() -> None:
    frame = pl.read_csv(CALIBRATION_TABLE, schema_overrides={"query_id": pl.String, "candidate_id": pl.String})
    curve = annotrove.compute_curve(frame, "margin")
    print(f"polars frame: {len(frame)} rows, AURC {annotrove.aurc(curve):.4f}")
    if importlib.util.find_spec("pyarrow") is None:
        print("pyarrow is not installed: skipping the Parquet file")
        return
    with tempfile.TemporaryDirectory() as folder:
        parquet = Path(folder) / "calibration.parquet"
        frame.write_parquet(parquet)
        policy = annotrove.calibrate(parquet, "margin", 0.05)
        print(f"Parquet file: threshold {policy['threshold']!r} for target error rate 0.05")


if __name__ == "__main__":
    main()
