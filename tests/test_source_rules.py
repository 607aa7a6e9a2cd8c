"""Rules of the C++ sources that no behaviour test can reach on every platform.

A `catch (...)` that is not preceded by the clause letting a forced unwind through would swallow
thread cancellation, or the host ending a daemon thread at exit, and abort the process.
"""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(p for folder in ("core", "module") if (ROOT / folder).is_dir()
                 for p in (ROOT / folder).rglob("*") if p.suffix in {".cpp", ".hpp"})


@pytest.mark.skipif(not SOURCES, reason="the C++ sources are not beside the tests")
def test_every_catch_all_lets_a_forced_unwind_through():
    offenders = []
    for path in SOURCES:
        # Comments blanked out, line breaks kept.
        text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
        for match in re.finditer(r"catch\s*\(\s*\.\.\.\s*\)", text):
            # The clause is the nearest handler before this one in the same try.
            before = text[:match.start()]
            previous_try = before.rfind("try {")
            if "ANNOTROVE_PASS_FORCED_UNWIND" not in before[previous_try:]:
                offenders.append(f"{path.relative_to(ROOT)}:{before.count(chr(10)) + 1}")
    assert not offenders, "catch (...) without ANNOTROVE_PASS_FORCED_UNWIND before it: " + ", ".join(offenders)
