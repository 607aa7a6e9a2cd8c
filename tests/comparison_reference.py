"""A pure-Python compare_scores: the generator, the draws, the weighted walks and the percentiles.

Every sum runs in the extension's order with the same float operations, so the results must
agree bit for bit. Slow (a few thousand queries and resamples at most); for the tests only.
"""

import math

import score_reference as ref

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
DEFAULT_SCORES = ("max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap", "effective-k",
                  "candidate-count")
LANES = 8


def split_mix_64(state):
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


class Stream:
    """xoshiro256** seeded from outputs 4i .. 4i + 3 of SplitMix64 started at the seed."""

    def __init__(self, seed, index):
        state = (seed + index * 4 * GAMMA) & MASK
        self.s = []
        for _ in range(4):
            state = (state + GAMMA) & MASK
            self.s.append(split_mix_64(state))

    def next(self):
        s = self.s
        result = (rotl((s[1] * 5) & MASK, 7) * 9) & MASK
        t = (s[1] << 17) & MASK
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result

    def below(self, bound):
        product = self.next() * bound
        if product & MASK < bound:
            threshold = ((1 << 64) - bound) % bound
            while product & MASK < threshold:
                product = self.next() * bound
        return product >> 64


def method_name(score):
    return {"topk-gap": "top_k_gap", "topk_gap": "top_k_gap"}.get(score, score.replace("-", "_"))


def confidence(method, group):
    value = ref.score(method, group)
    return None if value is None or math.isnan(value) else value


def area(points, risk_of):
    total, previous_coverage, previous_risk = 0.0, 0.0, 0.0
    for p in points:
        risk = risk_of(p)
        total += ((previous_risk + risk) * (p["coverage"] - previous_coverage)) * 0.5
        previous_risk, previous_coverage = risk, p["coverage"]
    return total


def augrc(points):
    if not points:
        return math.nan
    return area(points, lambda p: 0.0 if p["total"] == 0 else p["errors"] / p["total"])


def excess(value, accepted, errors, total):
    if math.isnan(value) or total == 0 or accepted < total:
        return math.nan
    q = (accepted - errors) / total
    if q <= 0.0 or q >= 1.0:
        return math.nan
    return value - ((math.log(q) * q) + (1.0 - q))


def point_values(points):
    if not points:
        return math.nan, math.nan, math.nan
    aurc = area(points, lambda p: 0.0 if p["risk"] is None else p["risk"])
    last = points[-1]
    return aurc, excess(aurc, last["accepted"], last["errors"], last["total"]), augrc(points)


def walk(runs, wrong, weights, correct_total, wrong_total):
    """The four summaries of one resample, by the extension's operations in its order."""
    accepted = errors = area_sum = previous_risk = wins = taken = 0.0
    for run in runs:
        a = e = 0.0
        has_wrong = False
        for q in run:
            w = float(weights[q])
            a += w
            if wrong[q]:
                has_wrong = True
                e += w
        if has_wrong:
            wins += e * ((2.0 * (accepted - errors)) + (a - e))
            taken += e * ((2.0 * accepted) + a)
            errors += e
        accepted += a
        risk = errors / max(accepted, 1.0)
        area_sum += (previous_risk + risk) * a
        previous_risk = risk
    total = float(len(weights))
    above = accepted - errors
    wins += (float(wrong_total) - errors) * ((2.0 * above) + (float(correct_total) - above))
    auroc = math.nan
    if correct_total > 0 and wrong_total > 0:
        auroc = wins / (2.0 * float(correct_total) * float(wrong_total))
    if accepted == 0.0:
        return math.nan, math.nan, math.nan, auroc
    aurc = (area_sum * 0.5) / total
    return (aurc, excess(aurc, int(accepted), int(errors), len(weights)),
            ((2.0 * accepted * errors) - taken) / (2.0 * total * total), auroc)


def bounds(values, level):
    if not values or any(math.isnan(v) for v in values):
        return math.nan, math.nan
    values = sorted(values)

    def at(share):
        position = float(len(values) - 1) * share
        below = math.floor(position)
        if below + 1 >= len(values):
            return values[-1]
        return values[below] + ((position - below) * (values[below + 1] - values[below]))

    return at((1.0 - level) * 0.5), at((1.0 + level) * 0.5)


def compare_scores(rows, scores=None, resamples=2000, level=0.95, seed=0):
    scores = list(DEFAULT_SCORES if scores is None else scores)
    seed &= MASK
    labelled = []
    for group in ref.group_rows(rows):
        label = sorted(group, key=lambda row: row.rank)[0].is_correct
        if label is not None:
            labelled.append((group, label))

    def numbering_key(item):
        p = confidence("max_prob", item[0])
        return (p is None, 0 if p is None else -ref.total_order_key(p), item[0][0].query_id.encode("utf-8"))

    labelled.sort(key=numbering_key)
    n = len(labelled)
    correct = [label for _, label in labelled]
    wrong = [not label for label in correct]

    methods = []
    for score in scores:
        values = [confidence(method_name(score), group) for group, _ in labelled]
        order = sorted(range(n), key=lambda q: (values[q] is None, 0 if values[q] is None else -ref.total_order_key(values[q])))
        runs, points, accepted, errors, i = [], [], 0, 0, 0
        while i < n and values[order[i]] is not None:
            threshold, run = values[order[i]], []
            while i < n and values[order[i]] is not None and values[order[i]] == threshold:
                run.append(order[i])
                accepted, errors, i = accepted + 1, errors + wrong[order[i]], i + 1
            runs.append(run)
            points.append({"threshold": threshold, "accepted": accepted, "total": n, "coverage": accepted / n,
                           "errors": errors, "risk": errors / accepted})
        aurc, eaurc, augrc_value = point_values(points)
        auroc = walk(runs, wrong, [1] * n, sum(correct), n - sum(correct))[3]
        row = {"score": score, "aurc": aurc, "eaurc": eaurc, "augrc": augrc_value, "auroc": auroc,
               "scored": sum(len(run) for run in runs), "labelled": n,
               "top1_error": points[-1]["risk"] if points else math.nan}
        methods.append((row, runs))

    ranking = sorted(range(len(methods)), key=lambda m: (math.isnan(methods[m][0]["aurc"]), methods[m][0]["aurc"]))
    best = ranking[0] if ranking else 0
    samples = [{key: [] for key in ("aurc", "eaurc", "augrc", "auroc")} for _ in methods]
    if n > 0:
        for i in range(resamples):
            stream = Stream(seed, i)
            weights = [0] * n
            for _ in range(n):
                weights[stream.below(n)] += 1
            correct_total = sum(w for w, c in zip(weights, correct) if c)
            for m, (_, runs) in enumerate(methods):
                values = walk(runs, wrong, weights, correct_total, n - correct_total)
                for key, value in zip(("aurc", "eaurc", "augrc", "auroc"), values):
                    samples[m][key].append(value)
    else:
        samples = [{key: [math.nan] * resamples for key in ("aurc", "eaurc", "augrc", "auroc")} for _ in methods]

    result = []
    for m in ranking:
        row = dict(methods[m][0])
        row["aurc_difference"] = row["aurc"] - methods[best][0]["aurc"]
        difference = [a - b for a, b in zip(samples[m]["aurc"], samples[best]["aurc"])]
        for key in ("aurc", "eaurc", "augrc", "auroc"):
            row[f"{key}_low"], row[f"{key}_high"] = bounds(samples[m][key], level) if resamples else (None, None)
        if resamples:
            low, high = bounds(difference, level)
            row.update(aurc_difference_low=low, aurc_difference_high=high, distinguishable=low > 0.0 or high < 0.0)
        else:
            row.update(aurc_difference_low=None, aurc_difference_high=None, distinguishable=None)
        result.append(row)
    return result
