#!/usr/bin/env python3
"""Runs the request benchmark as separate processes and reports, for each
ratio against the platform's own primitive, the worst process's median.

    bench-ratios.py [--runs N] [--windows] PROGRAM

PROGRAM is bench_dma (Linux) or bench_dma.exe (with --windows: run under
Wine through scripts/wine-run.sh, WINEPREFIX set by the caller). Each process
measures every benchmark five times; its median is one sample, and the worst
sample over the processes is what a user may meet on a bad run.
"""
import argparse
import json
import os
import subprocess
import sys

# (caption, measured benchmark, baseline, kind, goal, platforms the goal is
# for): "time" ratios are measured time over baseline time (lower is better,
# the goal a maximum); "rate" ratios are measured bytes per second over the
# baseline's (higher is better, the goal a minimum). The request goals are
# Windows': on Linux the baselines are the stand-in's own, a few nanoseconds.
RATIOS = [
    ("blocking WriteDMA 1 MiB against memcpy", "WriteDMA/1048576", "Memcpy/1048576", "rate", 0.8,
     "both"),
    ("blocking ReadDMA 1 MiB against memcpy", "ReadDMA/1048576", "Memcpy/1048576", "rate", 0.8,
     "both"),
    ("blocking WriteDMA 16 MiB against memcpy", "WriteDMA/16777216", "Memcpy/16777216", "rate", 0.8,
     "both"),
    ("blocking ReadDMA 16 MiB against memcpy", "ReadDMA/16777216", "Memcpy/16777216", "rate", 0.8,
     "both"),
    ("VELTRA_GetCardInfo against a wait on a set event", "GetCardInfo", "bench::KernelObjectCall",
     "time", 1.5, "windows"),
    ("notification round trip against an event ping-pong", "NotificationRoundTrip",
     "bench::EventPingPong", "time", 2.0, "windows"),
]

FILTER = ("^(bench::KernelObjectCall|bench::EventPingPong|GetCardInfo|NotificationRoundTrip|"
          "Memcpy/1048576|Memcpy/16777216|WriteDMA/1048576|WriteDMA/16777216|ReadDMA/1048576|"
          "ReadDMA/16777216)")


def medians(command):
    # The repetitions of the benchmarks are interleaved, so that a
    # benchmark and its baseline meet the same moments of the machine.
    output = subprocess.run(command + ["--benchmark_filter=" + FILTER, "--benchmark_repetitions=5",
                                       "--benchmark_min_time=0.1",
                                       "--benchmark_enable_random_interleaving=true",
                                       "--benchmark_report_aggregates_only=true",
                                       "--benchmark_format=json"],
                            check=True, capture_output=True, text=True).stdout
    found = {}
    for b in json.loads(output[output.index("{"):])["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = b["run_name"].removesuffix("/real_time")
            found[name] = b
    return found


def ratio(found, measured, baseline, kind):
    if kind == "rate":
        return found[measured]["bytes_per_second"] / found[baseline]["bytes_per_second"]
    return found[measured]["real_time"] / found[baseline]["real_time"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("program")
    args = parser.parse_args()
    command = [args.program]
    if args.windows:
        command = [os.path.join(os.path.dirname(__file__), "wine-run.sh")] + command
    samples = {caption: [] for caption, *_ in RATIOS}
    for _ in range(args.runs):
        found = medians(command)
        for caption, measured, baseline, kind, _goal, _where in RATIOS:
            samples[caption].append(ratio(found, measured, baseline, kind))
    platform = "Windows under Wine" if args.windows else "Linux"
    print(f"{platform}: worst of {args.runs} processes (each the median of five)")
    failed = 0
    for caption, _measured, _baseline, kind, goal, where in RATIOS:
        values = samples[caption]
        worst = min(values) if kind == "rate" else max(values)
        spread = f"all runs {min(values):.2f} to {max(values):.2f}"
        if where == "windows" and not args.windows:
            print(f"  {caption}: {worst:.2f}x ({spread})")
            continue
        met = worst >= goal if kind == "rate" else worst <= goal
        failed += 0 if met else 1
        bound = ">=" if kind == "rate" else "<="
        print(f"  {caption}: {worst:.2f}x (goal {bound} {goal}x; {spread}) "
              f"{'met' if met else 'NOT MET'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
