#!/usr/bin/env python3
"""Scrapes a running `veltra exporter` many times over keep-alive HTTP
connections (a new one when the server closes one), and reports the time of a scrape and the exporter's
resident memory after the first 1,000 scrapes and after 10,000 more.

    exporter-soak.py [--scrapes N] [--windows] TOOL

TOOL is the veltra tool (with --windows, veltra.exe: run under Wine through
scripts/wine-run.sh, WINEPREFIX set by the caller, on the simulated driver).
The exporter runs on a private machine: the default one.
"""
import argparse
import http.client
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]


def resident_kib(pid: int) -> int:
    """The resident memory of the process (under Wine: of the Windows
    program's Linux process, the one the loader runs it in)."""
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmRSS:\s+(\d+) kB", status).group(1))


def program_pid(launcher: int, windows: bool) -> int:
    if not windows:
        return launcher
    # The Wine loader runs veltra.exe in a process of its own name.
    found = subprocess.run(["pgrep", "-n", "-f", r"veltra\.exe --sim exporter"],
                           capture_output=True, text=True).stdout.split()
    return int(found[0]) if found else launcher


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scrapes", type=int, default=10000)
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("tool")
    args = parser.parse_args()
    command = ([str(TOP / "scripts" / "wine-run.sh"), args.tool, "--sim"] if args.windows
               else [args.tool])
    env = dict(os.environ, VELTRA_SIM_STATE="private")
    exporter = subprocess.Popen(command + ["exporter", "--listen", "127.0.0.1:0"], env=env,
                                stderr=subprocess.PIPE, text=True)
    try:
        line = exporter.stderr.readline()
        match = re.search(r"127\.0\.0\.1:(\d+)/metrics", line)
        if not match:
            print(f"the exporter did not start: {line}", file=sys.stderr)
            return 1
        pid = program_pid(exporter.pid, args.windows)
        connection = http.client.HTTPConnection("127.0.0.1", int(match.group(1)), timeout=30)

        def scrape() -> float:
            start = time.perf_counter()
            connection.request("GET", "/metrics")
            response = connection.getresponse()
            body = response.read()
            if response.status != 200 or b"veltra_card_up" not in body:
                raise RuntimeError(f"scrape answered {response.status}")
            if response.getheader("Connection", "").lower() == "close":
                connection.close()
            return time.perf_counter() - start

        for _ in range(1000):
            scrape()
        before = resident_kib(pid)
        times = [scrape() for _ in range(args.scrapes)]
        after = resident_kib(pid)
        platform = "Windows under Wine" if args.windows else "Linux"
        print(f"exporter ({platform}), {args.scrapes} scrapes over HTTP: median "
              f"{statistics.median(times) * 1e6:.0f} us a scrape; resident memory "
              f"{before} KiB after 1000 scrapes, {after} KiB after {args.scrapes} more "
              f"({after - before:+d} KiB)")
        return 0
    finally:
        exporter.terminate()
        exporter.wait(timeout=30)


if __name__ == "__main__":
    sys.exit(main())
