"""Reading under an address-space limit: the row estimate the reader takes from the first rows is
only a hint, so a table whose first rows are short and later rows long reserves no more than its
rows need plus a bounded amount.

Each read runs in a child process that limits its own address space (RLIMIT_AS) to what it uses
after importing plus a headroom. The same rows with the long ones first are the control: they fit
the same headroom, so a MemoryError is the estimate's fault, not the limit's.
"""

import hashlib
import os
import subprocess
import sys
import textwrap

import pytest

resource = pytest.importorskip("resource")
pytestmark = [
    pytest.mark.skipif(
        not hasattr(resource, "RLIMIT_AS") or not os.path.exists("/proc/self/status"),
        reason="needs an address-space limit and /proc to measure the starting size"),
    # AddressSanitizer reserves terabytes of shadow address space up front.
    pytest.mark.skipif(bool(os.environ.get("ANNOTROVE_SANITIZED")),
                       reason="an address-space limit cannot hold a sanitized process"),
]

LONG_ROWS = 4000
LONG_TEXT = 20_000  # a SMILES-sized cell; 80 MB of them in all

CHILD = textwrap.dedent("""
    import hashlib, resource, sys
    path, function, headroom = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if function == "read_candidates":
        import _annotrove_probe as probe
        read = lambda: probe.read_candidates(path)
    else:
        import annotrove
        read = lambda: annotrove.compute_curve(path, "score-gap")
    size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
    try:
        print(hashlib.sha256(repr(read()).encode()).hexdigest())
    except MemoryError:
        print("MemoryError")
""")


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    """The same rows twice: 1,024 short ones first, and the long ones first."""
    folder = tmp_path_factory.mktemp("memory_limit")
    header = "query_id,candidate_id,rank,score,is_correct,smiles\n"
    short = "".join(f"q{i // 2},{'cd'[i % 2]},{i % 2 + 1},{i % 7},{'true' if i % 4 else ''},\n"
                    for i in range(1024))
    cell = "C" * LONG_TEXT
    long_rows = "".join(f"r{i // 2},c{i},{i % 2 + 1},{i % 5},{'true' if i % 3 else 'false'},{cell}\n"
                        for i in range(LONG_ROWS))
    short_first = folder / "short_first.csv"
    short_first.write_text(header + short + long_rows)
    long_first = folder / "long_first.csv"
    long_first.write_text(header + long_rows + short)
    return {"short_first": short_first, "long_first": long_first}


# The headroom lies between what the rows and the bounded reservation need (measured: 80 MB for
# the curve, 280 MB for the records) and what the estimate, about 5 million rows for 5,024, used
# to take (180 MB for the curve; over 380 MB for the records). Reading the whole records keeps
# their texts, in the core and again as Python strings, hence its larger headroom.
@pytest.mark.parametrize("function, headroom_mb", [("compute_curve", 120), ("read_candidates", 330)])
@pytest.mark.parametrize("order", ["short_first", "long_first"])
def test_short_first_rows_do_not_inflate_the_reservation(tables, function, headroom_mb, order):
    if function == "read_candidates":
        pytest.importorskip("_annotrove_probe")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run([sys.executable, "-c", CHILD, str(tables[order]), function,
                            str(headroom_mb << 20)],
                           capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() != "MemoryError"
    if function == "read_candidates":
        import _annotrove_probe
        got = _annotrove_probe.read_candidates(str(tables[order]))
        assert len(got) == LONG_ROWS + 1024
    else:
        import annotrove
        got = annotrove.compute_curve(str(tables[order]), "score-gap")
        assert got
    assert child.stdout.strip() == hashlib.sha256(repr(got).encode()).hexdigest()
