"""Type information for the annotrove extension module.

The module itself defines only the functions of ``__all__`` and ``__version__``. The TypedDicts and ``Literal``
aliases below exist for type checkers only: import them inside ``if typing.TYPE_CHECKING:`` (or use
them in quoted annotations), never at run time.
"""

import os
from typing import Literal, Protocol, SupportsFloat, SupportsIndex, TypedDict, type_check_only

from typing_extensions import NotRequired, ReadOnly, TypeAlias

# The distribution's version, as importlib.metadata.version("annotrove") gives it; not in __all__.
__version__: str

__all__ = [
    "compute_curve",
    "aurc",
    "eaurc",
    "calibrate",
    "apply_policy",
    "load_policy",
    "save_policy",
    "augrc",
    "compare_scores",
]

# The forms accepted for the ``score`` argument of compute_curve and calibrate.
ScoreName: TypeAlias = Literal[
    "max-prob",
    "max_prob",
    "score-gap",
    "score_gap",
    "margin",
    "entropy",
    "score-ratio",
    "score_ratio",
    "topk-gap",
    "topk_gap",
    "effective-k",
    "effective_k",
    "candidate-count",
    "candidate_count",
]
# The names of score methods inside a policy (file or dict); note "top_k_gap".
PolicyScoreName: TypeAlias = Literal[
    "max_prob",
    "score_gap",
    "margin",
    "entropy",
    "score_ratio",
    "top_k_gap",
    "effective_k",
    "candidate_count",
]
# The names written into each decision's "method".
DisplayName: TypeAlias = Literal[
    "MaxProb",
    "ScoreGap",
    "Margin",
    "Entropy",
    "ScoreRatio",
    "TopKGap",
    "EffectiveK",
    "CandidateCount",
]
CalibrationName: TypeAlias = Literal["empirical", "binomial", "crc", "ltt"]
# Anything the module turns into a float: float and int, and objects with __float__ or __index__.
Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class CurvePoint(TypedDict):
    """One point of a risk-coverage curve, as returned by compute_curve."""

    threshold: float
    accepted: int
    total: int
    coverage: float
    errors: int
    risk: float | None

@type_check_only
class PolicyDict(TypedDict):
    """A policy as returned by calibrate and load_policy."""

    version: str
    scoring_method: PolicyScoreName
    threshold: float
    target_error_rate: float
    calibration_method: CalibrationName
    confidence_level: float | None
    created_by: str

@type_check_only
class PolicyArgument(TypedDict):
    """A policy as accepted by apply_policy and save_policy.

    Every PolicyDict is one. "created_by" is never read and "confidence_level" may be left out;
    method names are checked when the call runs, so any str is allowed here.
    """

    version: ReadOnly[str]
    scoring_method: ReadOnly[str]
    threshold: ReadOnly[float]
    target_error_rate: ReadOnly[float]
    calibration_method: ReadOnly[str]
    confidence_level: NotRequired[ReadOnly[float | None]]
    created_by: NotRequired[ReadOnly[str]]

@type_check_only
class Decision(TypedDict):
    """The decision for one query, as returned by apply_policy."""

    query_id: str
    candidate_id: str
    confidence: float
    accepted: bool
    threshold: float
    method: DisplayName

@type_check_only
class ScoreComparison(TypedDict):
    """One row of compare_scores: a score method on one labelled table, lowest AURC first.

    Each ``<name>_low`` and ``<name>_high`` pair is the percentile bootstrap interval of ``<name>``
    at the requested level: None when no resample was drawn (resamples=0), NaN when the value is
    undefined in some resample. ``aurc_difference`` is this method's AURC minus the best method's,
    its bounds from the same (paired) resamples; ``distinguishable`` says whether that interval
    excludes 0 (None without resamples). ``curve`` is present only when asked for (curves=True).
    """

    score: str
    aurc: float
    aurc_low: float | None
    aurc_high: float | None
    eaurc: float
    eaurc_low: float | None
    eaurc_high: float | None
    augrc: float
    augrc_low: float | None
    augrc_high: float | None
    auroc: float
    auroc_low: float | None
    auroc_high: float | None
    scored: int
    labelled: int
    top1_error: float
    aurc_difference: float
    aurc_difference_low: float | None
    aurc_difference_high: float | None
    distinguishable: bool | None
    curve: NotRequired[list[CurvePoint]]
class ArrowStreamExportable(Protocol):
    """Any object that exports the Arrow PyCapsule stream interface: a pyarrow Table, RecordBatch
    or RecordBatchReader, a polars or pandas DataFrame, a DuckDB relation, a nanoarrow stream."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# What the table functions read: a CSV or Parquet path, or a table in memory.
Table: TypeAlias = str | os.PathLike[str] | ArrowStreamExportable

# ``ScoreName | str``: the names above are offered for completion, and any str is accepted because
# the name is checked when the call runs (ValueError for an unknown name).
def compute_curve(csv_path: Table, score: ScoreName | str, *, threads: int | None = None) -> list[CurvePoint]:
    """Compute the risk-coverage curve from a labeled candidates CSV.

    Returns a list of dicts: threshold, accepted, total, coverage, errors, risk.

    threads: the table is read on at most this many threads (None: every core the process may
    run on; 1: on the calling thread alone). The result never depends on it. Pass 1 when many
    processes run at once, e.g. under a workflow manager.
    """

def aurc(curve: list[CurvePoint]) -> float:
    """Compute AURC for a risk-coverage curve (list of dicts from compute_curve)."""

def eaurc(curve: list[CurvePoint]) -> float:
    """Compute E-AURC for a risk-coverage curve."""

def calibrate(
    csv_path: Table,
    score: ScoreName | str,
    error_rate: Number,
    method: CalibrationName | str = "empirical",
    confidence_level: Number | None = None,
    *,
    threads: int | None = None,
) -> PolicyDict:
    """Calibrate a trust threshold and return a policy dict.

    threads: as for compute_curve.
    """

def apply_policy(
    csv_path: Table, policy_dict: PolicyArgument, *, threads: int | None = None
) -> list[Decision]:
    """Apply a policy dict to a candidates CSV. Returns a list of decision dicts.

    threads: as for compute_curve.
    """

def load_policy(path: str | os.PathLike[str]) -> PolicyDict:
    """Load a policy JSON file. Returns a policy dict."""

def save_policy(path: str | os.PathLike[str], policy_dict: PolicyArgument) -> None:
    """Save a policy dict to a JSON file."""

def augrc(curve: list[CurvePoint]) -> float:
    """Compute AUGRC, the area under the generalized risk-coverage curve (risk = errors / total)."""

def compare_scores(
    table: Table,
    scores: list[ScoreName | str] | tuple[ScoreName | str, ...] | None = None,
    *,
    resamples: SupportsIndex = 2000,
    level: Number = 0.95,
    seed: SupportsIndex = 0,
    curves: bool = False,
    threads: int | None = None,
) -> list[ScoreComparison]:
    """Compare score methods on a labelled table, read once: AURC, E-AURC, AUGRC and failure
    AUROC with percentile bootstrap bounds, and each method's paired AURC difference to the
    best. Returns one dict per method, lowest AURC first.

    threads: as for compute_curve."""
