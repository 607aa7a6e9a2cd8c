"""Pure-Python references for the score methods, the curve and the threshold selections.

Sums run in the extension's order and math.log/math.exp are the same C library functions, so the
results must agree bit for bit. Also writes candidate tables and policy dicts for the tests.
"""

import csv
import math
import struct
from dataclasses import dataclass

SENTINEL = 1.7976931348623157e308
METHODS = "max_prob score_gap margin entropy score_ratio top_k_gap effective_k candidate_count"
METHODS = METHODS.split()
ARGUMENT_FORM = {m: m.replace("_", "-").replace("top-k", "topk") for m in METHODS}
DISPLAY_NAME = {m: m.title().replace("_", "") for m in METHODS}
Z_OF_KEY = {900: 1.282, 950: 1.645, 975: 1.96, 990: 2.326}


@dataclass
class Row:
    query_id: str
    candidate_id: str
    rank: int
    score: float
    probability: float | None = None
    is_correct: bool | None = None


def write_table(path, rows):
    def cell(v):
        return "" if v is None else ("true" if v else "false") if isinstance(v, bool) else repr(v)

    with open(path, "w", encoding="utf-8", newline="") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(["query_id", "candidate_id", "rank", "score", "probability", "is_correct"])
        for r in rows:
            writer.writerow([r.query_id, r.candidate_id, r.rank, cell(float(r.score)),
                             cell(r.probability), cell(r.is_correct)])
    return str(path)


def policy(method, threshold, target_error_rate=0.1):
    """A complete policy dict with its members in field order."""
    return {"version": "0.1.0", "scoring_method": method, "threshold": threshold,
            "target_error_rate": target_error_rate, "calibration_method": "empirical",
            "confidence_level": None, "created_by": "annotrove"}


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def same_float(a, b):
    """Equal to the last bit, None only with None; any NaN matches any NaN."""
    if a is None or b is None:
        return a is b
    return math.isnan(a) and math.isnan(b) or bits(a) == bits(b)


def total_order_key(value):
    signed = struct.unpack("<q", struct.pack("<d", value))[0]
    return signed ^ 0x7FFF_FFFF_FFFF_FFFF if signed < 0 else signed


def group_rows(rows):
    """Groups in byte-wise query_id order, each in file order."""
    groups = {}
    for row in rows:
        groups.setdefault(row.query_id, []).append(row)
    return [groups[key] for key in sorted(groups, key=lambda text: text.encode("utf-8"))]


def entropy_sum(rows):
    total = 0.0
    for row in rows:
        p = row.probability
        if p is None:
            return None
        # C's log gives NaN below zero (and for NaN), where math.log raises.
        total = total + (0.0 if p == 0.0 else -p * (math.log(p) if p > 0.0 else math.nan))
    return total


def finite(value):
    return value if value is not None and math.isfinite(value) else None


def score(method, rows):
    n = len(rows)
    ranked = sorted(rows, key=lambda row: row.rank)  # stable: file order on equal ranks
    if method == "max_prob":
        p = ranked[0].probability
        return None if p is None or math.isnan(p) else p
    if method == "candidate_count":
        return 1.0 / n
    h = entropy_sum(rows)
    if method == "entropy":
        if n == 1:
            return 1.0
        return None if h is None else finite(1.0 - h / math.log(float(n)))
    if method == "effective_k":
        if h is None:
            return None
        try:
            return finite(math.exp(-h))
        except OverflowError:  # C's exp gives +inf
            return None
    if n < 2:
        return None
    if method == "margin":
        p1, p2 = ranked[0].probability, ranked[1].probability
        if p1 is None or p2 is None or math.isnan(p1) or math.isnan(p2):
            return None
        return p1 - p2
    k = min(n, 5) if method == "top_k_gap" else 2
    top = [row.score for row in ranked[:k]]
    if any(math.isnan(s) for s in top):
        return None
    if method == "score_gap":
        return top[0] - top[1]
    if method == "score_ratio":
        return finite(top[0] / top[1]) if top[1] > 0.0 else None
    total = -0.0  # top_k_gap
    for s in top[1:]:
        total = total + s
    return top[0] - total / float(k - 1)


def curve(rows, method):
    """Curve points as dicts; a NaN confidence counts like an absent one."""
    scored = []
    for group in group_rows(rows):
        label = sorted(group, key=lambda row: row.rank)[0].is_correct
        if label is not None:
            confidence = score(method, group)
            confidence = None if confidence is None or math.isnan(confidence) else confidence
            scored.append((confidence, label))
    n = len(scored)
    scored.sort(key=lambda q: (q[0] is None, 0 if q[0] is None else -total_order_key(q[0])))
    points, accepted, errors, i = [], 0, 0, 0
    while i < n and scored[i][0] is not None:
        threshold = scored[i][0]
        while i < n and scored[i][0] is not None and scored[i][0] == threshold:
            accepted, errors, i = accepted + 1, errors + (not scored[i][1]), i + 1
        points.append({"threshold": threshold, "accepted": accepted, "total": n,
                       "coverage": accepted / n, "errors": errors, "risk": errors / accepted})
    return points


def select(points, qualifies):
    selected = None
    for p in points:
        if qualifies(p) and (selected is None or total_order_key(p["coverage"])
                             >= total_order_key(selected["coverage"])):
            selected = p
    return None if selected is None else selected["threshold"]


def select_empirical(points, target):
    return select(points, lambda p: p["risk"] is not None and target >= p["risk"])


def select_crc(points, target):
    if not points:
        return None
    adjusted = target - 1.0 / (float(points[-1]["total"]) + 1.0)
    return None if adjusted <= 0.0 else select_empirical(points, adjusted)


def wilson_upper(n, e, z):
    z2 = z * z
    p = e / n
    # More errors than accepted queries makes the radicand negative: NaN, as in IEEE arithmetic.
    radicand = z2 / ((n * 4.0) * n) + ((1.0 - p) * p) / n
    spread = z * (math.sqrt(radicand) if radicand >= 0.0 else math.nan)
    return (spread + (p + z2 / (n * 2.0))) / (1.0 + z2 / n)


def select_binomial(points, target, level):
    z = Z_OF_KEY[math.floor(1000.0 * level + 0.5)]
    return select(points, lambda p: p["accepted"] > 0 and target >= wilson_upper(
        float(p["accepted"]), float(p["errors"]), z))
