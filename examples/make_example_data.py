"""Write the two small tables bundled with the examples (deterministic; rerun to regenerate).

    python examples/make_example_data.py

examples/data/calibration.csv  labelled queries to calibrate a policy on
examples/data/new_batch.csv    a later batch to apply the policy to; it is labelled too,
                               so the walkthrough can report the error rate it realised
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The benchmark's generator is the one source of realistic tables.
sys.path.insert(0, str(HERE.parent / "bench"))

from generate_table import TableConfig, write_table  # noqa: E402

TABLES = {
    "calibration.csv": TableConfig(
        queries=600, min_candidates=2, max_candidates=5, seed=2024, unlabelled_share=0.0,
        missing_probability_share=0.0, partial_probability_share=0.0, query_prefix="cal-",
    ),
    "new_batch.csv": TableConfig(
        queries=400, min_candidates=2, max_candidates=5, seed=2025, unlabelled_share=0.0,
        missing_probability_share=0.02, partial_probability_share=0.0, query_prefix="new-",
    ),
}


def main() -> int:
    out_dir = HERE / "data"
    for name, config in TABLES.items():
        path = out_dir / name
        rows = write_table(path, config)
        print(f"wrote {path.relative_to(HERE.parent)}: {config.queries} queries, {rows} rows, "
              f"{path.stat().st_size / 1000:.0f} kB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
