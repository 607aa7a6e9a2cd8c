"""What a user's install gets: the version attribute, a build without warnings as errors and out
of the source tree, and scripts that take the Python versions the package supports."""

import ast
import importlib.metadata
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tomllib

import pytest

import annotrove
from test_cli import COMMAND, environment

ROOT = pathlib.Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
STUB = ROOT / "stubs" / "annotrove-stubs" / "__init__.pyi"


def test_version_is_the_distribution_s_and_stays_out_of_all():
    try:
        expected = importlib.metadata.version("annotrove")
    except importlib.metadata.PackageNotFoundError:
        expected = PYPROJECT["project"]["version"]
    assert annotrove.__version__ == expected
    assert "__version__" not in annotrove.__all__
    namespace: dict[str, object] = {}
    exec("from annotrove import *", namespace)
    assert "__version__" not in namespace


def test_the_stub_declares_the_version():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (declared,) = [node for node in tree.body
                   if isinstance(node, ast.AnnAssign) and ast.unparse(node.target) == "__version__"]
    assert ast.unparse(declared.annotation) == "str"


def test_pip_install_builds_outside_the_source_tree():
    build_dir = PYPROJECT["tool"]["scikit-build"].get("build-dir")
    # No build-dir means a temporary folder; a relative one would lie in the source tree.
    assert build_dir is None or os.path.isabs(build_dir)


def cmake() -> str:
    found = shutil.which("cmake") or str(pathlib.Path(sys.executable).parent / "cmake")
    if not os.path.exists(found):
        pytest.skip("cmake not found")
    return found


@pytest.mark.skipif(os.name == "nt", reason="checks the GCC/Clang flag")
@pytest.mark.parametrize(("option", "werror"), [([], False), (["-DANNOTROVE_WERROR=ON"], True)])
def test_warnings_are_errors_only_where_the_project_asks(tmp_path, option, werror):
    # The core alone: configuring is enough, the flags are in the compile commands.
    done = subprocess.run([cmake(), "-S", str(ROOT), "-B", str(tmp_path), "-DANNOTROVE_PYTHON_MODULE=OFF",
                           "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", *option],
                          capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        pytest.skip(f"cmake could not configure here: {done.stderr[-300:]}")
    commands = json.loads((tmp_path / "compile_commands.json").read_text())
    assert commands and all(("-Werror" in c["command"].split()) == werror for c in commands)


@pytest.mark.parametrize("script", ["test.sh", "sanitized_tests.sh", "fuzz.sh", "windows_check.sh",
                                    "dev_build.sh", "example.sh"])
def test_the_project_s_own_builds_keep_warnings_as_errors(script):
    assert "ANNOTROVE_WERROR=ON" in (ROOT / "scripts" / script).read_text(encoding="utf-8")


def bash_with_only(tmp_path: pathlib.Path, interpreters: dict[str, str]) -> dict[str, str]:
    """An environment whose PATH holds bash's tools and the given interpreters, and no pyenv."""
    folder = tmp_path / "bin"
    folder.mkdir()
    for name, target in interpreters.items():
        (folder / name).symlink_to(target)
    for tool in ("bash", "dirname", "cat"):
        (folder / tool).symlink_to(shutil.which(tool))
    return {"PATH": str(folder), "HOME": str(tmp_path)}


def python_3_13() -> str:
    """The interpreter itself, not a launcher such as pyenv's shim, which needs pyenv on PATH."""
    pyenv_root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    candidates = [shutil.which("python3.13"), *map(str, sorted(pyenv_root.glob("versions/3.13*/bin/python3.13")))]
    for candidate in filter(None, candidates):
        done = subprocess.run([candidate, "-c", "import sys; print(sys.executable)"], capture_output=True, text=True)
        if done.returncode == 0:
            return done.stdout.strip()
    return ""


PYTHON_313 = python_3_13()


@pytest.mark.skipif(os.name == "nt" or shutil.which("bash") is None, reason="the scripts are bash")
@pytest.mark.skipif(not PYTHON_313, reason="no Python 3.13 here")
@pytest.mark.parametrize("given", ["on PATH", "as PYTHON"])
def test_the_scripts_take_python_3_13_alone(tmp_path, given):
    if given == "on PATH":
        env = bash_with_only(tmp_path, {"python3.13": PYTHON_313})
    else:
        env = dict(bash_with_only(tmp_path, {}), PYTHON=PYTHON_313)
    done = subprocess.run(["bash", "-c", '. scripts/find_python.sh && find_python && echo "$PYTHON_BIN"'],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() in (str(tmp_path / "bin" / "python3.13"), PYTHON_313)


@pytest.mark.skipif(os.name == "nt" or shutil.which("bash") is None, reason="the scripts are bash")
def test_the_example_script_refuses_arguments_it_would_ignore(tmp_path):
    # No Python on PATH: a script that went on would stop at finding one, with another status.
    done = subprocess.run(["bash", str(ROOT / "scripts" / "example.sh"), "--table", "mine.csv"],
                          env=bash_with_only(tmp_path, {}), capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "takes no arguments" in done.stderr


def test_the_readme_examples_run_as_they_stand(tmp_path):
    # From a copy of the source folder's examples, as a user pasting them would.
    shutil.copytree(ROOT / "examples" / "data", tmp_path / "examples" / "data")
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    for snippet in readme.split("```python\n")[1:]:
        code = snippet.split("```")[0]
        done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=environment(),
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
    shell = [block.split("```")[0] for block in readme.split("```sh\n")[1:]]
    commands = [line.split("#")[0].split() for block in shell for line in block.splitlines()
                if line.startswith("annotrove ")]
    assert commands
    for argv in commands:
        done = subprocess.run([*COMMAND, *argv[1:]], cwd=tmp_path, env=environment(), capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, (argv, done.stderr)
