"""Benchmark annotrove against the code a user would otherwise write.

One command:

    python bench/bench.py                  # 200,000 queries (about 5.5M rows, 1 GB), 5 rounds
    python bench/bench.py --quick          # smoke run: 20,000 queries, 2 rounds
    python bench/bench.py --queries 50000 --rounds 3
    python bench/bench.py --scaling [--scaling-rows 250000]
    python bench/bench.py --scale          # compute_curve on ~60M rows (11 GB, generated and deleted)
    python bench/bench.py --threads        # two threads on two copies of the default table
    python bench/bench.py --arrow          # tables in memory and Parquet vs polars and DuckDB
    python bench/bench.py --compressed     # the default table as gzip -6 and zstd -3, against polars and DuckDB

annotrove is imported as Python finds it, installed or from a build folder named
by PYTHONPATH (e.g. PYTHONPATH=build/rel python bench/bench.py); the child
processes inherit the environment and import the same build. pandas, polars and
DuckDB are optional: a missing one is reported and skipped.

The main mode generates (once, cached under bench/data/) a table of N queries
with 5 to 50 candidates each, in each of three shapes (--shapes): ids ascending,
each query's rows together but the queries in random id order, and every
query's rows scattered. For each shape:

1. Verification round: every contender computes the max-prob and margin curves
   once, and each curve must equal annotrove's point for point (thresholds
   exactly, counts exactly). Any difference ends the run with exit status 1
   before a single time is printed.
2. Timing rounds (--rounds, default 5). Within each round the contenders
   alternate: annotrove (its default threads: every core the process may run
   on), annotrove on 1 thread, pandas, polars on 1 thread, polars on all
   threads, DuckDB on 1 thread, DuckDB on all threads; annotrove's other curves,
   calibrate and apply_policy are timed in the same rounds.

Every measurement runs in a fresh child process of this interpreter, so thread
settings take effect (polars reads POLARS_MAX_THREADS at import; DuckDB gets
SET threads=1 or keeps its default; annotrove gets threads=1 or its default) and each contender has its own peak memory:
the high-water mark of its resident memory after the work, imports included
(VmHWM on Linux, where getrusage's ru_maxrss would carry the parent's peak
across exec; ru_maxrss elsewhere). Times cover the call only, not interpreter
start or imports. The report gives, per contender and task, the median wall
time, median CPU time, MB/s (file size / median wall), rows/s, how many times
faster annotrove is (contender / annotrove), peak memory and its ratio to the
file size, and the load average (a busy machine skews times).

--scale generates a table of about 60 million rows (about 11 GB) in the
system's temporary folder (--scale-dir), times compute_curve on it in a child
process (--rounds times) with its peak memory, and deletes it.

--threads copies the default ascending table once, then in one child process
times two compute_curve calls one after the other and the same two calls on two
Python threads at once (--rounds times), and reports the ratio.

--compressed writes the default ascending table compressed with gzip -6 and zstd -3 beside
it (kept for the next run), checks that every contender's curve on them equals annotrove's on the
plain table, then times compute_curve margin on the plain table and on both copies, with polars and
DuckDB (all threads) reading the same copies; it reports MB/s of uncompressed text, peak memory
against the text's size, and decompression's share of annotrove's CPU time.

--scaling times compute_curve on adversarial tables of n, 2n and 4n rows (and
load_policy on policy files of growing size); a ratio near 2 per doubling means
linear cost. Each case runs in a child process, so a crash is reported, not fatal.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import math
import os
import pickle
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

try:
    import resource
except ImportError:  # Windows: no getrusage, so no peak memory figure
    resource = None  # type: ignore[assignment]

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate_table  # noqa: E402

REFERENCE_METHODS = ("max-prob", "margin")
# Tasks only annotrove runs, timed in the same rounds.
ANNOTROVE_ONLY_TASKS = ("curve entropy", "curve topk-gap", "calibrate margin", "apply_policy margin",
                        "compare_scores all")
TARGET_ERROR_RATE = 0.05
# Above this load average per CPU, other work competes with the measurements.
BUSY_LOAD_PER_CPU = 0.6
# Average CPUs used by other processes during the run above which the times are suspect.
OTHER_WORK_CPUS = 0.2

# A curve as (threshold, accepted, total, errors) tuples, the common ground for comparisons.
Curve = list[tuple[float, int, int, int]]


def import_annotrove() -> Any:
    try:
        import annotrove
    except ImportError as error:
        sys.exit(f"annotrove is not importable ({error}); install it, or build it and set PYTHONPATH, e.g. "
                 "scripts/dev_build.sh build/rel -DCMAKE_BUILD_TYPE=Release && "
                 "PYTHONPATH=build/rel python bench/bench.py")
    return annotrove


def annotrove_location(annotrove: Any) -> Path:
    """The folder to put on sys.path so that `import annotrove` finds this same build."""
    origin = Path(annotrove.__file__).resolve()
    return origin.parent.parent if origin.stem.startswith("__init__") else origin.parent


def child_environment(annotrove: Any) -> dict[str, str]:
    """This process's environment with annotrove's folder first on PYTHONPATH."""
    env = dict(os.environ)
    location = str(annotrove_location(annotrove))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (location, env.get("PYTHONPATH", "")) if p)
    return env


def annotrove_points(curve: list[dict[str, Any]]) -> Curve:
    return [(p["threshold"], p["accepted"], p["total"], p["errors"]) for p in curve]


def same_float(a: float, b: float) -> bool:
    """Bit-for-bit equality as far as Python can tell: -0.0 differs from 0.0, NaN equals NaN."""
    return repr(float(a)) == repr(float(b))


def curve_difference(expected: Curve, actual: Curve) -> str | None:
    """None when the curves are identical (thresholds and counts exactly), else what differs first."""
    if len(expected) != len(actual):
        first = next((i for i, (w, g) in enumerate(zip(expected, actual))
                      if not same_float(w[0], g[0]) or tuple(w[1:]) != tuple(g[1:])), min(len(expected), len(actual)))
        return (f"{len(actual):,} points where annotrove has {len(expected):,}; first difference at point {first:,}"
                f" ({actual[first] if first < len(actual) else 'none'} vs annotrove "
                f"{expected[first] if first < len(expected) else 'none'})")
    wrong = [i for i, (w, g) in enumerate(zip(expected, actual))
             if not same_float(w[0], g[0]) or tuple(w[1:]) != tuple(g[1:])]
    if not wrong:
        return None
    i = wrong[0]
    return (f"{len(wrong):,} of {len(expected):,} points differ; first at point {i:,}: "
            f"(threshold, accepted, total, errors) = {actual[i]!r} vs annotrove {expected[i]!r}")


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
    return polars_frame_curve(pl, df, method)


def polars_frame_curve(pl: Any, df: Any, method: str) -> Curve:
    """The curve of a frame with query_id, rank, probability and is_correct (text or boolean)."""
    if df.schema["is_correct"] == pl.Boolean:
        df = df.with_columns(pl.col("is_correct").cast(pl.Utf8).str.to_lowercase())
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


DUCKDB_CSV = "read_csv_auto(?, types={'query_id': 'VARCHAR', 'probability': 'DOUBLE', 'is_correct': 'VARCHAR'})"


def duckdb_curve(duckdb: Any, path: Path | None, method: str, connection: Any = None,
                 source: str = DUCKDB_CSV) -> Curve:
    """The curve in SQL; `connection` carries settings such as the thread count (a fresh one when None).
    `source` is the table expression (a CSV reader of `path` by default; read_parquet(?), or the name
    of an Arrow table registered on the connection, with `path` None)."""
    confidence = {"max-prob": "p1", "margin": "p1 - p2"}[method]
    query = f"""
        WITH t AS (
            SELECT query_id, rank, probability, is_correct::VARCHAR AS is_correct
            FROM {source}
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
    parameters = [str(path)] if path is not None else []
    rows = (connection or duckdb.connect()).execute(query, parameters).fetchall()
    return [(float(t), int(a), int(n), int(e)) for t, a, e, n in rows]


# ---------------------------------------------------------------- main benchmark


@dataclass(frozen=True)
class Contender:
    label: str
    tool: str  # module to import: annotrove, pandas, polars, duckdb
    threads: int  # 1, or 0 for the tool's default (all CPUs)


CONTENDERS = (
    Contender("annotrove", "annotrove", 0),
    Contender("annotrove 1 thread", "annotrove", 1),
    Contender("pandas", "pandas", 0),
    Contender("polars 1 thread", "polars", 1),
    Contender("polars all threads", "polars", 0),
    Contender("DuckDB 1 thread", "duckdb", 1),
    Contender("DuckDB all threads", "duckdb", 0),
)


@dataclass
class Measurements:
    seconds: list[float] = field(default_factory=list)
    cpu_seconds: list[float] = field(default_factory=list)
    peak_bytes: list[int] = field(default_factory=list)
    import_bytes: list[int] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)


# The three layouts of a table: ids ascending, each query's rows together but the queries in
# random id order (as tools write them), and every query's rows scattered.
SHAPES = ("ascending", "random-order", "scattered")
# Peak memory allowed per shape, as a share of the file.
PEAK_BOUND = {"ascending": 0.35, "random-order": 0.35, "scattered": 0.5}


def cached_table(args: argparse.Namespace, shape: str = "ascending") -> tuple[Path, int]:
    config = generate_table.TableConfig(
        queries=args.queries, min_candidates=args.min_candidates, max_candidates=args.max_candidates, seed=args.seed,
        shuffle=shape == "scattered", random_order=shape == "random-order",
    )
    suffix = "" if shape == "ascending" else f"-{shape}"
    name = (f"table-v{generate_table.GENERATOR_VERSION}-q{config.queries}"
            f"-c{config.min_candidates}-{config.max_candidates}-s{config.seed}{suffix}.csv")
    path = Path(args.data_dir) / name
    if not path.exists() or args.regenerate:
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"generating {path} ...", flush=True)
        partial = path.with_suffix(".partial")
        started = time.perf_counter()
        rows = generate_table.write_table(partial, config)
        partial.replace(path)  # only a complete table is ever reused
        print(f"  {rows:,} rows in {time.perf_counter() - started:.1f} s", flush=True)
    else:
        print(f"reusing {path}", flush=True)
    # Counting lines also pulls the file into the page cache before anything is timed.
    with open(path, "rb") as handle:
        rows = sum(chunk.count(b"\n") for chunk in iter(lambda: handle.read(1 << 24), b"")) - 1
    return path, rows


def peak_rss_bytes() -> int | None:
    """This process's peak resident memory so far, in bytes; None where it cannot be read.

    On Linux getrusage's ru_maxrss survives exec: a child started by subprocess begins
    with its parent's peak, so a small child of a large parent would report the parent's
    figure. VmHWM in /proc/self/status belongs to the current process image alone, so it
    is read first; ru_maxrss is the fallback elsewhere.
    """
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024  # reported in kB
    except (OSError, ValueError, IndexError):
        pass
    if resource is None:
        return None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024  # macOS reports bytes, Linux KiB


def child_main(tool: str, task: str, path: str, threads: int, result_path: str | None, policy_path: str | None) -> None:
    """Child side of the main mode: one call of one contender, a JSON report on the last stdout line.

    With result_path (the verification round) the result is also pickled there, after the
    timing, so timing rounds never pay for it.
    """
    kind, method = task.split(" ", 1)
    thread_count: str = "-"
    if tool == "annotrove":
        import annotrove

        # 0: the module's default, every core the process may run on.
        chosen = threads or None
        cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        thread_count = str(threads or cores)
        if kind == "curve":
            def call() -> Any:
                return annotrove.compute_curve(path, method, threads=chosen)
        elif kind == "calibrate":
            def call() -> Any:
                return annotrove.calibrate(path, method, TARGET_ERROR_RATE, threads=chosen)
        elif kind == "compare_scores":
            # Every method, one read, the default 2000 paired resamples.
            def call() -> Any:
                return annotrove.compare_scores(path)
        elif kind == "apply_policy":
            if policy_path is None:
                raise SystemExit("apply_policy needs --child-policy")
            policy = annotrove.load_policy(policy_path)

            def call() -> Any:
                return annotrove.apply_policy(path, policy, threads=chosen)
        else:
            raise SystemExit(f"unknown task {task!r}")
    elif tool == "pandas":
        import pandas

        def call() -> Any:
            return pandas_curve(pandas, Path(path), method)
    elif tool == "polars":
        import polars  # reads POLARS_MAX_THREADS, set by the parent

        size = getattr(polars, "thread_pool_size", None) or getattr(polars, "threadpool_size", None)
        thread_count = str(size()) if size else "?"

        def call() -> Any:
            return polars_curve(polars, Path(path), method)
    elif tool == "duckdb":
        import duckdb

        connection = duckdb.connect()
        if threads:
            connection.execute(f"SET threads={int(threads)}")
        setting = connection.execute("SELECT current_setting('threads')").fetchone()
        thread_count = str(setting[0]) if setting else "?"

        def call() -> Any:
            return duckdb_curve(duckdb, Path(path), method, connection)
    else:
        raise SystemExit(f"unknown tool {tool!r}")

    gc.collect()
    before = peak_rss_bytes()
    cpu_started = time.process_time()
    started = time.perf_counter()
    value = call()
    seconds = time.perf_counter() - started
    cpu_seconds = time.process_time() - cpu_started
    peak = peak_rss_bytes()

    summary = ""
    if result_path is not None:
        payload: Any = value
        if tool == "annotrove":
            if kind == "curve":
                payload = annotrove_points(value)
                summary = (f"{len(value):,} points, AURC {annotrove.aurc(value):.6f}, "
                           f"E-AURC {annotrove.eaurc(value):.6f}")
            elif kind == "calibrate":
                if policy_path is not None:
                    annotrove.save_policy(policy_path, value)
                summary = f"threshold {value['threshold']!r} at target error rate {TARGET_ERROR_RATE}"
            elif kind == "compare_scores":
                best = value[0]
                payload = [(row["score"], row["aurc"]) for row in value]
                summary = (f"best {best['score']}, AURC {best['aurc']:.6f} "
                           f"[{best['aurc_low']:.6f}, {best['aurc_high']:.6f}]")
            else:
                accepted = sum(1 for d in value if d["accepted"])
                payload = (accepted, len(value))
                summary = f"accepted {accepted:,} of {len(value):,} queries"
        with open(result_path, "wb") as out:
            pickle.dump(payload, out)
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu_seconds, "import_bytes": before, "peak_bytes": peak,
                      "threads": thread_count, "summary": summary}))


def run_child(env: dict[str, str], contender: Contender, task: str, path: Path, timeout: float,
              result_path: Path | None = None, policy_path: Path | None = None) -> dict[str, Any] | str:
    """One measurement in a fresh child process: its JSON report, or a string saying why it failed."""
    command = [sys.executable, str(Path(__file__).resolve()), "--child", contender.tool, task, str(path),
               "--child-threads", str(contender.threads)]
    if result_path is not None:
        command += ["--child-result", str(result_path)]
    if policy_path is not None:
        command += ["--child-policy", str(policy_path)]
    child_env = dict(env)
    if contender.tool == "polars":
        if contender.threads:
            child_env["POLARS_MAX_THREADS"] = str(contender.threads)
        else:
            child_env.pop("POLARS_MAX_THREADS", None)  # polars' default: every CPU
    try:
        done = subprocess.run(command, env=child_env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout:.0f} s"
    if done.returncode != 0:
        tail = " | ".join(done.stderr.strip().splitlines()[-3:])
        how = f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
        return f"child failed ({how}): {tail}".strip()
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        return f"child printed no report: {done.stdout[-200:]!r}"


def installed(module: str) -> bool:
    """Whether `module` can be found, without importing it in this process."""
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


def machine_busy_seconds() -> float | None:
    """CPU seconds every process on the machine has used since boot (Linux /proc/stat); None elsewhere."""
    try:
        with open("/proc/stat", encoding="ascii") as stat:
            fields = stat.readline().split()
        # user nice system idle iowait irq softirq steal ...: all but idle and iowait are busy time.
        ticks = [int(x) for x in fields[1:9]]
        return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, AttributeError):
        return None


def own_cpu_seconds() -> float:
    """CPU seconds of this process and of the children it has waited for."""
    if resource is None:
        return time.process_time()
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def load_average() -> float:
    return os.getloadavg()[0] if hasattr(os, "getloadavg") else math.nan


def cell(value: float | None, number_format: str, width: int) -> str:
    return f"{value:{width}{number_format}}" if value is not None and math.isfinite(value) else f"{'-':>{width}}"


def run_main(args: argparse.Namespace) -> None:
    for shape in args.shapes.split(","):
        if shape not in SHAPES:
            sys.exit(f"unknown shape {shape!r}; choose from {', '.join(SHAPES)}")
    for shape in args.shapes.split(","):
        print(f"==== table shape: {shape}", flush=True)
        run_shape(args, shape)
        print(flush=True)


def run_shape(args: argparse.Namespace, shape: str) -> None:
    annotrove = import_annotrove()
    env = child_environment(annotrove)
    cpus = os.cpu_count() or 1
    busy = BUSY_LOAD_PER_CPU * cpus
    loads = [load_average()]
    print(f"annotrove from {annotrove.__file__}")
    print(f"python {sys.version.split()[0]} at {sys.executable}; {cpus} CPUs; "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg()) if hasattr(os, 'getloadavg') else 'n/a'}",
          flush=True)
    if loads[0] > busy:
        print(f"WARNING: load average {loads[0]:.2f} > {busy:.1f} on {cpus} CPUs: other work will skew the times",
              flush=True)

    path, rows = cached_table(args, shape)
    file_bytes = path.stat().st_size
    size_mb = file_bytes / 1e6

    contenders = []
    missing: set[str] = set()
    for contender in CONTENDERS:
        if contender.tool != "annotrove" and not installed(contender.tool):
            if contender.tool not in missing:
                missing.add(contender.tool)
                print(f"{contender.tool} is not installed: its contenders are skipped", flush=True)
            continue
        contenders.append(contender)
    tasks: list[tuple[str, list[Contender]]] = [(f"curve {m}", list(contenders)) for m in REFERENCE_METHODS]
    tasks += [(task, [CONTENDERS[0]]) for task in ANNOTROVE_ONLY_TASKS]
    print(f"table: {rows:,} rows, {size_mb:,.1f} MB; one verification round, then {args.rounds} timing "
          f"round{'s' if args.rounds != 1 else ''}; contenders in turn: {', '.join(c.label for c in contenders)}\n",
          flush=True)

    workdir = Path(tempfile.mkdtemp(prefix="bench-"))
    policy_path = workdir / "policy.json"
    # The load average counts this benchmark's own children too (one to every CPU busy), so
    # work by other processes during the run is measured as machine CPU time minus ours.
    started = time.perf_counter()
    machine_before, own_before = machine_busy_seconds(), own_cpu_seconds()
    try:
        # ---- verification round: results compared before any time is shown
        print("verification round", flush=True)
        thread_counts: dict[str, str] = {}
        mismatches: list[str] = []
        for task, runners in tasks:
            expected: Curve | None = None
            for contender in list(runners):
                result_path = workdir / "result.pickle"
                result_path.unlink(missing_ok=True)
                report = run_child(env, contender, task, path, args.timeout, result_path,
                                   policy_path if task.split()[0] in ("calibrate", "apply_policy") else None)
                if isinstance(report, str):
                    if contender.tool == "annotrove":
                        sys.exit(f"annotrove {task} failed, nothing to compare against: {report}")
                    print(f"  {contender.label:18} {task:20} FAILED, left out of the timing: {report}", flush=True)
                    runners.remove(contender)  # the loop runs over a copy
                    continue
                with open(result_path, "rb") as handle:
                    value = pickle.load(handle)
                thread_counts[contender.label] = report["threads"]
                if contender is CONTENDERS[0]:
                    expected = value if task.startswith("curve") else None
                    verdict = report["summary"]
                else:
                    assert expected is not None
                    difference = curve_difference(expected, value)
                    if difference is None:
                        verdict = f"same {len(value):,} points as annotrove"
                    else:
                        verdict = f"DIFFERS: {difference}"
                        mismatches.append(f"{contender.label} {task}: {difference}")
                print(f"  {contender.label:18} {task:20} {verdict}", flush=True)
        if mismatches:
            print("\nCURVES DIFFER, no times reported:", file=sys.stderr)
            for line in mismatches:
                print(f"  {line}", file=sys.stderr)
            sys.exit(1)
        loads.append(load_average())

        # ---- timing rounds: the contenders alternate within every round
        measured: dict[tuple[str, str], Measurements] = {}
        for round_number in range(1, args.rounds + 1):
            for task, runners in tasks:
                shown = []
                for contender in runners:
                    report = run_child(env, contender, task, path, args.timeout, None,
                                       policy_path if task.startswith("apply_policy") else None)
                    m = measured.setdefault((contender.label, task), Measurements())
                    if isinstance(report, str):
                        m.failures.append(report)
                        shown.append(f"{contender.label} FAILED")
                        print(f"    {contender.label} {task} failed: {report}", flush=True)
                        continue
                    m.seconds.append(report["seconds"])
                    m.cpu_seconds.append(report["cpu_seconds"])
                    if report["peak_bytes"] is not None:
                        m.peak_bytes.append(report["peak_bytes"])
                        m.import_bytes.append(report["import_bytes"])
                    shown.append(f"{contender.label} {report['seconds']:.2f}")
                print(f"round {round_number}/{args.rounds} {task:20} " + ", ".join(shown), flush=True)
            loads.append(load_average())
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    machine_after, own_after = machine_busy_seconds(), own_cpu_seconds()
    elapsed = time.perf_counter() - started
    other_cpus = (None if machine_before is None or machine_after is None or elapsed <= 0 else
                  max(0.0, (machine_after - machine_before) - (own_after - own_before)) / elapsed)

    # ---- report
    print()
    print(f"{shape} table: {rows:,} rows, {size_mb:,.1f} MB; median of {args.rounds} round{'s' if args.rounds != 1 else ''}; "
          "wall and CPU seconds of the call alone.")
    print("'x annotrove' = contender time / annotrove time, how many times faster annotrove is. 'peak MB' is the")
    print("child's peak resident memory, interpreter and imports included ('imports' = before the call); "
          "'/file' = peak / file size.")
    reported_threads = [f"{label} {count}" for label, count in thread_counts.items() if count != "-"]
    if reported_threads:
        print("threads as the tools report them: " + ", ".join(reported_threads))
    header = (f"{'contender':18} {'task':20} {'median s':>9} {'min-max s':>13} {'cpu s':>8} {'MB/s':>8} "
              f"{'rows/s':>12} {'x annotrove':>11} {'peak MB':>8} {'/file':>6} {'imports':>8}")
    print(header)
    print("-" * len(header))
    medians: dict[tuple[str, str], float] = {}
    peaks: dict[tuple[str, str], float] = {}
    for task, runners in tasks:
        for contender in runners:
            got = measured.get((contender.label, task))
            if got is None or not got.seconds:
                print(f"{contender.label:18} {task:20} no successful run ({'; '.join(got.failures) if got else ''})")
                continue
            median = statistics.median(got.seconds)
            medians[(contender.label, task)] = median
            base = medians.get(("annotrove", task))
            ratio = median / base if base else None
            peak = max(got.peak_bytes) if got.peak_bytes else None
            if peak is not None:
                peaks[(contender.label, task)] = peak
            spread = f"{min(got.seconds):.2f}-{max(got.seconds):.2f}"
            failed = f"  ({len(got.failures)} failed)" if got.failures else ""
            cpu = statistics.median(got.cpu_seconds)
            print(f"{contender.label:18} {task:20} {median:9.3f} {spread:>13} {cpu:8.3f} "
                  f"{cell(size_mb / median if median else None, ',.0f', 8)} "
                  f"{cell(rows / median if median else None, ',.0f', 12)} "
                  f"{(f'{ratio:.2f}x' if ratio is not None and contender is not CONTENDERS[0] else '-'):>11} "
                  f"{cell(peak / 1e6 if peak else None, ',.0f', 8)} "
                  f"{cell(peak / file_bytes if peak else None, '.2f', 6)} "
                  f"{cell(max(got.import_bytes) / 1e6 if got.import_bytes else None, ',.0f', 8)}{failed}")

    print()
    print(f"targets for max-prob and margin on the {shape} table:")
    bound = PEAK_BOUND[shape]
    for task in (f"curve {m}" for m in REFERENCE_METHODS):
        base = medians.get(("annotrove", task))
        if base is None:
            continue

        def versus(label: str, need: float) -> str:
            other = medians.get((label, task))
            if other is None:
                return f"{label}: not measured"
            ratio = other / base
            return f"{ratio:.2f}x vs {label} (need >= {need}x): {'met' if ratio >= need else 'NOT met'}"

        own_peak = peaks.get(("annotrove", task))
        memory = (f"peak {own_peak / file_bytes:.2f}x file (need <= {bound}x): "
                  f"{'met' if own_peak <= bound * file_bytes else 'NOT met'}" if own_peak else "peak memory not measured")
        one = medians.get(("annotrove 1 thread", task))

        def versus_one(label: str, need: float) -> str:
            other = medians.get((label, task))
            if other is None or one is None:
                return f"1 thread vs {label}: not measured"
            ratio = other / one
            return f"1 thread {ratio:.2f}x vs {label} (need >= {need}x): {'met' if ratio >= need else 'NOT met'}"

        print(f"  {task}: {versus('polars all threads', 1.5)}; {versus('DuckDB all threads', 1.5)}; {memory}")
        print(f"  {task}: {versus_one('polars 1 thread', 1.5)}; {versus_one('DuckDB 1 thread', 1.5)}")
        if one is not None:
            need = 0.65 if shape == "scattered" else 0.55
            print(f"  {task}, threads: default {base / one:.2f}x the 1-thread time (on 2 cores need <= {need}x: "
                  f"{'met' if base <= need * one else 'NOT met'}); 1 thread {size_mb / one:,.0f} MB/s "
                  "(direction 2,000)")
    curve = medians.get(("annotrove", "curve margin"))
    for task in ("calibrate margin", "apply_policy margin"):
        other = medians.get(("annotrove", task))
        if curve and other:
            ratio = other / curve
            print(f"  {task}: {ratio:.2f}x the time of curve margin (need <= 1.15x): "
                  f"{'met' if ratio <= 1.15 else 'NOT met'}")
    compared = medians.get(("annotrove", "compare_scores all"))
    if curve and compared:
        ratio = compared / curve
        print(f"  compare_scores all (8 methods, 2000 resamples): {ratio:.2f}x the time of curve margin"
              f" (need <= 3x): {'met' if ratio <= 3.0 else 'NOT met'}")

    print(f"\nload average (1 min) at the start {loads[0]:.2f}, then after each round "
          f"{' '.join(f'{x:.2f}' for x in loads[1:])} on {cpus} CPUs (these include this benchmark's own work)")
    if other_cpus is not None:
        print(f"other processes kept {other_cpus:.2f} CPUs busy on average during the {elapsed:.0f} s run")
    if loads[0] > busy:
        print(f"WARNING: the load average was {loads[0]:.2f} (> {busy:.1f} on {cpus} CPUs) when the run began: "
              "other work competed for the CPUs, so the times above are unreliable; rerun on a quiet machine")
    if other_cpus is not None and other_cpus > OTHER_WORK_CPUS:
        print(f"WARNING: other processes used {other_cpus:.2f} CPUs during the run (> {OTHER_WORK_CPUS}): "
              "the times above are unreliable; rerun on a quiet machine")


# ---------------------------------------------------------------- compressed tables

# (label, suffix, command line that compresses standard input to standard output)
COMPRESSIONS = (("gzip -6", ".gz", ["gzip", "-6", "-c"]), ("zstd -3", ".zst", ["zstd", "-3", "-q", "-c"]))


def compressed_copy(path: Path, suffix: str, command: list[str]) -> Path:
    """The table compressed beside itself (kept, like the table, for the next run)."""
    target = path.with_name(path.name + suffix)
    if target.exists() and target.stat().st_mtime >= path.stat().st_mtime:
        print(f"reusing {target}", flush=True)
        return target
    partial = target.with_name(target.name + ".partial")
    print(f"writing {target} ({' '.join(command)}) ...", flush=True)
    with open(path, "rb") as source, open(partial, "wb") as sink:
        if shutil.which(command[0]):
            subprocess.run(command, stdin=source, stdout=sink, check=True)
        elif suffix == ".gz":
            import gzip
            with gzip.GzipFile(fileobj=sink, mode="wb", compresslevel=6, mtime=0) as packed:
                shutil.copyfileobj(source, packed, 1 << 22)
        else:
            import zstandard  # type: ignore[import-not-found]
            zstandard.ZstdCompressor(level=3, write_checksum=True).copy_stream(source, sink)
    partial.replace(target)
    return target


def run_compressed(args: argparse.Namespace) -> None:
    """compute_curve margin on the ascending table as it is, and compressed with gzip -6 and zstd -3,
    against polars and DuckDB (all threads) reading the same compressed files."""
    annotrove = import_annotrove()
    env = child_environment(annotrove)
    path, rows = cached_table(args, "ascending")
    text_bytes = path.stat().st_size
    text_mb = text_bytes / 1e6
    copies = {label: compressed_copy(path, suffix, command) for label, suffix, command in COMPRESSIONS}
    others = [c for c in CONTENDERS if c.label in ("polars all threads", "DuckDB all threads") and installed(c.tool)]
    runs: list[tuple[str, Path, Contender]] = [("plain", path, CONTENDERS[0])]
    for label, copy in copies.items():
        runs += [(label, copy, contender) for contender in [CONTENDERS[0], *others]]
    task = "curve margin"
    print(f"table: {rows:,} rows, {text_mb:,.1f} MB of text; "
          + "; ".join(f"{label}: {copy.stat().st_size / 1e6:,.1f} MB" for label, copy in copies.items()), flush=True)
    print(f"load average {load_average():.2f} on {os.cpu_count()} CPUs (a busy machine skews every figure)", flush=True)

    workdir = Path(tempfile.mkdtemp(prefix="bench-compressed-"))
    measured: dict[tuple[str, str], Measurements] = {}
    try:
        expected: Curve | None = None
        for label, file, contender in list(runs):
            result_path = workdir / "result.pickle"
            result_path.unlink(missing_ok=True)
            report = run_child(env, contender, task, file, args.timeout, result_path)
            if isinstance(report, str):
                print(f"  {contender.label:18} {label:8} FAILED, left out: {report}", flush=True)
                runs.remove((label, file, contender))
                continue
            with open(result_path, "rb") as handle:
                value = pickle.load(handle)
            if expected is None:
                expected = value
            difference = curve_difference(expected, value)
            if difference is not None:
                sys.exit(f"{contender.label} on {label}: curve differs from annotrove on the plain table: {difference}")
            print(f"  {contender.label:18} {label:8} same {len(value):,} points as annotrove on the plain table",
                  flush=True)
        for round_number in range(1, args.rounds + 1):
            shown = []
            for label, file, contender in runs:
                report = run_child(env, contender, task, file, args.timeout)
                m = measured.setdefault((label, contender.label), Measurements())
                if isinstance(report, str):
                    m.failures.append(report)
                    continue
                m.seconds.append(report["seconds"])
                m.cpu_seconds.append(report["cpu_seconds"])
                if report["peak_bytes"] is not None:
                    m.peak_bytes.append(report["peak_bytes"])
                shown.append(f"{contender.label} {label} {report['seconds']:.2f}")
            print(f"round {round_number}/{args.rounds}: " + ", ".join(shown), flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print(f"\n{task}, median of {args.rounds} rounds; MB/s counts the uncompressed text; '/text' = peak memory "
          "/ uncompressed size")
    header = f"{'input':8} {'contender':18} {'median s':>9} {'cpu s':>7} {'MB/s':>7} {'peak MB':>8} {'/text':>6}"
    print(header)
    print("-" * len(header))
    median: dict[tuple[str, str], float] = {}
    cpu: dict[tuple[str, str], float] = {}
    peak: dict[tuple[str, str], float] = {}
    for label, _, contender in runs:
        got = measured.get((label, contender.label))
        if got is None or not got.seconds:
            print(f"{label:8} {contender.label:18} no successful run")
            continue
        key = (label, contender.label)
        median[key] = statistics.median(got.seconds)
        cpu[key] = statistics.median(got.cpu_seconds)
        peak[key] = max(got.peak_bytes) if got.peak_bytes else math.nan
        print(f"{label:8} {contender.label:18} {median[key]:9.3f} {cpu[key]:7.2f} {text_mb / median[key]:7,.0f} "
              f"{peak[key] / 1e6:8,.0f} {peak[key] / text_bytes:6.2f}")

    print("\ntargets:")
    plain = median.get(("plain", "annotrove"))
    for label in copies:
        own = median.get((label, "annotrove"))
        if own is None:
            continue
        share = max(0.0, cpu[(label, "annotrove")] - cpu[("plain", "annotrove")]) / cpu[(label, "annotrove")]
        lines = [f"decompression ~{share:.0%} of annotrove's CPU time (its CPU time over the plain table's)"]
        if label.startswith("gzip"):
            for other, need in (("DuckDB all threads", 1.5), ("polars all threads", 1.0)):
                if (label, other) in median:
                    ratio = median[(label, other)] / own
                    lines.append(f"{ratio:.2f}x faster than {other} (need {'>=' if need > 1 else '>'} {need}x): "
                                 f"{'met' if ratio >= need and (need > 1 or ratio > 1) else 'NOT met'}")
        elif plain:
            ratio = own / plain
            lines.append(f"{ratio:.2f}x the plain table's time (need <= 1.3x): {'met' if ratio <= 1.3 else 'NOT met'}")
        bound = PEAK_BOUND["ascending"]
        lines.append(f"peak {peak[(label, 'annotrove')] / text_bytes:.2f}x the text (need <= {bound}x): "
                     f"{'met' if peak[(label, 'annotrove')] <= bound * text_bytes else 'NOT met'}")
        print(f"  {label}: " + "; ".join(lines))


# ---------------------------------------------------------------- scale

def run_scale(args: argparse.Namespace) -> None:
    """compute_curve on a table of about 60 million rows, generated outside the repository and deleted after."""
    annotrove = import_annotrove()
    env = child_environment(annotrove)
    base = Path(args.scale_dir) if args.scale_dir else None
    workdir = Path(tempfile.mkdtemp(prefix="scale-", dir=base))
    path = workdir / "scale.csv"
    print(f"annotrove from {annotrove.__file__}; load average {load_average():.2f}", flush=True)
    try:
        config = generate_table.TableConfig(queries=args.scale_queries, min_candidates=args.min_candidates,
                                            max_candidates=args.max_candidates, seed=args.seed)
        print(f"generating {path} ({config.queries:,} queries) ...", flush=True)
        started = time.perf_counter()
        rows = generate_table.write_table(path, config)
        file_bytes = path.stat().st_size
        print(f"  {rows:,} rows, {file_bytes / 1e9:.2f} GB in {time.perf_counter() - started:.0f} s", flush=True)
        for round_number in range(1, args.rounds + 1):
            report = run_child(env, CONTENDERS[0], "curve max-prob", path, args.timeout)
            if isinstance(report, str):
                sys.exit(f"compute_curve failed: {report}")
            peak = report["peak_bytes"]
            print(f"round {round_number}: compute_curve max-prob {report['seconds']:.2f} s wall, "
                  f"{report['cpu_seconds']:.2f} s CPU, {file_bytes / 1e6 / report['seconds']:,.0f} MB/s, "
                  + (f"peak {peak / 1e6:,.0f} MB ({peak / file_bytes:.3f}x file; need <= 3,000 MB: "
                     f"{'met' if peak <= 3e9 else 'NOT met'})" if peak else "peak not measured")
                  + f"; load average {load_average():.2f}", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
        print(f"deleted {workdir}", flush=True)


# ---------------------------------------------------------------- threads

def threads_child(first: str, second: str, rounds: int) -> None:
    """Child side of --threads: the two calls one after the other, then on two threads, per round."""
    import threading

    import annotrove

    reports = []
    for _ in range(rounds):
        gc.collect()
        started = time.perf_counter()
        expected = [annotrove.compute_curve(first, "max-prob"), annotrove.compute_curve(second, "max-prob")]
        sequential = time.perf_counter() - started
        got: list[Any] = [None, None]

        def work(index: int, path: str) -> None:
            got[index] = annotrove.compute_curve(path, "max-prob")

        gc.collect()
        threads = [threading.Thread(target=work, args=(0, first)), threading.Thread(target=work, args=(1, second))]
        started = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        parallel = time.perf_counter() - started
        if got != expected:
            raise SystemExit("the threads' curves differ from the sequential ones")
        del expected, got
        reports.append({"sequential": sequential, "parallel": parallel})
    print(json.dumps(reports))


def run_threads(args: argparse.Namespace) -> None:
    """Two Python threads, each on its own copy of the default table, against the same two calls in turn."""
    annotrove = import_annotrove()
    env = child_environment(annotrove)
    path, rows = cached_table(args)
    workdir = Path(tempfile.mkdtemp(prefix="threads-", dir=args.data_dir))
    try:
        copy = workdir / "copy.csv"
        shutil.copyfile(path, copy)
        with open(copy, "rb") as handle:  # into the page cache, like the original
            while handle.read(1 << 24):
                pass
        print(f"two copies of a {rows:,}-row, {path.stat().st_size / 1e6:,.0f} MB table; "
              f"{os.cpu_count()} CPUs; load average {load_average():.2f}", flush=True)
        command = [sys.executable, str(Path(__file__).resolve()), "--threads-child", str(path), str(copy),
                   str(args.rounds)]
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=args.timeout * args.rounds)
        if done.returncode != 0:
            sys.exit(f"threads child failed: {done.stderr.strip()[-400:]}")
        reports = json.loads(done.stdout.strip().splitlines()[-1])
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    for number, report in enumerate(reports, 1):
        print(f"round {number}: one after the other {report['sequential']:.2f} s, two threads "
              f"{report['parallel']:.2f} s, ratio {report['parallel'] / report['sequential']:.2f}")
    sequential = statistics.median(r["sequential"] for r in reports)
    parallel = statistics.median(r["parallel"] for r in reports)
    ratio = parallel / sequential
    print(f"median: one after the other {sequential:.2f} s, two threads {parallel:.2f} s, ratio {ratio:.2f} "
          f"(need <= 0.6): {'met' if ratio <= 0.6 else 'NOT met'}; load average {load_average():.2f}")


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


def write_interleaved_queries(rows: int) -> Callable[[Path, int], None]:
    def write(path: Path, factor: int) -> None:
        n = rows * factor
        queries = max(n // 10, 1)
        rng = random.Random(factor)
        # Ten candidates per query, but every row starts a new run: ids share a long prefix and
        # come in a shuffled order, so grouping must gather the runs of each query.
        ids = [f"sample-{q:016d}" for q in range(queries)]
        rng.shuffle(ids)
        _write_lines(path, (f"{ids[i % queries]},C{i},{i // queries + 1},{rng.random():.6f},"
                            f"{rng.random()!r},CCO,{'true' if rng.random() < 0.8 else 'false'}\n"
                            for i in range(n)))
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
        ScalingCase("queries interleaved, one run per row (rows)", "compute_curve", "margin", labels,
                    write_interleaved_queries(rows)),
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

    env = child_environment(annotrove)
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


# ---------------------------------------------------------------- tables in memory and Parquet

ARROW_CASES = (
    # (label, tool, source, threads): source is "table" (a pyarrow Table in memory), "frame" (a
    # polars or pandas frame in memory), "parquet" (the file) or "csv" (the file).
    ("annotrove, pyarrow Table", "annotrove", "table", 1),
    ("annotrove, polars frame", "annotrove", "frame", 1),
    ("polars 1 thread, own frame", "polars", "frame", 1),
    ("polars all threads, own frame", "polars", "frame", 0),
    ("DuckDB 1 thread, Arrow table", "duckdb", "table", 1),
    ("DuckDB all threads, Arrow table", "duckdb", "table", 0),
    ("annotrove, CSV file", "annotrove", "csv", 1),
    ("annotrove, Parquet file", "annotrove", "parquet", 1),
    ("polars all threads, Parquet file", "polars", "parquet", 0),
    ("DuckDB all threads, Parquet file", "duckdb", "parquet", 0),
    ("annotrove, pandas frame", "annotrove", "pandas", 1),
    ("pandas to_csv + annotrove", "pandas-csv", "pandas", 1),
)
ARROW_COLUMNS = ["query_id", "candidate_id", "rank", "score", "probability", "is_correct"]


def arrow_child(tool: str, source: str, csv_path: str, parquet_path: str, method: str) -> None:
    """One call on data already in memory (loaded before the clock starts) or on a file."""
    import pyarrow.parquet as pq

    table: Any = None
    if source in ("table", "frame", "pandas"):
        table = pq.read_table(parquet_path, columns=ARROW_COLUMNS)
    if source == "frame":
        import polars

        table = polars.from_arrow(table)
    if source == "pandas":
        table = table.to_pandas()
    if tool in ("annotrove", "pandas-csv"):
        import annotrove

        if tool == "pandas-csv":
            scratch = Path(tempfile.mkdtemp(prefix="annotrove-bench-"))

            def call() -> Any:
                target = scratch / "frame.csv"
                # The table's labels are written as its reader wants them (pandas writes True/False).
                labels = table["is_correct"].map({True: "true", False: "false"})
                table.assign(is_correct=labels).to_csv(target, index=False)
                try:
                    return annotrove.compute_curve(target, method)
                finally:
                    shutil.rmtree(scratch, ignore_errors=True)
        else:
            argument = {"csv": csv_path, "parquet": parquet_path}.get(source, table)

            def call() -> Any:
                return annotrove.compute_curve(argument, method)
    elif tool == "polars":
        import polars

        def call() -> Any:
            frame = polars.read_parquet(parquet_path, columns=ARROW_COLUMNS) if source == "parquet" else table
            return polars_frame_curve(polars, frame, method)
    else:
        import duckdb

        connection = duckdb.connect()
        threads = int(os.environ.get("ANNOTROVE_BENCH_THREADS", "0"))
        if threads:
            connection.execute(f"SET threads={threads}")
        if source == "table":
            connection.register("arrow_table", table)

        def call() -> Any:
            if source == "parquet":
                return duckdb_curve(duckdb, Path(parquet_path), method, connection, "read_parquet(?)")
            return duckdb_curve(duckdb, None, method, connection, "arrow_table")
    gc.collect()
    before = peak_rss_bytes()
    cpu_started = time.process_time()
    started = time.perf_counter()
    value = call()
    seconds = time.perf_counter() - started
    cpu_seconds = time.process_time() - cpu_started
    points = annotrove_points(value) if tool in ("annotrove", "pandas-csv") else value
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu_seconds, "import_bytes": before,
                      "peak_bytes": peak_rss_bytes(), "points": [list(p) for p in points]}))


def run_arrow(args: argparse.Namespace) -> None:
    """compute_curve on tables in memory and on a Parquet file, against polars and DuckDB on the
    same Arrow data, and pandas' to_csv route; the curves are checked against annotrove's CSV one."""
    if not installed("pyarrow"):
        print("pyarrow is not installed: nothing to measure")
        return
    import pyarrow as pa
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    csv_path, rows = cached_table(args, "random-order")
    parquet_path = csv_path.with_suffix(".parquet")
    if not parquet_path.exists() or args.regenerate:
        print(f"writing {parquet_path} (pyarrow defaults) ...", flush=True)
        types = {"query_id": pa.string(), "candidate_id": pa.string()}
        table = pa_csv.read_csv(csv_path, convert_options=pa_csv.ConvertOptions(column_types=types))
        partial = parquet_path.with_suffix(".partial")
        pq.write_table(table, partial)
        partial.replace(parquet_path)
        del table
    env = child_environment(import_annotrove())
    print(f"{rows:,} rows; CSV {csv_path.stat().st_size / 1e6:.0f} MB, Parquet {parquet_path.stat().st_size / 1e6:.0f} MB; "
          f"load average {load_average():.1f} (a busy machine skews times)")
    for method in ("margin", "max-prob"):
        expected: Curve | None = None
        print(f"\n{method}: median of {args.rounds} rounds; wall s, CPU s, peak MiB (imports and data included)")
        for label, tool, source, threads in ARROW_CASES:
            needed = {"annotrove": "annotrove", "pandas-csv": "pandas", "polars": "polars", "duckdb": "duckdb"}[tool]
            if (needed != "annotrove" and not installed(needed)) or \
                    (source == "frame" and not installed("polars")) or (source == "pandas" and not installed("pandas")):
                print(f"  {label:36} skipped ({needed if installed('polars') else 'polars'} not installed)")
                continue
            reports = []
            for _ in range(args.rounds):
                child_env = dict(env, ANNOTROVE_BENCH_THREADS=str(threads))
                if tool == "polars" and threads:
                    child_env["POLARS_MAX_THREADS"] = str(threads)
                command = [sys.executable, str(Path(__file__).resolve()), "--arrow-child", tool, source,
                           str(csv_path), str(parquet_path), method]
                done = subprocess.run(command, env=child_env, capture_output=True, text=True, timeout=args.timeout)
                if done.returncode != 0:
                    print(f"  {label:36} failed: {' | '.join(done.stderr.strip().splitlines()[-2:])}")
                    break
                reports.append(json.loads(done.stdout.strip().splitlines()[-1]))
            if not reports:
                continue
            points = [tuple(p) for p in reports[0]["points"]]
            if expected is None:
                expected = points
            difference = curve_difference(expected, points)
            wall = statistics.median(r["seconds"] for r in reports)
            cpu = statistics.median(r["cpu_seconds"] for r in reports)
            peak = max(r["peak_bytes"] or 0 for r in reports) / 2**20
            print(f"  {label:36} {wall:7.3f} {cpu:7.3f} {peak:8.0f}  {'same curve' if difference is None else 'DIFFERENT: ' + difference}",
                  flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="See the top of bench/bench.py for what each mode measures.")
    parser.add_argument("--queries", type=int,
                        help="queries in the generated table (default 200000; 20000 with --quick)")
    parser.add_argument("--rounds", type=int, help="timing rounds, medians reported (default 5; 2 with --quick)")
    parser.add_argument("--quick", action="store_true", help="fast smoke run: 20,000 queries, 2 rounds")
    parser.add_argument("--min-candidates", type=int, default=5)
    parser.add_argument("--max-candidates", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--data-dir", default=str(HERE / "data"), help="where generated tables are cached")
    parser.add_argument("--regenerate", action="store_true", help="rewrite the cached table")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds allowed per child run")
    parser.add_argument("--scaling", action="store_true", help="time adversarial inputs of growing size")
    parser.add_argument("--scaling-rows", type=int, default=250_000, help="rows of the smallest scaling tables")
    parser.add_argument("--repeats", type=int, default=3, help="with --scaling: best of this many runs per size")
    parser.add_argument("--only", help="with --scaling: run only cases whose name contains this text")
    parser.add_argument("--shapes", default=",".join(SHAPES),
                        help=f"table layouts of the main mode, comma-separated (default {','.join(SHAPES)})")
    parser.add_argument("--scale", action="store_true",
                        help="compute_curve on a table of about 60 million rows (11 GB, deleted after)")
    parser.add_argument("--scale-queries", type=int, default=2_200_000, help="queries of the --scale table")
    parser.add_argument("--scale-dir", help="where --scale writes its table (default: the system's temporary folder)")
    parser.add_argument("--compressed", action="store_true",
                        help="compute_curve on the table compressed with gzip -6 and zstd -3, against polars and DuckDB")
    parser.add_argument("--threads", action="store_true",
                        help="two threads on two copies of the default table against the two calls in turn")
    parser.add_argument("--arrow", action="store_true",
                        help="tables in memory (pyarrow, polars, pandas) and the Parquet file, against polars and DuckDB")
    parser.add_argument("--arrow-child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--threads-child", nargs=3, metavar=("FIRST", "SECOND", "ROUNDS"), help=argparse.SUPPRESS)
    parser.add_argument("--time-call", nargs=3, metavar=("FUNCTION", "PATH", "METHOD"), help=argparse.SUPPRESS)
    parser.add_argument("--child", nargs=3, metavar=("TOOL", "TASK", "PATH"), help=argparse.SUPPRESS)
    parser.add_argument("--child-threads", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--child-result", help=argparse.SUPPRESS)
    parser.add_argument("--child-policy", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.queries is None:
        args.queries = 20_000 if args.quick else 200_000
    if args.rounds is None:
        args.rounds = 2 if args.quick else 5
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if args.child:
        tool, task, path = args.child
        child_main(tool, task, path, args.child_threads, args.child_result, args.child_policy)
    elif args.arrow_child:
        arrow_child(*args.arrow_child)
    elif args.arrow:
        run_arrow(args)
    elif args.time_call:
        function, path, method = args.time_call
        time_call(function, path, method, args.repeats)
    elif args.threads_child:
        first, second, rounds = args.threads_child
        threads_child(first, second, int(rounds))
    elif args.scaling:
        run_scaling(args)
    elif args.scale:
        run_scale(args)
    elif args.threads:
        run_threads(args)
    elif args.compressed:
        run_compressed(args)
    else:
        run_main(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
