"""The package's types accept what host software passes (numpy arrays in
every buffer parameter) and still refuse what is wrong, under mypy --strict."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE = HERE.parent


def mypy(*arguments: str) -> subprocess.CompletedProcess[str]:
    environment = dict(os.environ, MYPYPATH=str(PACKAGE))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *arguments],
        capture_output=True, text=True, env=environment, check=False,
    )


def test_a_numpy_client_type_checks_and_runs() -> None:
    pytest.importorskip("numpy")
    pytest.importorskip("mypy")
    checked = mypy(str(HERE / "numpy_client.py"))
    assert checked.returncode == 0, checked.stdout
    wrong = mypy("-c", "import veltra\nveltra.open(0).write_dma(5, 0)\n")
    assert wrong.returncode == 1 and 'Argument 1 to "write_dma"' in wrong.stdout
    run = subprocess.run([sys.executable, str(HERE / "numpy_client.py")], capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=str(PACKAGE)), check=False)
    assert run.returncode == 0 and run.stdout == "numpy client: ok\n", run.stderr
