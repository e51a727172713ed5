"""A thousand open-use-close cycles leave nothing behind: no file
descriptor, no memory mapping, and none of the platform objects the library
counts (device handles, events, threads, pipes, heap blocks)."""

from __future__ import annotations

import gc
import os
import sys

import pytest

import veltra
from conftest import Platform

KINDS = ("device", "event", "thread", "pipe", "mutex", "file", "heapblock")


def _process_counts(platform: Platform) -> dict[str, int]:
    gc.collect()
    counts = {kind: platform.count(kind) for kind in KINDS}
    counts["descriptors"] = len(os.listdir("/proc/self/fd"))
    # A window or common buffer mapping is a shared view of the machine's
    # memory file; private anonymous mappings are the allocators' arenas
    # and thread stacks, which come and go with the process's threads.
    with open("/proc/self/maps") as maps:
        fields = [line.split() for line in maps]
    counts["shared or file maps"] = sum(1 for f in fields if len(f) > 5 or "s" in f[1])
    return counts


def _cycle(data: bytes, back: bytearray, held: veltra.Card) -> None:
    with held.window(0).map(0, 4096) as mapping:  # unmapped while its card stays open
        mapping.view[:4] = data[:4]
    with veltra.open(0) as card:
        with card.window(0).map(0, 4096) as mapping:
            mapping.view[:16] = data[:16]
        card.window(1).map(0, 4096)  # left to the card's close
        card.start_write_dma(data, 0x8000).wait()
        card.read_dma_into(back, 0x8000)
        with card.lock(back) as locked:
            card.write_dma(locked, 0x9000)
        card.register_event(5)  # ended by the close
        card.start_notification_wait(6)  # cancelled by the close
    with veltra.open_bridge(0) as bridge:
        bridge.unique_id()


@pytest.mark.skipif(sys.platform != "linux", reason="counts /proc/self and the stand-in")
def test_thousand_cycles_leak_nothing(platform: Platform) -> None:
    data = bytes(range(256)) * 16
    back = bytearray(len(data))
    with veltra.open(1) as held:
        for _ in range(20):  # the first uses start what lives as long as the process
            _cycle(data, back, held)
        before = _process_counts(platform)
        for _ in range(1000):
            _cycle(data, back, held)
        assert back == data
        assert _process_counts(platform) == before


@pytest.mark.skipif(sys.platform != "linux", reason="counts the stand-in's objects")
def test_dropped_objects_are_closed_when_collected(platform: Platform) -> None:
    veltra.open(0).close()
    before = _process_counts(platform)
    for _ in range(50):
        card = veltra.open(0)
        card.window(1).map(0, 4096).view[0] = 1  # mapping and card dropped unclosed
        card.lock(bytearray(64))
        card.start_notification_wait(7)
        veltra.open_bridge(1)
        del card
    assert _process_counts(platform) == before
