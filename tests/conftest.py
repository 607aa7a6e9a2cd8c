import os
import pathlib
import sys

import pytest
from hypothesis import settings

# Under the sanitizers each example costs many times more: HYPOTHESIS_PROFILE=sanitized (set by
# scripts/sanitized_tests.sh) drops the deadline and the default number of examples.
settings.register_profile("sanitized", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# The test-only probe module is built beside the installed package, never into it.
if os.environ.get("ANNOTROVE_PROBE_DIR"):
    sys.path.insert(0, os.environ["ANNOTROVE_PROBE_DIR"])


@pytest.fixture
def write_csv(tmp_path: pathlib.Path):
    """Writes text (or bytes) to a fresh CSV file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content: str | bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"table_{next(counter)}.csv")
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_bytes(content.encode("utf-8"))
        return str(path)

    return write


LABELLED_TABLE = (
    "query_id,candidate_id,rank,score,probability,is_correct\n"
    "q1,a,1,10,0.6,true\n"
    "q1,b,2,6,0.3,false\n"
    "q1,c,3,2,0.1,false\n"
    "q2,d,1,5,0.5,false\n"
    "q2,e,2,4,0.5,true\n"
)


@pytest.fixture
def labelled_csv(write_csv) -> str:
    return write_csv(LABELLED_TABLE)
