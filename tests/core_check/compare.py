"""Runs the native and the Windows build of core_check on one corpus and compares them.

    python tests/core_check/compare.py CORPUS_DIR NATIVE_EXE -- WINDOWS_COMMAND...

Both programs run once over the corpus's inputs.txt, with CORPUS_DIR as the working directory.
Lines must be identical, with one exception: the score methods that take the C library's
logarithm or exponential (entropy, effective_k) and E-AURC (a logarithm) may differ in their last
bits, because each platform's C library rounds log and exp in its own way. For an input whose
lines differ only there, both programs print the input in detail and every confidence is held
against its counterpart; a difference beyond rounding, or anywhere else, fails. Exit status 0 when
nothing but such rounding differs, 1 otherwise.
"""

from __future__ import annotations

import math
import re
import struct
import subprocess
import sys
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

# Sections of a table's line that depend on the C library's log or exp.
LIBM_SECTIONS = frozenset({"entropy", "effective_k", "eaurc"})
# How far two confidences of the same query may lie apart, relative to the larger of 1 and their
# size: one rounding of log or exp, grown by the sums and the cancellation in 1 - H/ln(n).
TOLERANCE = 2.0**-40

FLOAT = re.compile(r"^([0-9a-f]{16})\(")


@dataclass
class Line:
    name: str
    kind: str
    # section -> digest, or {"error": message} when the whole input failed
    sections: dict[str, str]

    @staticmethod
    def parse(text: str) -> Line:
        fields = text.split("\t")
        if len(fields) == 4 and fields[2] == "error":
            return Line(fields[0], fields[1], {"error": fields[3]})
        return Line(fields[0], fields[1], dict(f.split("=", 1) for f in fields[2:]))


@dataclass
class Outcome:
    compared: int = 0
    identical: int = 0
    kinds: Counter = field(default_factory=Counter)
    # cause -> names of the inputs
    allowed: dict[str, list[str]] = field(default_factory=dict)
    failed: dict[str, list[str]] = field(default_factory=dict)
    largest_ulps: int = 0

    def allow(self, cause: str, name: str) -> None:
        self.allowed.setdefault(cause, []).append(name)

    def fail(self, cause: str, name: str) -> None:
        self.failed.setdefault(cause, []).append(name)


def bits_value(token: str) -> float:
    return struct.unpack("<d", struct.pack("<Q", int(token[:16], 16)))[0]


def ulps(a: float, b: float) -> int:
    def ordered(x: float) -> int:
        n = struct.unpack("<q", struct.pack("<d", x))[0]
        return n if n >= 0 else -(n & 0x7FFFFFFFFFFFFFFF)

    return abs(ordered(a) - ordered(b))


def close(a: float, b: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if math.isinf(a) or math.isinf(b):
        return a == b
    return abs(a - b) <= TOLERANCE * max(1.0, abs(a), abs(b))


def confidences(detail: list[str], section: str) -> list[tuple[str, str, float | None]]:
    """(query, candidate, confidence) of each decision in one section of a detailed printout."""
    out = []
    for line in detail:
        _, name, text = line.split("\t", 2)
        if name == section and text.startswith("decision "):
            words = text.split(" ")
            out.append((words[1], words[2], bits_value(words[4]) if FLOAT.match(words[4]) else None))
    return out


def eaurc_values(detail: list[str]) -> dict[str, float]:
    out = {}
    for line in detail:
        _, name, text = line.split("\t", 2)
        if name == "eaurc":
            method, value = text.split(" ")
            out[method] = bits_value(value)
    return out


def explain_rounding(name: str, sections: list[str], native: list[str], windows: list[str],
                     outcome: Outcome) -> str | None:
    """Why the detailed printouts differ, when only rounding of log and exp explains it."""
    moved = set()
    for section in sections:
        if section == "eaurc":
            continue
        mine, theirs = confidences(native, section), confidences(windows, section)
        if len(mine) != len(theirs) or not mine:
            return f"{section}: the decisions differ in number"
        for (q1, c1, v1), (q2, c2, v2) in zip(mine, theirs):
            if (q1, c1) != (q2, c2) or (v1 is None) != (v2 is None):
                return f"{section}: decision for {q1} differs beyond its confidence"
            if v1 is not None and v2 is not None:
                if not close(v1, v2):
                    return f"{section}: confidence of {q1} differs beyond rounding ({v1!r} and {v2!r})"
                if v1 != v2:
                    outcome.largest_ulps = max(outcome.largest_ulps, ulps(v1, v2))
                    moved.add(section)
    if "eaurc" in sections:
        mine, theirs = eaurc_values(native), eaurc_values(windows)
        for method in mine.keys() | theirs.keys():
            a, b = mine.get(method), theirs.get(method)
            # The E-AURC of a curve that itself differs follows that curve; otherwise only its
            # own logarithm may round differently.
            if a != b and method not in sections and (a is None or b is None or not close(a, b)):
                return f"eaurc of {method} differs beyond rounding"
    return None


# A hung Wine (a dialog waiting for nobody) must fail the check, not stall it.
TIMEOUT_SECONDS = 900


def run(command: list[str], corpus: Path, extra: list[str]) -> list[str]:
    try:
        result = subprocess.run(command + extra, cwd=corpus, capture_output=True, check=False,
                                timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise SystemExit(f"{command[-1]} did not finish within {TIMEOUT_SECONDS} s") from None
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit(f"{command[-1]} failed with exit status {result.returncode}")
    return result.stdout.decode("utf-8", errors="surrogateescape").splitlines()


def compare(corpus: Path, native_cmd: list[str], windows_cmd: list[str]) -> Outcome:
    native = run(native_cmd, corpus, ["--scratch", "scratch-native", "--list", "inputs.txt"])
    windows = run(windows_cmd, corpus, ["--scratch", "scratch-windows", "--list", "inputs.txt"])
    outcome = Outcome()
    suspects: dict[str, list[str]] = {}
    for index in range(max(len(native), len(windows))):
        if index >= len(native) or index >= len(windows):
            outcome.fail("one build printed fewer lines", f"line {index + 1}")
            continue
        mine, theirs = Line.parse(native[index]), Line.parse(windows[index])
        outcome.compared += 1
        outcome.kinds[mine.kind] += 1
        if native[index] == windows[index]:
            outcome.identical += 1
            continue
        if mine.name != theirs.name or mine.kind != theirs.kind:
            outcome.fail("the builds printed different inputs", f"{mine.name} / {theirs.name}")
        elif "error" in mine.sections or "error" in theirs.sections:
            cause = "error messages differ" if "error" in mine.sections and "error" in theirs.sections \
                else "one build failed, the other did not"
            outcome.fail(cause, mine.name)
        else:
            differing = sorted(s for s in mine.sections.keys() | theirs.sections.keys()
                               if mine.sections.get(s) != theirs.sections.get(s))
            if mine.kind == "table" and set(differing) <= LIBM_SECTIONS:
                suspects[mine.name] = differing
            else:
                outcome.fail("differ in " + ", ".join(differing), mine.name)

    if suspects:
        (corpus / "suspects.txt").write_bytes(
            "".join(n + "\n" for n in suspects).encode("utf-8", errors="surrogateescape"))
        detail_native = run(native_cmd, corpus, ["--detail", "--list", "suspects.txt"])
        detail_windows = run(windows_cmd, corpus, ["--detail", "--list", "suspects.txt"])
        for name, sections in suspects.items():
            mine = [line for line in detail_native if line.split("\t", 1)[0] == name]
            theirs = [line for line in detail_windows if line.split("\t", 1)[0] == name]
            reason = explain_rounding(name, sections, mine, theirs, outcome)
            if reason is None:
                outcome.allow("last bits of log/exp in " + ", ".join(sections), name)
            else:
                outcome.fail(reason, name)
    return outcome


def report(outcome: Outcome) -> str:
    kinds = ", ".join(f"{n} {k} files" if k == "policy" else f"{n} {k}s" for k, n in sorted(outcome.kinds.items()))
    differing = sum(len(v) for v in outcome.allowed.values()) + sum(len(v) for v in outcome.failed.values())
    lines = [f"compared {outcome.compared} inputs ({kinds}): {outcome.identical} identical, "
             f"{differing} differ"]
    for cause, names in sorted(outcome.allowed.items()):
        lines.append(f"  allowed, {cause}: {len(names)} ({', '.join(names[:5])}"
                     f"{', ...' if len(names) > 5 else ''})")
    if outcome.largest_ulps:
        lines.append(f"  largest confidence difference: {outcome.largest_ulps} units in the last place")
    for cause, names in sorted(outcome.failed.items()):
        lines.append(f"  FAILED, {cause}: {len(names)} ({', '.join(names[:5])}"
                     f"{', ...' if len(names) > 5 else ''})")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) < 4 or argv[2] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    corpus = Path(argv[0]).resolve()
    outcome = compare(corpus, [str(Path(argv[1]).resolve())], argv[3:])
    print(report(outcome))
    return 1 if outcome.failed or not outcome.compared else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
