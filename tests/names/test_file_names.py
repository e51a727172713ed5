"""Any file name and any path form the system takes: the tool keeps names
in UTF-8 and gives Windows their wide form, so names in any script, \\\\?\\
paths, the root of the current drive, a drive's current folder and paths
over 260 characters all work; under Wine on the Windows tree."""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Iterator

import pytest

TREE = Path(__file__).resolve().parents[2]
_TOOL = os.environ.get("VELTRA_TOOL", str(TREE / "build" / "linux" / "bin" / "veltra"))
WINDOWS = _TOOL.endswith(".exe")
RUNNER = os.environ.get("VELTRA_TOOL_RUNNER", str(TREE / "scripts" / "wine-run.sh"))
TOOL = [RUNNER, _TOOL, "--sim"] if WINDOWS else [_TOOL]

# Names in several scripts, a space and an emoji among them.
NAMES = ["ünïcødé ä", "数据 文件", "Ωмега данные", "emoji 😀 🚀", "עברית"]


def system_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\") if WINDOWS else str(path)


def unix_path(path: str) -> Path:
    """A path the tool printed, as this side of Wine finds it."""
    if not WINDOWS:
        return Path(path)
    drive, rest = path[0].upper(), path[3:].replace("\\", "/")
    root = Path("/") if drive == "Z" else Path(os.environ["WINEPREFIX"]) / "drive_c"
    return root / rest


def veltra(folder: Path, *words: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, VELTRA_SIM_STATE=system_path(folder / "state"), LANG="C.UTF-8")
    return subprocess.run(TOOL + list(words), env=env, capture_output=True, timeout=120,
                          cwd=cwd, encoding="utf-8", errors="strict")


@pytest.fixture
def folder() -> Iterator[Path]:
    made = Path(tempfile.mkdtemp(prefix="veltra-names-"))
    try:
        yield made
    finally:
        shutil.rmtree(made, ignore_errors=True)


def test_names_in_every_script(folder: Path) -> None:
    for name in NAMES:
        where = folder / name
        where.mkdir()
        target = where / f"vpd {name}.bin"
        done = veltra(folder, "vpd", "read", "-c", "0", "--file", system_path(target))
        assert done.returncode == 0, done.stderr
        assert done.stdout == f"saved 8 KiB of VPD of card 0 to {system_path(target)}\n"
        assert target.stat().st_size == 8192
        # The same file read back as the source of a write: the name opens.
        flash = where / f"flash {name}.bin"
        done = veltra(folder, "flash", "read", "-c", "0", "--offset", "0", "--length", "4K",
                      "--file", system_path(flash))
        assert done.returncode == 0 and flash.stat().st_size == 4096, done.stderr
    # An update from a file of such a name: its recovery file, named after
    # it, goes once the update is verified.
    image = folder / NAMES[0] / "固件 image.bin"
    image.write_bytes(bytes(range(256)) * 16)
    done = veltra(folder, "flash", "write", "-c", "0", "--yes", "--offset", "0", "--file",
                  system_path(image))
    assert done.returncode == 0, done.stderr
    state = veltra(folder, "sim", "state")
    [recovery] = [line.split(": ", 1)[1] for line in state.stdout.splitlines()
                  if line.startswith("recovery files: ")]
    left = [p.name for p in unix_path(recovery).glob("*.recovery") if "image.bin" in p.name]
    assert left == [], left
    bit = folder / NAMES[1] / "设计 design.bit"
    done = veltra(folder, "sim", "bitstream", system_path(bit), "--part", "7vx690tffg1157",
                  "--size", "64K")
    assert done.returncode == 0, done.stderr
    done = veltra(folder, "program", "-c", "0", system_path(bit))
    assert done.returncode == 0, done.stderr


@pytest.mark.skipif(not WINDOWS, reason="Windows path forms")
def test_every_windows_path_form(folder: Path) -> None:
    # \\?\ in front of a drive path, which no ANSI call takes.
    prefixed = folder / "prefixed.bin"
    done = veltra(folder, "vpd", "read", "-c", "0", "--file", "\\\\?\\" + system_path(prefixed))
    assert done.returncode == 0 and prefixed.stat().st_size == 8192, done.stderr
    # Over 260 characters.
    deep = folder / ("d" * 120) / ("e" * 120)
    deep.mkdir(parents=True)
    long_name = deep / ("f" * 60 + ".bin")
    assert len(system_path(long_name)) > 260
    done = veltra(folder, "vpd", "read", "-c", "0", "--file", system_path(long_name))
    assert done.returncode == 0 and long_name.stat().st_size == 8192, done.stderr
    # A drive's current folder: C:name lies in the current folder of drive C.
    drive_c = Path(os.environ["WINEPREFIX"]) / "drive_c"
    name = f"veltra-drive-relative-{os.getpid()}.bin"
    try:
        done = veltra(folder, "vpd", "read", "-c", "0", "--file", "C:" + name)
        assert done.returncode == 0 and (drive_c / name).stat().st_size == 8192, done.stderr
    finally:
        (drive_c / name).unlink(missing_ok=True)
    # The root of the current drive (Z: is /): \name, without a drive. Its
    # temporary file lies at the root too, not at a network path.
    root = Path("/") / f"veltra-root-{os.getpid()}.bin"
    if os.access("/", os.W_OK):
        try:
            done = veltra(folder, "vpd", "read", "-c", "0", "--file", "\\" + root.name, cwd=folder)
            assert done.returncode == 0 and root.stat().st_size == 8192, done.stderr
        finally:
            root.unlink(missing_ok=True)
    # A system error in the system's words, with its number.
    done = veltra(folder, "vpd", "read", "-c", "0", "--file", system_path(folder) + "\\a<b.bin")
    assert done.returncode == 1 and "(error 123)" in done.stderr, done.stderr
    assert "system error 123" not in done.stderr
