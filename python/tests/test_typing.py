"""The package's types accept what host software passes (numpy arrays in
every buffer parameter) and still refuse what is wrong, under mypy --strict."""

from __future__ import annotations

import os
import re
import shutil
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


def test_arrays_have_the_dtype_asked_for_and_bytes_are_no_destination() -> None:
    pytest.importorskip("numpy")
    pytest.importorskip("mypy")
    checked = mypy("-c", "\n".join([
        "import numpy as np",
        "import veltra",
        "card = veltra.open(0)",
        "reveal_type(card.allocate(16, np.float32))",
        "reveal_type(card.allocate(8))",
        "reveal_type(card.read_dma(0, 64, dtype=np.uint32))",
        "reveal_type(card.window(1).map(0, 4096).array(np.uint16))",
        "reveal_type(card.window(0).read(0))",
        "card.read_dma_into(b'immutable', 0)",
        "card.window(0).read_into(0, b'immutable')",
        "card.read_dma_into(bytearray(4), 0)",
    ]))
    lines = checked.stdout.splitlines()
    revealed = [line.split("Revealed type is ")[1] for line in lines if "Revealed type" in line]
    assert revealed == [
        '"numpy.ndarray[Any, numpy.dtype[numpy.floating[numpy._typing._32Bit]]]"',
        '"numpy.ndarray[Any, numpy.dtype[numpy.unsignedinteger[numpy._typing._8Bit]]]"',
        '"numpy.ndarray[Any, numpy.dtype[numpy.unsignedinteger[numpy._typing._32Bit]]]"',
        '"numpy.ndarray[Any, numpy.dtype[numpy.unsignedinteger[numpy._typing._16Bit]]]"',
        '"builtins.int"',
    ], checked.stdout
    refused = [line for line in lines if "incompatible type \"bytes\"" in line]
    assert [line.split(":")[1] for line in refused] == ["9", "10"], checked.stdout


def test_the_public_interface_is_typed_to_98_percent() -> None:
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (npm install -g pyright)")
    done = subprocess.run(
        [pyright, "--verifytypes", "veltra", "--ignoreexternal", "--pythonpath", sys.executable],
        capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(PACKAGE)),
        check=False, timeout=300)
    score = re.search(r"Type completeness score: ([\d.]+)%", done.stdout)
    assert score is not None, done.stdout + done.stderr
    assert float(score.group(1)) >= 98.0, done.stdout
