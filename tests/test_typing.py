"""The type stubs agree with the compiled modules, and type-check real code."""

import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
pytest.importorskip("mypy")


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300
    )


def test_stubs_match_the_runtime(tmp_path):
    # Run outside the checkout, so that the installed package is the one checked.
    # On 3.9, stubtest takes the typing names that a module without a .pyi imports
    # (Any, Protocol, ...) for its own and reports them; there the compiled
    # modules, the ones with stubs, are checked.
    modules = (
        ["brisvane"] if sys.version_info >= (3, 10) else ["brisvane.mailer", "brisvane.template"]
    )
    result = run("mypy.stubtest", *modules, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("example", ["quickstart.py", "preview_templates.py"])
def test_examples_pass_strict_checking(example, tmp_path):
    result = run(
        "mypy",
        "--strict",
        "--cache-dir",
        str(tmp_path / "cache"),
        str(ROOT / "examples" / example),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
