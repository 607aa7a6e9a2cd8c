"""Threads and the interpreter lock.

Eight threads calling every function at once, each on its own files, get the sequential results,
errors included, while the table functions run without the lock. And a call that waits inside the
core for its table leaves the lock free for another thread's call to run start to end.
"""

import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import annotrove

THREADS = 8
ROUNDS = 15
METHODS = ["max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap", "effective-k",
           "candidate-count"]


def table(seed: int, queries: tuple[int, int] = (20, 60)) -> str:
    """A labelled table of its own for each thread, so results differ between threads."""
    rng = random.Random(seed)
    lines = ["query_id,candidate_id,rank,score,probability,is_correct"]
    for q in range(rng.randint(*queries)):
        count = rng.randint(1, 6)
        weights = [rng.random() for _ in range(count)]
        total = sum(weights)
        correct = rng.randrange(count + 1)  # sometimes none of the candidates is right
        for rank in range(count):
            probability = "" if rng.random() < 0.1 else repr(weights[rank] / total)
            label = "" if rng.random() < 0.05 else ("true" if rank == correct else "false")
            lines.append(f"q{seed}_{q},c{rank},{rank + 1},{rng.uniform(-5, 50)!r},{probability},{label}")
    if seed % 2:
        # Scattered queries take the path that gathers their rows.
        body = lines[1:]
        rng.shuffle(body)
        lines[1:] = body
    return "\n".join(lines) + "\n"


def faulty_table(seed: int) -> str:
    """A larger table with one bad cell far down, so the read fails while it is well under way."""
    lines = table(seed, (300, 400)).splitlines()
    row = random.Random(seed).randrange(len(lines) // 2, len(lines))
    fields = lines[row].split(",")
    if seed % 3:
        fields[2] = "0x"  # a rank without digits
    else:
        fields.append("extra")
    lines[row] = ",".join(fields)
    return "\n".join(lines) + "\n"


def outcome(call):
    try:
        return "ok", repr(call())
    except Exception as error:  # every error path is compared too
        return type(error).__name__, str(error)


def workload(folder, index: int) -> list:
    """Every function on this thread's files, successes and failures, as comparable texts."""
    csv_path = str(folder / f"table_{index}.csv")
    policy_path = str(folder / f"policy_{index}.json")
    method = METHODS[index % len(METHODS)]
    results = []
    curve = annotrove.compute_curve(csv_path, method)
    results.append(repr(curve))
    results.append(outcome(lambda: annotrove.aurc(curve)))
    results.append(outcome(lambda: annotrove.eaurc(curve)))
    for calibration in (("empirical",), ("crc",), ("binomial", 0.95)):
        policy = annotrove.calibrate(csv_path, method, 0.2, *calibration)
        results.append(repr(policy))
        annotrove.save_policy(policy_path, policy)
        loaded = annotrove.load_policy(policy_path)
        results.append(repr(loaded))
        results.append(outcome(lambda: annotrove.apply_policy(csv_path, loaded)))
    results.append(outcome(lambda: annotrove.compute_curve(csv_path + ".missing", method)))
    results.append(outcome(lambda: annotrove.calibrate(csv_path, method, 0.1, "binomial", 0.8)))
    results.append(outcome(lambda: annotrove.load_policy(csv_path)))
    results.append(outcome(lambda: annotrove.aurc([{"threshold": 1.0}])))
    bad_path = str(folder / f"bad_{index}.csv")
    results.append(outcome(lambda: annotrove.compute_curve(bad_path, method)))
    results.append(outcome(lambda: annotrove.calibrate(bad_path, method, 0.2)))
    results.append(outcome(lambda: annotrove.apply_policy(bad_path, loaded)))
    return results


@pytest.fixture
def folder(tmp_path):
    for index in range(THREADS):
        (tmp_path / f"table_{index}.csv").write_text(table(index))
        (tmp_path / f"bad_{index}.csv").write_text(faulty_table(index))
    return tmp_path


def test_eight_threads_get_the_sequential_results(folder):
    expected = [workload(folder, index) for index in range(THREADS)]
    assert len({repr(e) for e in expected}) == THREADS  # the threads really do differ

    got: list[list] = [[] for _ in range(THREADS)]
    failures: list[BaseException] = []
    start = threading.Barrier(THREADS)

    def run(index: int) -> None:
        try:
            start.wait()
            for _ in range(ROUNDS):
                got[index].append(workload(folder, index))
        except BaseException as error:  # reported below, not lost in the thread
            failures.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    assert not failures, failures
    for index in range(THREADS):
        assert len(got[index]) == ROUNDS
        for round_results in got[index]:
            assert round_results == expected[index]


# The child's reader thread opens a named pipe inside the call and blocks reading it; the main
# thread opens the pipe's writing end (which returns only once the reader has opened it, so the
# call is under way), runs its own whole call on another file, and only then writes the table.
# Were the lock held while the reader waits, the main thread could never run again: the child
# would hang and be killed.
OVERLAP_CHILD = textwrap.dedent("""
    import sys, threading, annotrove
    function, pipe, other = sys.argv[1:4]
    policy = annotrove.calibrate(other, "margin", 0.3)
    call = {
        "compute_curve": lambda path: annotrove.compute_curve(path, "margin"),
        "calibrate": lambda path: annotrove.calibrate(path, "margin", 0.3),
        "apply_policy": lambda path: annotrove.apply_policy(path, policy),
    }[function]
    got = {}
    waiting = threading.Thread(target=lambda: got.setdefault("pipe", call(pipe)))
    waiting.start()
    with open(pipe, "wb", buffering=0) as writer:
        got["other"] = call(other)
        writer.write(open(other, "rb").read())
    waiting.join()
    print(repr(got["pipe"]) == repr(got["other"]))
""")


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
@pytest.mark.parametrize("function", ["compute_curve", "calibrate", "apply_policy"])
def test_a_call_waiting_for_its_table_lets_another_thread_call_meanwhile(tmp_path, function):
    pipe = tmp_path / "pipe.csv"
    os.mkfifo(pipe)
    other = tmp_path / "other.csv"
    other.write_text(table(3))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run([sys.executable, "-c", OVERLAP_CHILD, function, str(pipe), str(other)],
                           capture_output=True, text=True, timeout=60, env=env)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "True"
