"""Messages a user can act on as they stand: help asked for the Windows
way, a serial given where an index goes, a closed pipe; on Windows under
Wine."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import pytest

from test_file_names import TOOL, WINDOWS, folder, system_path, veltra  # noqa: F401


def test_help_the_windows_way(folder: Path) -> None:
    for asked in ("/?", "-?") if WINDOWS else ("-?",):
        whole = veltra(folder, asked)
        assert whole.returncode == 0 and "Exit codes: 0 done" in whole.stdout, whole.stderr
        command = veltra(folder, "flash", "read", asked)
        assert command.returncode == 0 and "--file" in command.stdout, command.stderr
    interrupted = "0xC000013A (STATUS_CONTROL_C_EXIT)" if WINDOWS else "130"
    assert f"{interrupted} stopped by Ctrl-C" in veltra(folder, "--help").stdout
    if WINDOWS:
        runner = Path(TOOL[1]).with_name("vsim-run.exe")
        for asked in ("--help", "/?"):
            done = subprocess.run([TOOL[0], str(runner), asked], capture_output=True, text=True,
                                  timeout=120)
            assert done.returncode == 0 and done.stdout.startswith("usage: vsim-run"), done


def test_serials_however_they_are_written(folder: Path) -> None:
    done = veltra(folder, "info", "-c", "0x00A1B2C4")
    assert done.returncode == 2
    assert "--card: 0x00A1B2C4 is not a card index; for the card with that serial, write " \
           "serial:0x00A1B2C4" in done.stderr
    # As the outputs show a serial, with or without its 0x.
    with_prefix = veltra(folder, "info", "-c", "serial:0x00A1B2C4")
    without = veltra(folder, "info", "-c", "serial:00A1B2C4")
    assert with_prefix.returncode == without.returncode == 0, without.stderr
    assert with_prefix.stdout == without.stdout
    # Eight decimal digits stay the decimal serial that `info --json` shows.
    decimal = veltra(folder, "info", "-c", f"serial:{0x00A1B2C4}")
    assert decimal.returncode == 0 and decimal.stdout == with_prefix.stdout, decimal.stderr


@pytest.mark.skipif(not WINDOWS, reason="Linux ends by SIGPIPE already")
def test_a_reader_that_goes_ends_the_output_quietly(folder: Path) -> None:
    process = subprocess.Popen(TOOL + ["help", "flash"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE,
                               env={**os.environ,
                                    "VELTRA_SIM_STATE": system_path(folder / "state")})
    assert process.stdout is not None and process.stderr is not None
    process.stdout.close()
    error = process.stderr.read().decode()
    process.wait(timeout=120)
    assert "cannot write the output" not in error, error


def test_a_watch_ends_when_its_reader_goes(folder: Path) -> None:
    # `veltra sensors --watch 0.2 | more`, then q: the watch ends, quietly.
    process = subprocess.Popen(TOOL + ["sensors", "--watch", "0.2"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE,
                               env={**os.environ,
                                    "VELTRA_SIM_STATE": system_path(folder / "state")})
    assert process.stdout is not None and process.stderr is not None
    process.stdout.readline()  # it is running
    process.stdout.close()
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        raise AssertionError("the watch went on after its reader had gone")
    assert "cannot write the output" not in process.stderr.read().decode()
