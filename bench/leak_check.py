"""Leak check: every annotrove function, on success and on each error path, called in a loop.

    PYTHONPATH=build/dev python bench/leak_check.py [--iterations 100000] [--case NAME ...]

For each case the call runs once per iteration, in two equal batches after a warm-up. Reported per
case: the interpreter's allocated blocks (sys.getallocatedblocks) and the open file descriptors
before and after, and the peak resident size after the first and after the second batch. A call
that keeps anything grows the blocks or the descriptors with the iteration count; one that keeps
large buffers raises the peak in the second batch. Exits non-zero when any case grows.

tests/test_leaks.py runs the same cases with fewer iterations.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import pathlib
import shutil
import sys
import tempfile
from dataclasses import dataclass
from typing import Callable

import annotrove

try:
    import resource
except ImportError:  # Windows: no peak figure, the other checks still run
    resource = None

LABELLED = (
    "query_id,candidate_id,rank,score,probability,is_correct,smiles\n"
    "q1,a,1,10,0.6,true,CCO\n"
    "q1,b,2,6,0.3,false,\n"
    "q1,c,3,2,0.1,false,C\n"
    "q2,d,1,5,0.5,false,N\n"
    "q2,e,2,4,0.5,true,O\n"
    "q3,f,1,7,0.9,true,\n"
)
UNLABELLED = "query_id,candidate_id,rank,score,probability\nu1,a,1,3,0.7\nu1,b,2,1,0.3\nu2,c,1,2,\n"
POLICY = {
    "version": "0.1.0",
    "scoring_method": "margin",
    "threshold": 0.25,
    "target_error_rate": 0.1,
    "calibration_method": "empirical",
    "confidence_level": None,
    "created_by": "annotrove",
}


class FloatLike:
    """Accepted wherever a number is: goes through the host's float conversion."""

    def __float__(self) -> float:
        return 0.05


class NoFloat:
    """Refused by the float conversion."""


class Files:
    """Input files of every kind the cases need, in a private folder."""

    def __init__(self, folder: str) -> None:
        self.folder = folder

        def write(name: str, content: bytes | str) -> str:
            path = os.path.join(folder, name)
            data = content.encode() if isinstance(content, str) else content
            with open(path, "wb") as file:
                file.write(data)
            return path

        self.labelled = write("labelled.csv", LABELLED)
        self.unlabelled = write("unlabelled.csv", UNLABELLED)
        self.empty = write("empty.csv", b"")
        self.missing_rank = write("missing_rank.csv", "query_id,candidate_id,score\nq,a,1\n")
        self.ragged = write("ragged.csv", "query_id,candidate_id,rank,score\nq,a,1,2\nq,b,2\n")
        self.bad_utf8 = write("bad_utf8.csv", b"query_id,candidate_id,rank,score\nq,\xc0\x80,1,2\n")
        self.bad_rank = write("bad_rank.csv", "query_id,candidate_id,rank,score\nq,a,-1,2\n")
        self.unterminated = write("unterminated.csv", 'query_id,candidate_id,rank,score\nq,"a,1,2\n')
        self.missing = os.path.join(folder, "missing.csv")
        self.parquet = os.path.join(folder, "table.parquet")
        self.policy = os.path.join(folder, "policy.json")
        annotrove.save_policy(self.policy, POLICY)
        self.saved = os.path.join(folder, "saved.json")
        self.bad_json = write("bad.json", '{"version": "0.1.0",')
        self.old_version = write(
            "old.json",
            '{"version":"0.0.9","scoring_method":"margin","threshold":1,'
            '"target_error_rate":0.1,"calibration_method":"crc","created_by":"x"}',
        )
        self.missing_field = write("missing_field.json", '{"version":"0.1.0"}')
        self.duplicate = write(
            "duplicate.json", '{"version":"0.1.0","version":"0.1.0","scoring_method":"margin"}'
        )
        self.labelled_path = pathlib.Path(self.labelled)
        self.arrow = ArrowInputs(self) if _have("pyarrow") else None
        self.curve = annotrove.compute_curve(self.labelled, "margin")
        self.curve_tuple = tuple(self.curve)
        self.bad_curve = [dict(self.curve[0], coverage="x")]


def _have(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


class ArrowInputs:
    """The labelled table in memory (pyarrow, polars, pandas, when installed) and as Parquet."""

    def __init__(self, files: Files) -> None:
        import pyarrow as pa
        import pyarrow.csv as pa_csv
        import pyarrow.parquet as pq

        types = {"query_id": pa.string(), "candidate_id": pa.string()}
        self.table = pa_csv.read_csv(files.labelled, convert_options=pa_csv.ConvertOptions(column_types=types))
        self.batch = self.table.to_batches()[0]
        self.batches = self.table.to_batches(max_chunksize=2)
        self.schema = self.table.schema
        self.float_rank = self.table.set_column(2, "rank", self.table.column("rank").cast(pa.float64()))
        self.null_score = self.table.set_column(3, "score", pa.array([None] * self.table.num_rows, pa.float64()))
        self.no_rank = self.table.drop_columns(["rank"])
        self.parquet = os.path.join(files.folder, "labelled.parquet")
        pq.write_table(self.table, self.parquet)
        self.corrupt_parquet = os.path.join(files.folder, "corrupt.parquet")
        with open(self.corrupt_parquet, "wb") as file:
            file.write(b"PAR1" + b"\0" * 64 + b"PAR1")
        self.polars = None
        self.pandas = None
        if _have("polars"):
            import polars as pl

            self.polars = pl.from_arrow(self.table)
        if _have("pandas"):
            self.pandas = self.table.to_pandas()

    def reader(self) -> object:
        import pyarrow as pa

        return pa.RecordBatchReader.from_batches(self.schema, self.batches)


@dataclass(frozen=True)
class Case:
    name: str
    call: Callable[[Files], object]
    # The exception a call must raise, or None when it must succeed.
    raises: type[BaseException] | None = None
    # Further blocks a batch of calls may leave, for producers whose own caches warm up over the
    # first thousands of calls and then level off: pandas' export to Arrow does so on its own,
    # and pyarrow's Parquet reader keeps a few hundred blocks when driven through the C stream.
    slack: int = 0


# Arguments are built once, so that the loop measures the module and not the caller's churn.
NO_THRESHOLD = {k: v for k, v in POLICY.items() if k != "threshold"}
POLICY_KEYS = list(POLICY)
BAD_SCORE_NAME = dict(POLICY, scoring_method="Margin")
BAD_THRESHOLD = dict(POLICY, threshold="1")
BAD_CALIBRATION = dict(POLICY, calibration_method="x")
FLOAT_LIKE = FloatLike()
NO_FLOAT = NoFloat()


def _cases() -> list[Case]:
    a = annotrove
    no_threshold = NO_THRESHOLD
    return [
        # compute_curve
        Case("compute_curve", lambda f: a.compute_curve(f.labelled, "margin")),
        Case("compute_curve entropy", lambda f: a.compute_curve(f.labelled, "entropy")),
        Case("compute_curve unlabelled", lambda f: a.compute_curve(f.unlabelled, "max_prob")),
        Case("compute_curve missing file", lambda f: a.compute_curve(f.missing, "margin"), RuntimeError),
        Case("compute_curve parquet", lambda f: a.compute_curve(f.parquet, "margin"), RuntimeError),
        Case("compute_curve empty file", lambda f: a.compute_curve(f.empty, "margin"), RuntimeError),
        Case("compute_curve missing column", lambda f: a.compute_curve(f.missing_rank, "margin"), RuntimeError),
        Case("compute_curve ragged row", lambda f: a.compute_curve(f.ragged, "margin"), RuntimeError),
        Case("compute_curve bad utf-8", lambda f: a.compute_curve(f.bad_utf8, "margin"), RuntimeError),
        Case("compute_curve bad rank", lambda f: a.compute_curve(f.bad_rank, "margin"), RuntimeError),
        Case("compute_curve unterminated quote", lambda f: a.compute_curve(f.unterminated, "margin"), RuntimeError),
        Case("compute_curve unknown score", lambda f: a.compute_curve(f.labelled, "nope"), ValueError),
        Case("compute_curve path not str", lambda f: a.compute_curve(b"x.csv", "margin"), TypeError),
        Case("compute_curve path surrogate", lambda f: a.compute_curve("\udc80.csv", "margin"), UnicodeEncodeError),
        Case("compute_curve NUL in path", lambda f: a.compute_curve(f.labelled + "\0", "margin"), RuntimeError),
        Case("compute_curve too many arguments", lambda f: a.compute_curve(f.labelled, "margin", 1), TypeError),
        Case("compute_curve unknown keyword", lambda f: a.compute_curve(f.labelled, scor="margin"), TypeError),
        Case("compute_curve missing argument", lambda f: a.compute_curve(f.labelled), TypeError),
        Case("compute_curve keywords", lambda f: a.compute_curve(score="margin", csv_path=f.labelled)),
        # aurc, eaurc
        Case("aurc", lambda f: a.aurc(f.curve)),
        Case("eaurc", lambda f: a.eaurc(f.curve)),
        Case("aurc empty", lambda f: a.aurc([])),
        Case("eaurc empty", lambda f: a.eaurc([])),
        Case("aurc tuple", lambda f: a.aurc(f.curve_tuple), TypeError),
        Case("aurc item not dict", lambda f: a.aurc([1]), TypeError),
        Case("aurc item missing key", lambda f: a.aurc([{"threshold": 1.0}]), KeyError),
        Case("eaurc item bad value", lambda f: a.eaurc(f.bad_curve), TypeError),
        # calibrate
        Case("calibrate", lambda f: a.calibrate(f.labelled, "margin", 0.3)),
        Case("calibrate crc", lambda f: a.calibrate(f.labelled, "score_gap", 0.3, "crc")),
        Case("calibrate binomial", lambda f: a.calibrate(f.labelled, "max_prob", 0.3, "binomial", 0.95)),
        Case("calibrate number object", lambda f: a.calibrate(f.labelled, "margin", FLOAT_LIKE)),
        Case("calibrate none qualifies", lambda f: a.calibrate(f.labelled, "margin", 0.0)),
        Case("calibrate unsupported level", lambda f: a.calibrate(f.labelled, "margin", 0.1, "binomial", 0.8), RuntimeError),
        Case("calibrate binomial no level", lambda f: a.calibrate(f.labelled, "margin", 0.1, "binomial"), ValueError),
        Case("calibrate ltt", lambda f: a.calibrate(f.labelled, "max_prob", 0.3, "ltt", 0.9)),
        Case("calibrate ltt no level", lambda f: a.calibrate(f.labelled, "margin", 0.1, "ltt"), ValueError),
        Case("calibrate ltt bad level", lambda f: a.calibrate(f.labelled, "margin", 0.1, "ltt", 1.5), ValueError),
        Case("calibrate unknown method", lambda f: a.calibrate(f.labelled, "margin", 0.1, "Empirical"), ValueError),
        Case("calibrate method None", lambda f: a.calibrate(f.labelled, "margin", 0.1, None), TypeError),
        Case("calibrate error_rate str", lambda f: a.calibrate(f.labelled, "margin", "0.1"), TypeError),
        Case("calibrate error_rate no float", lambda f: a.calibrate(f.labelled, "margin", NO_FLOAT), TypeError),
        Case("calibrate missing file", lambda f: a.calibrate(f.missing, "margin", 0.1), RuntimeError),
        # apply_policy
        Case("apply_policy", lambda f: a.apply_policy(f.unlabelled, POLICY)),
        Case("apply_policy labelled", lambda f: a.apply_policy(f.labelled, POLICY)),
        Case("apply_policy not dict", lambda f: a.apply_policy(f.labelled, POLICY_KEYS), TypeError),
        Case("apply_policy missing key", lambda f: a.apply_policy(f.labelled, no_threshold), KeyError),
        Case("apply_policy unknown score", lambda f: a.apply_policy(f.labelled, BAD_SCORE_NAME), RuntimeError),
        Case("apply_policy threshold str", lambda f: a.apply_policy(f.labelled, BAD_THRESHOLD), TypeError),
        Case("apply_policy missing file", lambda f: a.apply_policy(f.missing, POLICY), RuntimeError),
        Case("apply_policy bad row", lambda f: a.apply_policy(f.ragged, POLICY), RuntimeError),
        # load_policy
        Case("load_policy", lambda f: a.load_policy(f.policy)),
        Case("load_policy missing", lambda f: a.load_policy(f.missing), RuntimeError),
        Case("load_policy folder", lambda f: a.load_policy(f.folder), RuntimeError),
        Case("load_policy bad json", lambda f: a.load_policy(f.bad_json), RuntimeError),
        Case("load_policy unknown version", lambda f: a.load_policy(f.old_version), RuntimeError),
        Case("load_policy missing field", lambda f: a.load_policy(f.missing_field), RuntimeError),
        Case("load_policy duplicate field", lambda f: a.load_policy(f.duplicate), RuntimeError),
        Case("load_policy not str", lambda f: a.load_policy(None), TypeError),
        # save_policy
        Case("save_policy", lambda f: a.save_policy(f.saved, POLICY)),
        Case("save_policy to folder", lambda f: a.save_policy(f.folder, POLICY), RuntimeError),
        Case("save_policy missing key", lambda f: a.save_policy(f.saved, no_threshold), KeyError),
        Case("save_policy not dict", lambda f: a.save_policy(f.saved, 1), TypeError),
        Case("save_policy unknown method", lambda f: a.save_policy(f.saved, BAD_CALIBRATION), RuntimeError),
        Case("augrc", lambda f: a.augrc(f.curve)),
        Case("augrc empty", lambda f: a.augrc([])),
        Case("augrc item missing key", lambda f: a.augrc([{"threshold": 1.0}]), KeyError),
        Case("compare_scores", lambda f: a.compare_scores(f.labelled, resamples=20)),
        Case("compare_scores curves", lambda f: a.compare_scores(f.labelled, ["margin"], resamples=0, curves=True)),
        Case("compare_scores missing file", lambda f: a.compare_scores(f.missing), RuntimeError),
        Case("compare_scores unknown score", lambda f: a.compare_scores(f.labelled, ["margin", "nope"]), ValueError),
        Case("compare_scores bad level", lambda f: a.compare_scores(f.labelled, level=2.0), ValueError),
        Case("compare_scores positional resamples", lambda f: a.compare_scores(f.labelled, None, 5), TypeError),
    ]


WARMING_SLACK = 512


def _arrow_cases() -> list[Case]:
    """Tables handed over as Arrow data and Parquet files; only when pyarrow is installed."""
    if not _have("pyarrow"):
        return []
    a = annotrove
    cases = [
        Case("compute_curve pyarrow table", lambda f: a.compute_curve(f.arrow.table, "margin")),
        Case("compute_curve record batch", lambda f: a.compute_curve(f.arrow.batch, "margin")),
        Case("compute_curve batch reader", lambda f: a.compute_curve(f.arrow.reader(), "margin")),
        Case("compute_curve parquet file", lambda f: a.compute_curve(f.arrow.parquet, "margin"), slack=WARMING_SLACK),
        Case("compute_curve path object", lambda f: a.compute_curve(f.labelled_path, "margin")),
        Case("compute_curve arrow float rank", lambda f: a.compute_curve(f.arrow.float_rank, "margin"), RuntimeError),
        Case("compute_curve arrow null score", lambda f: a.compute_curve(f.arrow.null_score, "margin"), RuntimeError),
        Case("compute_curve arrow no rank", lambda f: a.compute_curve(f.arrow.no_rank, "margin"), RuntimeError),
        Case("compute_curve table not a table", lambda f: a.compute_curve(f.curve, "margin"), TypeError),
        Case("calibrate pyarrow table", lambda f: a.calibrate(f.arrow.table, "margin", 0.3)),
        Case("apply_policy pyarrow table", lambda f: a.apply_policy(f.arrow.table, POLICY)),
        Case("apply_policy parquet file", lambda f: a.apply_policy(f.arrow.parquet, POLICY), slack=WARMING_SLACK),
    ]
    if not os.environ.get("ANNOTROVE_SANITIZED"):
        # pyarrow throws C++ exceptions inside itself on a corrupt file; the preloaded sanitizer
        # runtime aborts on those (tests/test_arrow_input.py says more).
        cases.append(Case("compute_curve corrupt parquet",
                          lambda f: a.compute_curve(f.arrow.corrupt_parquet, "margin"), RuntimeError))
    if _have("polars"):
        cases += [
            Case("compute_curve polars frame", lambda f: a.compute_curve(f.arrow.polars, "margin")),
            Case("apply_policy polars frame", lambda f: a.apply_policy(f.arrow.polars, POLICY)),
        ]
    if _have("pandas"):
        cases.append(Case("calibrate pandas frame", lambda f: a.calibrate(f.arrow.pandas, "margin", 0.3),
                          slack=WARMING_SLACK))
    return cases


CASES = _cases() + _arrow_cases()


def run_case(case: Case, files: Files, iterations: int) -> None:
    """Calls the case `iterations` times; any other outcome than the expected one is raised."""
    call = case.call
    expected = case.raises
    if expected is None:
        for _ in range(iterations):
            call(files)
        return
    for _ in range(iterations):
        try:
            call(files)
        except expected:
            pass
        else:
            raise AssertionError(f"{case.name}: no {expected.__name__} raised")


def open_descriptors() -> int | None:
    """Open file descriptors of this process, where the platform lists them."""
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return None


def peak_rss_kib() -> int:
    if resource is None:
        return 0
    # Linux reports kibibytes; macOS bytes.
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak // 1024 if sys.platform == "darwin" else peak


@dataclass
class Figures:
    name: str
    blocks_before: int
    blocks_middle: int
    blocks_after: int
    fds_before: int | None
    fds_after: int | None
    peak_first_kib: int
    peak_second_kib: int

    @property
    def block_growth(self) -> int:
        # Over the second batch only: a call that keeps something keeps it in every batch, while
        # the interpreter's own one-time growth (a cache or free list reaching its size) is over
        # by then.
        return self.blocks_after - self.blocks_middle

    @property
    def total_block_growth(self) -> int:
        return self.blocks_after - self.blocks_before

    @property
    def fd_growth(self) -> int:
        if self.fds_before is None or self.fds_after is None:
            return 0
        return self.fds_after - self.fds_before

    @property
    def peak_growth_kib(self) -> int:
        return self.peak_second_kib - self.peak_first_kib


def measure(case: Case, files: Files, iterations: int) -> Figures:
    """Warm up, then two batches of iterations//2 calls; blocks and descriptors around both."""
    run_case(case, files, 50)
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    fds_before = open_descriptors()
    half = max(1, iterations // 2)
    run_case(case, files, half)
    peak_first = peak_rss_kib()
    gc.collect()
    blocks_middle = sys.getallocatedblocks()
    run_case(case, files, half)
    peak_second = peak_rss_kib()
    gc.collect()
    return Figures(
        case.name,
        blocks_before,
        blocks_middle,
        sys.getallocatedblocks(),
        fds_before,
        open_descriptors(),
        peak_first,
        peak_second,
    )


# Growth allowed after all iterations: interpreter caches (method caches, free lists) settle
# within the warm-up, so anything that scales with the iteration count stands far above these.
BLOCK_SLACK = 64
PEAK_SLACK_KIB = 2048


def grew(figures: Figures, case: Case | None = None) -> bool:
    return (
        figures.block_growth > BLOCK_SLACK + (case.slack if case else 0)
        or figures.fd_growth > 0
        or figures.peak_growth_kib > PEAK_SLACK_KIB
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--case", action="append", help="run only the named case (repeatable)")
    options = parser.parse_args()
    cases = [c for c in CASES if not options.case or c.name in options.case]
    folder = tempfile.mkdtemp(prefix="annotrove-leak-")
    failed = 0
    try:
        files = Files(folder)
        print(f"{options.iterations} calls per case in two halves; blocks before -> middle -> after, "
              "fds before -> after, peak RSS after the first -> second half (KiB)")
        print(f"{'case':36} {'blocks':>20} {'fds':>9} {'peak RSS KiB':>19}  verdict")
        for case in cases:
            figures = measure(case, files, options.iterations)
            verdict = "GREW" if grew(figures, case) else "ok"
            failed += verdict != "ok"
            print(
                f"{case.name:36} {figures.blocks_before:>6}->{figures.blocks_middle}->"
                f"{figures.blocks_after:<6} "
                f"{figures.fds_before!s:>4}->{figures.fds_after!s:<4} "
                f"{figures.peak_first_kib:>9}->{figures.peak_second_kib:<9}  {verdict}",
                flush=True,
            )
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{len(cases) - failed} of {len(cases)} cases kept nothing")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
