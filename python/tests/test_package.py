"""The package as it is installed and loaded: the wheel of the in-tree build
backend, and where the libraries are looked for."""

from __future__ import annotations

import base64
import csv
import hashlib
import importlib.util
import io
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import PYTHON_FOLDER


def test_wheel_holds_the_package_and_a_true_record(tmp_path: Path) -> None:
    spec = importlib.util.spec_from_file_location("backend", PYTHON_FOLDER / "_build" / "backend.py")
    assert spec is not None and spec.loader is not None
    backend = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(backend)
    assert backend.get_requires_for_build_wheel() == []

    name = backend.build_wheel(str(tmp_path))
    assert name == "veltra-1.4.16-py3-none-any.whl"
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = set(wheel.namelist())
        assert {"veltra/__init__.py", "veltra/py.typed", "veltra/_card.py"} <= names
        assert not any("__pycache__" in n or n.startswith("tests/") for n in names)
        record = wheel.read("veltra-1.4.16.dist-info/RECORD").decode()
        rows = list(csv.reader(io.StringIO(record)))
        assert {row[0] for row in rows} == names
        for path, digest, size in rows:
            if path.endswith("RECORD"):
                assert digest == size == ""
                continue
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert (digest, int(size)) == ("sha256=" + expected.decode(), len(data))
        metadata = wheel.read("veltra-1.4.16.dist-info/METADATA").decode()
        assert "Name: veltra\nVersion: 1.4.16\n" in metadata
        # Keywords are one field, separated by commas.
        assert [l for l in metadata.splitlines() if l.startswith("Keywords:")] == [
            "Keywords: fpga,pcie,dma,veltra"]
        assert "Tag: py3-none-any" in wheel.read("veltra-1.4.16.dist-info/WHEEL").decode()


def _run(code: str, **env: str) -> subprocess.CompletedProcess[str]:
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_FOLDER), **env)
    return subprocess.run([sys.executable, "-c", code], env=environment,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.skipif(sys.platform != "linux", reason="the Linux library names and search path")
def test_library_search() -> None:
    missing = _run(
        "import veltra\n"
        "try:\n    veltra.cards()\n"
        "except veltra.LibraryError as e:\n    print(e)\n",
        VELTRA_LIBRARY_PATH="/nonexistent", LD_LIBRARY_PATH="", VELTRA_CHECKED="",
    )
    assert missing.returncode == 0, missing.stderr  # importing needs no library
    assert "cannot find libveltra.so" in missing.stdout
    assert "/nonexistent/libveltra.so" in missing.stdout

    checked = _run(
        "import veltra; veltra.cards(); veltra.open_bridge(0).close()\n"
        "maps = open('/proc/self/maps').read()\n"
        "print('libveltrad.so' in maps, 'libkestad.so' in maps, 'libveltra.so' in maps)\n",
        VELTRA_CHECKED="1",
    )
    assert checked.stdout.split() == ["True", "True", "False"], checked.stderr


def test_example_script_lists_the_cards_and_moves_data() -> None:
    example = PYTHON_FOLDER.parent / "examples" / "python_cards.py"
    run = subprocess.run([sys.executable, str(example)], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, PYTHONPATH=str(PYTHON_FOLDER)))
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("card 0: board 0x7038 revision 2 serial 0x00A1B2C3")
    assert lines[-1] == "DMA: 1 MiB to card memory and back: the same bytes"


def test_the_readme_examples_run_as_written() -> None:
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    examples = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert examples, "the README has Python examples"
    for example in examples:
        run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=str(PYTHON_FOLDER)), check=False)
        assert run.returncode == 0, (example, run.stderr)


def test_a_wheel_that_carries_the_linux_libraries_installs_offline(tmp_path: Path) -> None:
    # As `make package` builds it: the package and the build's libraries in
    # one wheel, which a fresh environment installs with no index and uses
    # with nothing else set.
    libraries = os.environ.get("VELTRA_LIBRARY_PATH", "")
    if sys.platform != "linux" or not os.path.isfile(os.path.join(libraries, "libveltra.so")):
        pytest.skip("needs a Linux build's libraries")
    quiet = ["--no-index", "--no-cache-dir", "--disable-pip-version-check", "--quiet"]
    built = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", *quiet,
         "-w", str(tmp_path), str(PYTHON_FOLDER)],
        capture_output=True, text=True, check=False,
        env=dict(os.environ, VELTRA_WHEEL_LIBRARIES=libraries),
    )
    assert built.returncode == 0, built.stderr
    (wheel,) = tmp_path.glob("veltra-*-py3-none-linux_x86_64.whl")
    with zipfile.ZipFile(wheel) as archive:
        assert {"veltra/libveltra.so", "veltra/libw32compat.so", "veltra/libvsim.so"} <= set(
            archive.namelist())
    environment = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(environment)], check=True)
    python = str(environment / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", *quiet, str(wheel)], check=True)
    plain = {k: v for k, v in os.environ.items() if k not in ("VELTRA_LIBRARY_PATH", "PYTHONPATH")}
    run = subprocess.run(
        [python, "-c", "import veltra; print(len(veltra.cards()), 'cards')"],
        capture_output=True, text=True, cwd=str(tmp_path), check=False,
        env=dict(plain, VELTRA_SIM_STATE="private"),
    )
    assert run.stdout == "2 cards\n", run.stderr


def test_windows_looks_for_the_library_only_where_windows_keeps_it() -> None:
    from veltra._library import windows_system_folders

    # The current folder, named outright, relatively or by an empty PATH
    # entry, is never one of them.
    path = os.pathsep.join(["", ".", "bin", "C:\\Tools", "C:\\Windows\\system32", '"C:\\Q"'])
    folders = windows_system_folders("C:\\Windows\\system32", "C:\\Windows", path)
    if sys.platform == "win32":
        assert folders == ["C:\\Windows\\system32", "C:\\Windows", "C:\\Tools", "C:\\Q"]
    else:  # a Windows path is not absolute here: only the absolute ones count
        assert folders == []
        assert windows_system_folders("/sys32", "/win", "::.:bin:/opt/a:/sys32") == [
            "/sys32", "/win", "/opt/a"]


def test_every_public_member_is_documented_under_a_public_name() -> None:
    import inspect
    import pydoc

    import veltra

    undocumented = []
    for name in veltra.__all__:
        value = getattr(veltra, name)
        if not inspect.isclass(value):
            continue
        assert value.__module__ == "veltra", name
        fields = getattr(value, "__dataclass_fields__", {})
        for member, found in inspect.getmembers(value):
            if member.startswith("_") or member in fields:
                continue
            if inspect.isclass(value) and issubclass(value, (BaseException, int)):
                continue
            if (inspect.isfunction(found) or isinstance(inspect.getattr_static(value, member),
                                                         property)) and not inspect.getdoc(found):
                undocumented.append(f"{name}.{member}")
    assert undocumented == []
    text = pydoc.render_doc(veltra.Card, renderer=pydoc.plaintext)
    assert "Methods inherited from CardDma:" in text and "veltra._" not in text
