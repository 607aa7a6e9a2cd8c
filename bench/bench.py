"""Benchmark annotrove against the code a user would otherwise write.

    PYTHONPATH=build/bench python bench/bench.py [--queries 200000] [--repeats 3]
    PYTHONPATH=build/bench python bench/bench.py --scaling [--scaling-rows 250000]

The default run generates (once, cached under bench/data/) a table of 200,000
queries with 5 to 50 candidates each, about 5.5 million rows, then times in the
same process, best of N repeats: annotrove's compute_curve for several score
methods, calibrate and apply_policy; and the same risk-coverage curves written
with pandas, polars and DuckDB when they are installed (they are optional). Each
reference curve is checked point by point against annotrove's.

--scaling times compute_curve on adversarial tables of n, 2n and 4n rows (and
load_policy on policy files of growing size); a ratio near 2 per doubling means
linear cost. Each case runs in a child process, so a crash is reported, not fatal.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate_table  # noqa: E402

CURVE_METHODS = ("max-prob", "margin", "entropy", "topk-gap")
REFERENCE_METHODS = ("max-prob", "margin")
TOLERANCE = 1e-12

# A curve as (threshold, accepted, total, errors) tuples, the common ground for comparisons.
Curve = list[tuple[float, int, int, int]]


def import_annotrove() -> Any:
    try:
        import annotrove
    except ImportError as error:
        sys.exit(f"annotrove is not importable ({error}); build it and set PYTHONPATH, e.g. "
                 "scripts/dev_build.sh build/bench && PYTHONPATH=build/bench python bench/bench.py")
    return annotrove


def optional_import(name: str) -> Any | None:
    try:
        return __import__(name)
    except ImportError:
        return None


def best_of(repeats: int, call: Callable[[], Any]) -> tuple[float, float, Any]:
    """Best wall time and best process CPU time of `repeats` calls, and the last result.

    CPU time counts every thread of the process, so for a multi-threaded tool it can
    exceed the wall time; on a busy machine it is the steadier of the two.
    """
    best_wall = best_cpu = math.inf
    result: Any = None
    for _ in range(repeats):
        result = None
        gc.collect()
        cpu_started = time.process_time()
        started = time.perf_counter()
        result = call()
        best_wall = min(best_wall, time.perf_counter() - started)
        best_cpu = min(best_cpu, time.process_time() - cpu_started)
    return best_wall, best_cpu, result


def annotrove_points(curve: list[dict[str, Any]]) -> Curve:
    return [(p["threshold"], p["accepted"], p["total"], p["errors"]) for p in curve]


def compare_curves(expected: Curve, actual: Curve) -> str:
    """One line saying whether two curves agree, point by point."""
    if len(expected) != len(actual):
        return f"DIFFERS: {len(actual)} points, annotrove has {len(expected)}"
    worst = 0.0
    for index, (want, got) in enumerate(zip(expected, actual)):
        if want[1:] != got[1:]:
            return f"DIFFERS at point {index}: counts {got[1:]} vs annotrove {want[1:]}"
        t_diff = abs(want[0] - got[0])
        # Coverage and risk follow from the counts; compare them as annotrove derives them.
        if not t_diff <= TOLERANCE:
            return f"DIFFERS at point {index}: threshold {got[0]!r} vs annotrove {want[0]!r}"
        worst = max(worst, t_diff)
    return f"agrees with annotrove on all {len(expected):,} points (max |threshold diff| {worst:.1e})"


# ---------------------------------------------------------------- references
#
# Each reference follows the same rules as annotrove: the top candidate is the
# smallest rank (first row on ties), a query counts only when its top candidate
# carries a label, queries without a confidence count in the total but are never
# accepted, and one curve point is made per distinct confidence, from high to low.


def pandas_curve(pd: Any, path: Path, method: str) -> Curve:
    import numpy as np

    df = pd.read_csv(
        path,
        usecols=["query_id", "rank", "probability", "is_correct"],
        dtype={"query_id": str, "is_correct": str},
    )
    df = df.sort_values(["query_id", "rank"], kind="stable")
    position = df.groupby("query_id", sort=False).cumcount()
    first = df[position == 0].set_index("query_id")
    first = first[first["is_correct"].notna()]
    if method == "max-prob":
        confidence = first["probability"]
    elif method == "margin":
        second = df[position == 1].set_index("query_id")["probability"]
        confidence = first["probability"] - second.reindex(first.index)
    else:
        raise ValueError(method)
    total = len(first)
    frame = pd.DataFrame({"confidence": confidence.to_numpy(), "wrong": (first["is_correct"] != "true").to_numpy()})
    frame = frame[frame["confidence"].notna()].sort_values("confidence", ascending=False, kind="stable")
    values = frame["confidence"].to_numpy()
    accepted = np.arange(1, len(values) + 1)
    errors = np.cumsum(frame["wrong"].to_numpy())
    ends = np.flatnonzero(np.append(values[1:] != values[:-1], True)) if len(values) else np.array([], dtype=int)
    return [(float(values[i]), int(accepted[i]), total, int(errors[i])) for i in ends]


def polars_curve(pl: Any, path: Path, method: str) -> Curve:
    df = pl.read_csv(
        path,
        columns=["query_id", "rank", "probability", "is_correct"],
        schema_overrides={"query_id": pl.Utf8, "probability": pl.Float64, "is_correct": pl.Utf8},
    )
    top = (
        df.sort(["query_id", "rank"], maintain_order=True)
        .group_by("query_id", maintain_order=True)
        .agg(
            pl.col("is_correct").first(),
            pl.col("probability").first().alias("p1"),
            pl.col("probability").slice(1, 1).first().alias("p2"),
        )
        .filter(pl.col("is_correct").is_not_null())
    )
    if method == "max-prob":
        confidence = pl.col("p1")
    elif method == "margin":
        confidence = pl.col("p1") - pl.col("p2")
    else:
        raise ValueError(method)
    total = top.height
    curve = (
        top.select(confidence.alias("confidence"), (pl.col("is_correct") != "true").alias("wrong"))
        .filter(pl.col("confidence").is_not_null())
        .sort("confidence", descending=True, maintain_order=True)
        .with_columns(
            pl.int_range(1, pl.len() + 1).alias("accepted"),
            pl.col("wrong").cast(pl.Int64).cum_sum().alias("errors"),
        )
        .filter((pl.col("confidence") != pl.col("confidence").shift(-1)).fill_null(True))
    )
    return [(t, a, total, e) for t, a, e in curve.select("confidence", "accepted", "errors").iter_rows()]


def duckdb_curve(duckdb: Any, path: Path, method: str) -> Curve:
    confidence = {"max-prob": "p1", "margin": "p1 - p2"}[method]
    query = f"""
        WITH t AS (
            SELECT query_id, rank, probability, is_correct
            FROM read_csv_auto(?, types={{'query_id': 'VARCHAR', 'probability': 'DOUBLE', 'is_correct': 'VARCHAR'}})
        ), ranked AS (
            SELECT *, row_number() OVER (PARTITION BY query_id ORDER BY rank) AS pos FROM t
        ), q AS (
            SELECT max(CASE WHEN pos = 1 THEN is_correct END) AS label,
                   max(CASE WHEN pos = 1 THEN probability END) AS p1,
                   max(CASE WHEN pos = 2 THEN probability END) AS p2
            FROM ranked WHERE pos <= 2 GROUP BY query_id
        ), labelled AS (
            SELECT {confidence} AS confidence, label <> 'true' AS wrong FROM q WHERE label IS NOT NULL
        ), walked AS (
            SELECT confidence,
                   count(*) OVER w AS accepted,
                   sum(wrong::INTEGER) OVER w AS errors
            FROM labelled
            WINDOW w AS (ORDER BY confidence DESC NULLS LAST RANGE BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW)
        )
        SELECT DISTINCT confidence, accepted, errors, (SELECT count(*) FROM labelled) AS total
        FROM walked WHERE confidence IS NOT NULL ORDER BY confidence DESC
    """
    rows = duckdb.connect().execute(query, [str(path)]).fetchall()
    return [(float(t), int(a), int(n), int(e)) for t, a, e, n in rows]


# ---------------------------------------------------------------- main benchmark


@dataclass
class Timing:
    tool: str
    task: str
    seconds: float
    cpu_seconds: float


def cached_table(args: argparse.Namespace) -> tuple[Path, int]:
    config = generate_table.TableConfig(
        queries=args.queries, min_candidates=args.min_candidates, max_candidates=args.max_candidates, seed=args.seed
    )
    name = (f"table-v{generate_table.GENERATOR_VERSION}-q{config.queries}"
            f"-c{config.min_candidates}-{config.max_candidates}-s{config.seed}.csv")
    path = Path(args.data_dir) / name
    if not path.exists() or args.regenerate:
        print(f"generating {path} ...", flush=True)
        partial = path.with_suffix(".partial")
        started = time.perf_counter()
        rows = generate_table.write_table(partial, config)
        partial.replace(path)  # only a complete table is ever reused
        print(f"  {rows:,} rows in {time.perf_counter() - started:.1f} s", flush=True)
    else:
        print(f"reusing {path}", flush=True)
    with open(path, "rb") as handle:
        rows = sum(chunk.count(b"\n") for chunk in iter(lambda: handle.read(1 << 24), b"")) - 1
    return path, rows


def run_main(args: argparse.Namespace) -> None:
    annotrove = import_annotrove()
    path, rows = cached_table(args)
    size_mb = path.stat().st_size / 1e6
    print(f"table: {rows:,} rows, {size_mb:,.0f} MB; best of {args.repeats} repeats; "
          f"{os.cpu_count()} CPUs (polars and DuckDB use several threads, annotrove and pandas one)\n", flush=True)

    timings: list[Timing] = []
    curves: dict[str, Curve] = {}
    checks: list[str] = []

    def record(tool: str, task: str, call: Callable[[], Any]) -> Any:
        try:
            seconds, cpu_seconds, result = best_of(args.repeats, call)
        except Exception as error:  # a failing tool is reported, the run goes on
            print(f"  {tool:9} {task:22} FAILED: {type(error).__name__}: {error}", flush=True)
            return None
        timings.append(Timing(tool, task, seconds, cpu_seconds))
        print(f"  {tool:9} {task:22} {seconds:8.3f} s  (cpu {cpu_seconds:.3f} s)", flush=True)
        return result

    for method in CURVE_METHODS:
        curve = record("annotrove", f"curve {method}", lambda m=method: annotrove.compute_curve(str(path), m))
        if curve is not None:
            curves[method] = annotrove_points(curve)
            area = annotrove.aurc(curve)
            excess = annotrove.eaurc(curve)
            checks.append(f"annotrove curve {method}: {len(curve):,} points, AURC {area:.6f}, E-AURC {excess:.6f}")
    policy = record("annotrove", "calibrate margin", lambda: annotrove.calibrate(str(path), "margin", 0.05))
    if policy is not None:
        decisions = record("annotrove", "apply_policy margin", lambda: annotrove.apply_policy(str(path), policy))
        if decisions is not None:
            accepted = sum(1 for d in decisions if d["accepted"])
            checks.append(f"annotrove calibrate margin @0.05: threshold {policy['threshold']!r}; "
                          f"apply_policy accepted {accepted:,} of {len(decisions):,} queries")

    references: list[tuple[str, str, Callable[[Any, Path, str], Curve]]] = [
        ("pandas", "pandas", pandas_curve),
        ("polars", "polars", polars_curve),
        ("duckdb", "DuckDB", duckdb_curve),
    ]
    for module_name, tool, function in references:
        module = optional_import(module_name)
        if module is None:
            checks.append(f"{tool}: not installed, skipped")
            print(f"  {tool:9} not installed, skipped", flush=True)
            continue
        for method in REFERENCE_METHODS:
            result = record(tool, f"curve {method}", lambda f=function, m=module, me=method: f(m, path, me))
            if result is not None and method in curves:
                checks.append(f"{tool} curve {method}: {compare_curves(curves[method], result)}")

    print()
    baseline = {t.task: t.seconds for t in timings if t.tool == "annotrove"}
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else math.nan
    print(f"load average at the end: {load:.1f} on {os.cpu_count()} CPUs"
          f"{' (busy machine: trust the cpu column more than wall times)' if load > (os.cpu_count() or 1) else ''}")
    header = f"{'tool':10} {'task':22} {'seconds':>9} {'cpu s':>8} {'rows/s':>12} {'vs annotrove':>13}"
    print(header)
    print("-" * len(header))
    for t in timings:
        ratio = f"{t.seconds / baseline[t.task]:.1f}x" if t.task in baseline else "-"
        rate = rows / t.seconds if t.seconds > 0 else math.inf
        print(f"{t.tool:10} {t.task:22} {t.seconds:9.3f} {t.cpu_seconds:8.3f} {rate:12,.0f} {ratio:>13}")
    print()
    for line in checks:
        print(line)


# ---------------------------------------------------------------- scaling


@dataclass
class ScalingCase:
    name: str
    function: str  # "compute_curve" or "load_policy"
    method: str
    sizes: tuple[str, str, str]  # labels of the three sizes
    write: Callable[[Path, int], None]  # writes the input at scale factor 1, 2 or 4


HEADER_FIELDS = ("query_id", "candidate_id", "rank", "score", "probability", "smiles", "is_correct")


def _write_lines(path: Path, lines: Any) -> None:
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(",".join(HEADER_FIELDS) + "\n")
        batch: list[str] = []
        for line in lines:
            batch.append(line)
            if len(batch) >= 65536:
                out.write("".join(batch))
                batch.clear()
        out.write("".join(batch))


def write_one_query(rows: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        n = rows * factor
        rng = random.Random(factor)
        # Ranks run backwards through the file so the rank order needs a real sort.
        share = repr(1.0 / n)
        _write_lines(path, (f"Q,C{i},{n - i},{rng.random() * 100:.6f},{share},CCO,{'true' if i == n - 1 else 'false'}\n"
                            for i in range(n)))
    return write


def write_single_candidates(rows: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        n = rows * factor
        rng = random.Random(factor)
        # Random identifiers, so grouping has to sort them.
        _write_lines(path, (f"{rng.getrandbits(64):016x},C{i},1,{rng.random():.6f},{rng.random()!r},CCO,"
                            f"{'true' if rng.random() < 0.8 else 'false'}\n" for i in range(n)))
    return write


def write_distinct_confidences(rows: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        queries = rows * factor // 2
        rng = random.Random(factor)

        def lines() -> Any:
            for q in range(queries):
                p1 = 0.5 + rng.random() / 2
                label = "true" if rng.random() < p1 else "false"
                yield f"Q{q:09d},A{q},1,2.0,{p1!r},CCO,{label}\n"
                yield f"Q{q:09d},B{q},2,1.0,{1.0 - p1!r},CCO,false\n"
        _write_lines(path, lines())
    return write


def write_huge_field(megabytes: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(",".join(HEADER_FIELDS) + "\n")
            out.write("Q0,C0,1,1.0,0.9,")
            chunk = "C" * (1 << 20)
            for _ in range(megabytes * factor):
                out.write(chunk)
            out.write(",true\n")
            for q in range(1, 10):
                out.write(f"Q{q},C{q},1,1.0,0.{q},CCO,false\n")
    return write


def write_many_columns(columns: int, rows: int = 100) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        extra = columns * factor
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(",".join(HEADER_FIELDS) + "," + ",".join(f"x{i}" for i in range(extra)) + "\n")
            filler = "," + ",".join("1" for _ in range(extra)) + "\n"
            for q in range(rows):
                out.write(f"Q{q},C{q},1,1.0,0.{q % 10}5,CCO,{'true' if q % 3 else 'false'}{filler}")
    return write


def write_repeated_quotes(quote_pairs: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(",".join(HEADER_FIELDS) + "\n")
            # A quoted field made only of doubled quotes: every pair unescapes to one quote.
            out.write('Q0,C0,1,1.0,0.9,"')
            chunk = '""' * (1 << 19)
            for _ in range(quote_pairs * factor >> 19):
                out.write(chunk)
            out.write('",true\n')
            for q in range(1, 10):
                out.write(f"Q{q},C{q},1,1.0,0.{q},CCO,false\n")
    return write


def write_policy(base_bytes: int, deep: bool) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        size = base_bytes * factor
        if deep:
            depth = size // 2
            extra = "[" * depth + "]" * depth
        else:
            # Many small nested arrays side by side: [[0,[1,2]],[3,[4,5]],...]
            item = "[0,[1,2]],"
            extra = "[" + item * (size // len(item)) + "[0]]"
        with open(path, "w", encoding="utf-8") as out:
            out.write('{\n  "version": "0.1.0",\n  "scoring_method": "margin",\n  "threshold": 0.5,\n'
                      '  "target_error_rate": 0.05,\n  "calibration_method": "empirical",\n'
                      '  "confidence_level": null,\n  "created_by": "annotrove",\n  "extra": ')
            out.write(extra)
            out.write("\n}")
    return write


def scaling_cases(rows: int) -> list[ScalingCase]:
    labels = (f"{rows // 1000}k", f"{2 * rows // 1000}k", f"{4 * rows // 1000}k")
    return [
        ScalingCase("one query, many candidates (rows)", "compute_curve", "margin", labels, write_one_query(rows)),
        ScalingCase("many queries, one candidate each (rows)", "compute_curve", "max-prob", labels,
                    write_single_candidates(rows)),
        ScalingCase("many distinct confidences (rows)", "compute_curve", "margin", labels,
                    write_distinct_confidences(rows)),
        ScalingCase("one huge smiles field", "compute_curve", "max-prob", ("25MB", "50MB", "100MB"),
                    write_huge_field(25)),
        ScalingCase("very many columns, 100 rows", "compute_curve", "max-prob", ("25k", "50k", "100k"),
                    write_many_columns(25_000)),
        ScalingCase("deeply repeated quotes in one field", "compute_curve", "max-prob", ("10MB", "20MB", "40MB"),
                    write_repeated_quotes(5 << 20)),
        ScalingCase("policy, unknown key: wide nested arrays", "load_policy", "", ("12.5MB", "25MB", "50MB"),
                    write_policy(12_500_000, deep=False)),
        ScalingCase("policy, unknown key: deeply nested arrays", "load_policy", "", ("12.5MB", "25MB", "50MB"),
                    write_policy(12_500_000, deep=True)),
    ]


def time_in_child(
    function: str, path: Path, method: str, repeats: int, timeout: float
) -> tuple[float | None, float | None, str]:
    """Run one timed call in a child process; returns (best wall s, best CPU s, outcome); None when it failed."""
    import annotrove  # only to find where it lives, so the child imports the same build

    env = dict(os.environ)
    location = str(Path(annotrove.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (location, env.get("PYTHONPATH", "")) if p)
    command = [sys.executable, str(Path(__file__).resolve()), "--time-call", function, str(path), method,
               "--repeats", str(repeats)]
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, None, f"timed out after {timeout:.0f} s"
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or [""])[-1]
        how = f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
        return None, None, f"child crashed ({how}) {tail}".strip()
    report = json.loads(done.stdout.strip().splitlines()[-1])
    return report["seconds"], report["cpu_seconds"], report["outcome"]


def time_call(function: str, path: str, method: str, repeats: int) -> None:
    """Child side of --scaling: time one call and print a JSON line."""
    import annotrove

    def call() -> str:
        if function == "compute_curve":
            return f"{len(annotrove.compute_curve(path, method))} points"
        policy = annotrove.load_policy(path)
        return f"loaded, threshold {policy['threshold']}"

    best = best_cpu = math.inf
    outcome = ""
    for _ in range(repeats):
        cpu_started = time.process_time()
        started = time.perf_counter()
        try:
            outcome = call()
        except Exception as error:  # timed all the same: failing fast is part of the answer
            outcome = f"{type(error).__name__}: {str(error)[:90]}"
        best = min(best, time.perf_counter() - started)
        best_cpu = min(best_cpu, time.process_time() - cpu_started)
    print(json.dumps({"seconds": best, "cpu_seconds": best_cpu, "outcome": outcome}))


def growth_ratios(times: list[float | None]) -> list[str]:
    """time(2x) / time(1x) and time(4x) / time(2x), or "-" where a size has no time."""
    ratios = []
    for small, large in ((0, 1), (1, 2)):
        a, b = times[small], times[large]
        ratios.append(f"{b / a:6.2f}" if a and b else f"{'-':>6}")
    return ratios


def run_scaling(args: argparse.Namespace) -> None:
    import_annotrove()
    base = Path(args.data_dir)
    base.mkdir(parents=True, exist_ok=True)
    print(f"scaling: best of {args.repeats} repeats per size, each size in its own process; "
          "ratios are time(2x) / time(1x) and time(4x) / time(2x), about 2 means linear, 4 quadratic. "
          "Ratios use process CPU time, steadier than wall time on a shared machine.\n", flush=True)
    results: list[tuple[str, list[float | None], list[float | None]]] = []
    for case in scaling_cases(args.scaling_rows):
        if args.only and args.only.lower() not in case.name.lower():
            continue
        print(f"{case.name} ({case.function}{' ' + case.method if case.method else ''})", flush=True)
        walls: list[float | None] = []
        cpus: list[float | None] = []
        workdir = Path(tempfile.mkdtemp(prefix="scaling-", dir=base))
        try:
            for label, factor in zip(case.sizes, (1, 2, 4)):
                suffix = "json" if case.function == "load_policy" else "csv"
                path = workdir / f"input-{factor}.{suffix}"
                wall: float | None = None
                cpu: float | None = None
                try:
                    case.write(path, factor)
                    wall, cpu, outcome = time_in_child(case.function, path, case.method, args.repeats, args.timeout)
                except Exception as error:  # a broken case is reported, the others still run
                    outcome = f"{type(error).__name__}: {error}"
                finally:
                    path.unlink(missing_ok=True)
                walls.append(wall)
                cpus.append(cpu)
                shown = f"{wall:8.3f} s wall {cpu:8.3f} s cpu" if wall is not None and cpu is not None else "-"
                print(f"  {label:>6}: {shown}  {outcome}", flush=True)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        results.append((case.name, walls, cpus))

    print()
    header = f"{'case':44} {'1x cpu s':>9} {'2x cpu s':>9} {'4x cpu s':>9} {'2x/1x':>6} {'4x/2x':>6}"
    print(header)
    print("-" * len(header))
    for name, _, cpus in results:
        cells = [f"{t:9.3f}" if t is not None else f"{'-':>9}" for t in cpus]
        print(f"{name:44} {' '.join(cells)} {' '.join(growth_ratios(cpus))}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=200_000)
    parser.add_argument("--min-candidates", type=int, default=5)
    parser.add_argument("--max-candidates", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3, help="best of this many runs per task")
    parser.add_argument("--data-dir", default=str(HERE / "data"), help="where generated tables are cached")
    parser.add_argument("--regenerate", action="store_true", help="rewrite the cached table")
    parser.add_argument("--scaling", action="store_true", help="time adversarial inputs of growing size")
    parser.add_argument("--scaling-rows", type=int, default=250_000, help="rows of the smallest scaling tables")
    parser.add_argument("--only", help="with --scaling: run only cases whose name contains this text")
    parser.add_argument("--timeout", type=float, default=600.0, help="with --scaling: seconds per child run")
    parser.add_argument("--time-call", nargs=3, metavar=("FUNCTION", "PATH", "METHOD"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.time_call:
        function, path, method = args.time_call
        time_call(function, path, method, args.repeats)
    elif args.scaling:
        run_scaling(args)
    else:
        run_main(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
