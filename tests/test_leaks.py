"""No call keeps anything: every function, on success and on each error path, called in a loop.

The cases and the measurement live in bench/leak_check.py, which runs them 100,000 times each;
here each runs a thousand times. Under the sanitizers PYTHONMALLOC=malloc leaves the interpreter's
block count at zero and the leak checker takes over, so these tests are skipped there.
"""

import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import leak_check  # noqa: E402

ITERATIONS = 1000

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("ANNOTROVE_SANITIZED")) or sys.getallocatedblocks() == 0,
    reason="the interpreter counts no blocks with PYTHONMALLOC=malloc; LeakSanitizer checks instead",
)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return leak_check.Files(str(tmp_path_factory.mktemp("leaks")))


@pytest.mark.parametrize("case", leak_check.CASES, ids=[c.name for c in leak_check.CASES])
def test_repeated_calls_keep_no_blocks_and_no_descriptors(case, files):
    figures = leak_check.measure(case, files, ITERATIONS)
    assert figures.block_growth <= leak_check.BLOCK_SLACK + case.slack, figures
    assert figures.total_block_growth <= 4 * leak_check.BLOCK_SLACK + 2 * case.slack, figures
    assert figures.fd_growth == 0, figures


def test_peak_memory_does_not_grow_over_a_second_batch(files):
    # The first batch brings every buffer the calls need to its size; a second one must not
    # raise the peak.
    for case in leak_check.CASES:
        leak_check.run_case(case, files, 200)
    first = leak_check.peak_rss_kib()
    for case in leak_check.CASES:
        leak_check.run_case(case, files, 200)
    assert leak_check.peak_rss_kib() - first <= leak_check.PEAK_SLACK_KIB


def test_every_function_has_a_success_and_an_error_case():
    names = {c.name.split()[0] for c in leak_check.CASES}
    assert names == set(__import__("annotrove").__all__)
    for name in names:
        outcomes = {c.raises is None for c in leak_check.CASES if c.name.split()[0] == name}
        assert outcomes == {True, False}, name


# The measurement itself must see a leak, or the tests above prove nothing.
_kept: list[object] = []
_opened: list[object] = []


def _keep_one_object(files):
    _kept.append(object())


def _keep_one_descriptor(files):
    _opened.append(open(files.policy, "rb"))


@pytest.mark.parametrize(
    "call, grows",
    [(_keep_one_object, "blocks"), (_keep_one_descriptor, "fds")],
    ids=["one object per call", "one descriptor per call"],
)
def test_the_measurement_sees_one_kept_object_or_descriptor_per_call(files, call, grows):
    if grows == "fds" and leak_check.open_descriptors() is None:
        pytest.skip("no /proc/self/fd here")
    try:
        figures = leak_check.measure(leak_check.Case("planted", call), files, 200)
    finally:
        for file in _opened:
            file.close()
        _opened.clear()
        _kept.clear()
    assert leak_check.grew(figures)
    if grows == "blocks":
        assert figures.block_growth >= 100  # the second half of the calls
    else:
        assert figures.fd_growth == 200
