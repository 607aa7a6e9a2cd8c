"""Eight threads calling every function at once, each on its own files, get the sequential results."""

import random
import sys
import threading

import pytest

import annotrove

THREADS = 8
ROUNDS = 15
METHODS = ["max-prob", "score-gap", "margin", "entropy", "score-ratio", "topk-gap", "effective-k",
           "candidate-count"]


def table(seed: int) -> str:
    """A labelled table of its own for each thread, so results differ between threads."""
    rng = random.Random(seed)
    lines = ["query_id,candidate_id,rank,score,probability,is_correct"]
    for q in range(rng.randint(20, 60)):
        count = rng.randint(1, 6)
        weights = [rng.random() for _ in range(count)]
        total = sum(weights)
        correct = rng.randrange(count + 1)  # sometimes none of the candidates is right
        for rank in range(count):
            probability = "" if rng.random() < 0.1 else repr(weights[rank] / total)
            label = "" if rng.random() < 0.05 else ("true" if rank == correct else "false")
            lines.append(f"q{seed}_{q},c{rank},{rank + 1},{rng.uniform(-5, 50)!r},{probability},{label}")
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
    return results


@pytest.fixture
def folder(tmp_path):
    for index in range(THREADS):
        (tmp_path / f"table_{index}.csv").write_text(table(index))
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
