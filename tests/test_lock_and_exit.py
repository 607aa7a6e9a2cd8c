"""The interpreter lock around file I/O, a daemon thread inside a call at interpreter exit, and
subinterpreters.

Each scenario runs in a child process: the thing under test is how that process waits, exits or
imports, which a failure would turn into a hang or an abort of the test run itself.
"""

import os
import subprocess
import sys
import textwrap

import pytest

needs_fifo = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")

TABLE = (
    "query_id,candidate_id,rank,score,probability,is_correct\n"
    "q1,a,1,10,0.6,true\n"
    "q1,b,2,6,0.3,false\n"
    "q2,c,1,5,0.5,false\n"
)

# Calls made by a thread on the named pipe `pipe`. The policy functions take part too: they
# release the lock around their file I/O like the table functions.
CALLS = textwrap.dedent("""
    import annotrove
    POLICY = {"version": "0.1.0", "scoring_method": "margin", "threshold": 0.5,
              "target_error_rate": 0.1, "calibration_method": "empirical",
              "confidence_level": None, "created_by": "tests"}
    CALL = {
        "compute_curve": lambda path: annotrove.compute_curve(path, "margin"),
        "calibrate": lambda path: annotrove.calibrate(path, "margin", 0.3),
        "apply_policy": lambda path: annotrove.apply_policy(path, POLICY),
        "load_policy": lambda path: annotrove.load_policy(path),
        "save_policy": lambda path: annotrove.save_policy(path, POLICY),
    }
    READS_PIPE = {"compute_curve", "calibrate", "apply_policy", "load_policy"}
""")

FUNCTIONS = ["compute_curve", "calibrate", "apply_policy", "load_policy", "save_policy"]


def run_child(script: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


def pipe_content(function: str) -> bytes:
    if function == "load_policy":
        return (b'{"version":"0.1.0","scoring_method":"margin","threshold":0.5,'
                b'"target_error_rate":0.1,"calibration_method":"empirical",'
                b'"confidence_level":null,"created_by":"tests"}')
    return TABLE.encode()


# A daemon thread blocks inside the call on the pipe; the main thread ends. The other end of the
# pipe arrives only during finalization (from a finalizer of an object that only interpreter
# teardown releases), so the thread finishes its work and asks for the lock back while the
# interpreter is finalizing: the host then ends the thread. The finalizer waits until the
# thread is gone (or a while, where /proc is missing) so that the child really gets there.
EXIT_CHILD = CALLS + textwrap.dedent("""
    import os, sys, threading, time, types
    function, pipe, content = sys.argv[1], sys.argv[2], sys.argv[3].encode("latin-1")
    thread = threading.Thread(target=CALL[function], args=(pipe,), daemon=True)
    thread.start()

    class OtherEndAtExit:
        def __del__(self, os=os, time=time, function=function, pipe=pipe, content=content,
                    tid=thread.native_id):
            if function in READS_PIPE:
                end = os.open(pipe, os.O_WRONLY)
                os.write(end, content)
            else:
                end = os.open(pipe, os.O_RDONLY)
                while os.read(end, 65536):
                    pass
            os.close(end)
            task = f"/proc/self/task/{tid}"
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and os.path.exists("/proc/self/task"):
                if not os.path.exists(task):
                    break
                time.sleep(0.01)
            else:
                time.sleep(1)
            os.write(1, b"finalized\\n")

    holder = types.ModuleType("annotrove_exit_holder")
    sys.modules[holder.__name__] = holder
    holder.keep = OtherEndAtExit()
    time.sleep(0.2)  # the thread is blocked in the call by now (either way the test holds)
""")


@needs_fifo
@pytest.mark.parametrize("function", FUNCTIONS)
def test_a_daemon_thread_inside_a_call_does_not_abort_interpreter_exit(tmp_path, function):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    child = run_child(EXIT_CHILD, function, str(pipe), pipe_content(function).decode("latin-1"))
    assert "terminate" not in child.stderr
    assert child.returncode == 0, child.stderr
    assert child.stdout == "finalized\n"


# While one thread waits inside load_policy or save_policy for the other end of a pipe, the main
# thread keeps running Python code, and only then opens the other end. Were the lock held during
# the file I/O, the main thread would never run again and the child would be killed.
LOCK_CHILD = CALLS + textwrap.dedent("""
    import os, sys, threading, time
    function, pipe, content = sys.argv[1], sys.argv[2], sys.argv[3].encode("latin-1")
    got = {}
    waiting = threading.Thread(target=lambda: got.setdefault("result", CALL[function](pipe)))
    waiting.start()
    time.sleep(0.2)
    counted = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        counted += 1
    if function in READS_PIPE:
        with open(pipe, "wb") as end:
            end.write(content)
    else:
        with open(pipe, "rb") as end:
            got["written"] = end.read()
    waiting.join()
    print(counted > 1000, got["result"] == (None if function == "save_policy" else POLICY))
    if function == "save_policy":
        import json
        print(json.loads(got["written"]) == dict(POLICY, created_by="annotrove"))
""")


@needs_fifo
@pytest.mark.parametrize("function", ["load_policy", "save_policy"])
def test_policy_file_io_leaves_the_lock_to_other_threads(tmp_path, function):
    pipe = tmp_path / "policy.json"
    os.mkfifo(pipe)
    child = run_child(LOCK_CHILD, function, str(pipe), pipe_content(function).decode("latin-1"),
                      timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["True", "True"] + (["True"] if function == "save_policy" else [])


# An interpreter of its own must not share the module's process-wide objects: the import there
# fails with ImportError, and the main interpreter's module keeps working.
SUBINTERPRETER_CHILD = textwrap.dedent("""
    import sys
    try:
        import _interpreters as interpreters
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable")
            raise SystemExit
    import annotrove
    table, outcome = sys.argv[1:]
    before = annotrove.compute_curve(table, "margin")
    interp = interpreters.create()
    code = (
        "import sys\\n"
        f"sys.path[:0] = {sys.path!r}\\n"
        "try:\\n"
        "    import annotrove\\n"
        "except ImportError as error:\\n"
        "    assert 'subinterpreter' in str(error), error\\n"
        "    result = 'refused'\\n"
        "else:\\n"
        f"    assert annotrove.compute_curve({table!r}, 'margin') == {before!r}\\n"
        "    result = 'works'\\n"
        f"open({outcome!r}, 'w').write(result)\\n"
    )
    failure = interpreters.run_string(interp, code)
    interpreters.destroy(interp)
    print("failed" if failure else "clean", annotrove.compute_curve(table, "margin") == before)
""")


def test_importing_in_a_subinterpreter_fails_cleanly(tmp_path):
    table = tmp_path / "table.csv"
    table.write_text(TABLE)
    outcome = tmp_path / "outcome"
    child = run_child(SUBINTERPRETER_CHILD, str(table), str(outcome))
    if child.stdout.strip() == "unavailable":
        pytest.skip("this Python has no subinterpreter module")
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "clean True", child.stderr
    assert outcome.read_text() == "refused"
