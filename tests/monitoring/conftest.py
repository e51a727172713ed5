"""The exporter under test and the servers the tests start.

VELTRA_TOOL names the veltra tool under test (CTest sets it): the Linux
tool, or the Windows tool, which runs under Wine through VELTRA_TOOL_RUNNER
(scripts/wine-run.sh) on the simulated driver (--sim). Every process of a test shares one simulated machine in a folder of
the test's own, so that faults armed with `veltra sim fault` reach the
exporter. Servers listen on 127.0.0.1 only and are stopped by the test."""

from __future__ import annotations

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

TREE = Path(__file__).resolve().parents[2]
MONITORING = TREE / "monitoring"
_TOOL = os.environ.get("VELTRA_TOOL", str(TREE / "build" / "linux" / "bin" / "veltra"))
WINDOWS = _TOOL.endswith(".exe")
TOOL = [os.environ.get("VELTRA_TOOL_RUNNER", str(TREE / "scripts" / "wine-run.sh")), _TOOL,
        "--sim"] if WINDOWS else [_TOOL]
# Wine starts slowly; the Linux tool at once.
START_SECONDS = 60 if WINDOWS else 10


def system_path(path: Path) -> str:
    """A path as the tool's platform writes it (Z: is the root under Wine)."""
    return "Z:" + str(path).replace("/", "\\") if WINDOWS else str(path)


# Card 0's first sensor in alarm (which sets the device status's sensor
# error) and card 1 gone.
ALARM_AND_REMOVED = """
[[fault]]
card = 0
kind = "sensor-alarm"
sensor = 0
[[fault]]
card = 1
kind = "removed"
"""


def stop(process: subprocess.Popen[Any]) -> None:
    """Ends a process the test started: asked first, then killed."""
    process.terminate()
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=20)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def wait_for(what: str, check: Callable[[], Any], seconds: float = 30) -> Any:
    """Polls `check` until it returns something true, or fails naming what
    it waited for."""
    deadline = time.monotonic() + seconds
    last: Any = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last:
                return last
        except (OSError, ValueError, KeyError) as error:
            last = error
        time.sleep(0.2)
    raise AssertionError(f"waited {seconds} s for {what}; last: {last!r}")


def get(url: str, timeout: float = 15) -> str:
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode("utf-8")


class Machine:
    """A simulated machine in a folder of its own, and the tool on it."""

    def __init__(self, folder: Path, description: Path | None = None) -> None:
        self.folder = folder
        self.env = dict(os.environ)
        self.env["VELTRA_SIM_STATE"] = system_path(folder / "state")
        self.env.pop("VELTRA_SIM_TRACE", None)
        if description is not None:
            self.env["VELTRA_SIM_MACHINE"] = system_path(description)
        else:
            self.env.pop("VELTRA_SIM_MACHINE", None)

    def tool(self, *words: str, check: bool = True) -> str:
        done = subprocess.run(TOOL + list(words), env=self.env, capture_output=True, text=True,
                              timeout=120)
        if check and done.returncode != 0:
            raise AssertionError(f"veltra {' '.join(words)}: {done.returncode}\n{done.stderr}")
        return done.stdout

    def json(self, *words: str) -> Any:
        return json.loads(self.tool(*words, "--json"))

    def faults(self, text: str) -> None:
        path = self.folder / f"faults-{time.monotonic_ns()}.toml"
        path.write_text(text)
        self.tool("sim", "fault", system_path(path))


class Exporter:
    """`veltra exporter` on a loopback port of the system's choosing."""

    def __init__(self, machine: Machine, *options: str, trace: Path | None = None,
                 port: int = 0) -> None:
        env = dict(machine.env)
        if trace is not None:
            env["VELTRA_SIM_TRACE"] = system_path(trace)
        self.log = machine.folder / f"exporter-{time.monotonic_ns()}.log"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                TOOL + ["exporter", "--listen", f"127.0.0.1:{port}", *options], env=env,
                stdout=subprocess.DEVNULL, stderr=log)
        found = wait_for("the exporter to say where it serves", self._served, START_SECONDS)
        self.address = f"127.0.0.1:{found}"
        self.url = f"http://{self.address}/metrics"

    def _served(self) -> str | None:
        if self.process.poll() is not None:
            raise AssertionError("the exporter ended: " + self.log.read_text())
        match = re.search(r"serving http://127\.0\.0\.1:(\d+)/metrics", self.log.read_text())
        return match.group(1) if match else None

    def scrape(self) -> str:
        return get(self.url)

    def stop(self) -> None:
        stop(self.process)

    def kill(self) -> None:
        self.process.kill()
        self.process.wait(timeout=20)


@pytest.fixture
def machine() -> Iterator[Machine]:
    folder = Path(tempfile.mkdtemp(prefix="veltra-monitoring-"))
    try:
        yield Machine(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def exporters(machine: Machine) -> Iterator[Callable[..., Exporter]]:
    started: list[Exporter] = []

    def start(*options: str, trace: Path | None = None, port: int = 0) -> Exporter:
        exporter = Exporter(machine, *options, trace=trace, port=port)
        started.append(exporter)
        return exporter

    try:
        yield start
    finally:
        for exporter in started:
            exporter.stop()


class Server:
    """Prometheus or Alertmanager, started on a loopback port."""

    def __init__(self, command: list[str], port: int, log: Path, ready: str) -> None:
        self.url = f"http://127.0.0.1:{port}"
        self.log = log
        with open(log, "w") as output:
            self.process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT)
        wait_for(f"{command[0]} to be ready", lambda: self._ready(ready), 60)

    def _ready(self, path: str) -> bool:
        if self.process.poll() is not None:
            raise AssertionError(f"{self.process.args[0]} ended: " + self.log.read_text())
        get(self.url + path, timeout=2)
        return True

    def api(self, path: str, **query: str) -> Any:
        url = self.url + path + ("?" + urllib.parse.urlencode(query) if query else "")
        return json.loads(get(url))

    def stop(self) -> None:
        stop(self.process)
