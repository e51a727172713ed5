"""The Windows exporter as a service of Wine's service control manager:
created with sc, started, scraped, stopped, deleted."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path
from typing import Callable

import pytest

from conftest import TOOL, WINDOWS, Exporter, Machine, free_port, get, system_path, wait_for

pytestmark = pytest.mark.skipif(not WINDOWS, reason="Windows services: the Windows tool only")


def sc(*words: str, check: bool = True) -> str:
    done = subprocess.run([TOOL[0], "sc", *words], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, WINEDEBUG="-all"))
    assert done.returncode == 0 or not check, f"sc {' '.join(words)}: {done.stdout}{done.stderr}"
    return done.stdout + done.stderr


def state(name: str) -> str:
    match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", sc("query", name, check=False))
    return match.group(1) if match else ""


def test_the_exporter_runs_as_a_service(machine: Machine,
                                        exporters: Callable[..., Exporter]) -> None:
    # Wine ends its services once no program of the prefix runs: an
    # exporter at the console keeps one running.
    console = exporters()
    at_console = subprocess.run(TOOL + ["exporter", "--service"], env=machine.env,
                                capture_output=True, text=True, timeout=120)
    assert at_console.returncode == 2
    assert "only the service control manager starts the service" in at_console.stderr

    name = f"veltra-exporter-test-{os.getpid()}"
    port = free_port()
    command = f"{system_path(Path(TOOL[1]))} exporter --service --sim --listen 127.0.0.1:{port}"
    # As the README creates it: under the local service account.
    sc("create", name, "obj=", "NT AUTHORITY\\LocalService", "binPath=", command)
    try:
        sc("start", name)
        wait_for("the service to run", lambda: state(name) == "RUNNING", 60)
        exposition = wait_for("the service to serve",
                              lambda: get(f"http://127.0.0.1:{port}/metrics", timeout=5), 60)
        assert exposition.count("veltra_card_up{") == 2
        assert 'veltra_card_up{serial="0x00A1B2C3"} 1' in exposition
        sc("stop", name)
        wait_for("the service to stop", lambda: state(name) == "STOPPED", 60)
        assert re.search(r"WIN32_EXIT_CODE\s*:\s*0\b", sc("query", name))
        with pytest.raises(OSError):
            get(f"http://127.0.0.1:{port}/metrics", timeout=5)
    finally:
        sc("stop", name, check=False)
        sc("delete", name)

    # A port already taken (the console exporter's): the service stops with
    # the service-specific code that says so, 2, where an operator sees it.
    taken = f"{name}-taken"
    sc("create", taken, "obj=", "NT AUTHORITY\\LocalService", "binPath=",
       f"{system_path(Path(TOOL[1]))} exporter --service --sim --listen {console.address}")
    try:
        sc("start", taken, check=False)
        wait_for("the service to give up", lambda: state(taken) == "STOPPED", 60)
        said = sc("query", taken)
        assert re.search(r"WIN32_EXIT_CODE\s*:\s*1066\b", said), said
        assert re.search(r"SERVICE_EXIT_CODE\s*:\s*2\b", said), said
    finally:
        sc("delete", taken)
