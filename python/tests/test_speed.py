"""The package's own cost per register access, against the raw ctypes call
of VELTRA_Read/VELTRA_Write on the same handle, measured in the same run
(timeit: the best of several rounds of each, interleaved)."""

from __future__ import annotations

import ctypes
import timeit

import veltra
from veltra._library import libraries

ROUNDS, CALLS = 7, 5000


def best(call: object) -> float:
    return min(timeit.repeat(call, number=CALLS, repeat=1)[0] for _ in range(ROUNDS)) / CALLS


def test_register_access_costs_at_most_a_few_raw_calls(card: veltra.Card) -> None:
    library = libraries.veltra()
    handle, word = card.handle, ctypes.c_uint32(5)
    window = card.window(0)
    raw_read, raw_write = library.VELTRA_Read, library.VELTRA_Write
    times = {"raw read": 0.0, "read32": 0.0, "raw write": 0.0, "write32": 0.0}
    calls = {
        "raw read": lambda: raw_read(handle, 0, 0, 16, 4, ctypes.byref(word)),
        "read32": lambda: window.read32(16),
        "raw write": lambda: raw_write(handle, 0, 0, 16, 4, ctypes.byref(word)),
        "write32": lambda: window.write32(16, 5),
    }
    for _ in range(3):  # interleaved, so that both meet the same moments
        for name, call in calls.items():
            measured = best(call)
            times[name] = measured if not times[name] else min(times[name], measured)
    read, write = times["read32"] / times["raw read"], times["write32"] / times["raw write"]
    print(f"\nread32 {times['read32'] * 1e6:.2f} us = {read:.2f}x the raw call; "
          f"write32 {times['write32'] * 1e6:.2f} us = {write:.2f}x")
    # The goal is 2x; the bound leaves room for a loaded machine, and still
    # fails the 5x of a path that makes a buffer per call.
    assert read <= 3.0 and write <= 3.0


def test_a_mapped_register_costs_at_most_three_raw_ctypes_reads(card: veltra.Card) -> None:
    with card.window(1).map(0, 4096) as mapping:
        address = mapping.address + 64
        raw = lambda: ctypes.c_uint32.from_address(address).value  # noqa: E731
        read = lambda: mapping.read32(64)  # noqa: E731
        write = lambda: mapping.write32(64, 7)  # noqa: E731
        times = {"raw": 0.0, "read": 0.0, "write": 0.0}
        for _ in range(3):
            for name, call in (("raw", raw), ("read", read), ("write", write)):
                measured = best(call)
                times[name] = measured if not times[name] else min(times[name], measured)
        print(f"\nMapping.read32 {times['read'] / times['raw']:.2f}x, "
              f"write32 {times['write'] / times['raw']:.2f}x a raw ctypes read")
        assert times["read"] <= 3 * times["raw"] and times["write"] <= 3 * times["raw"]
        assert mapping.read32(64) == 7
