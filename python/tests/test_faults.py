"""Cards that fail on purpose (the simulator's faults): transfers that are
still running, transfers that fail, and a card that is removed under its
handle."""

from __future__ import annotations

import ctypes
import sys
from typing import Callable, Iterator

import pytest

import veltra
from conftest import raises

MiB = 1 << 20
EVERY_CARD = 0xFFFFFFFF

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="the simulator's fault controls")


@pytest.fixture
def fault() -> Iterator[Callable[[str], None]]:
    """Arms a fault of card 0 from the keys of its TOML table; every fault
    is cleared at the end."""
    veltra.cards()  # loads the library, and with it the simulator
    simulator = ctypes.CDLL("libvsim.so")
    simulator.vsimArmCardFaults.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    simulator.vsimClearCardFaults.argtypes = [ctypes.c_uint32]

    def arm(keys: str) -> None:
        problem = ctypes.create_string_buffer(256)
        text = f"[[fault]]\ncard = 0\n{keys}\n".encode()
        assert simulator.vsimArmCardFaults(text, problem, len(problem)) == 1, problem.value

    yield arm
    simulator.vsimClearCardFaults(EVERY_CARD)


def test_a_running_transfer_keeps_its_locked_buffer(
    card: veltra.Card, fault: Callable[[str], None]
) -> None:
    fault('kind = "slow"\nbandwidth = 1048576')  # 1 MiB a second
    card.start_write_dma(bytearray(MiB // 2), 0)  # moves for half a second
    host = bytearray(4 * MiB)
    locked = card.lock(host)
    transfer = card.start_read_dma(locked, MiB)  # queued behind it
    assert not transfer.done() and transfer.status is None
    with pytest.raises(BufferError):
        locked.close()  # the driver would write into memory given back
    assert locked.closed is False
    with pytest.raises(BufferError):
        host.append(0)

    assert transfer.cancel() is True and transfer.status == 275
    with raises(275, "VELTRA_CANCELLED"):
        transfer.wait()
    locked.close()
    host.append(0)  # the last holder gave it back


def test_a_faulted_transfer_fails_its_wait(
    card: veltra.Card, fault: Callable[[str], None]
) -> None:
    fault('kind = "dma"')
    transfer = card.start_write_dma(b"never arrives", 0x40)
    with raises(263, "VELTRA_HARDWARE_ERROR"):
        transfer.wait(10)
    assert transfer.status == 263 and card.device_status().status2 & 1
    card.clear_device_errors()
    assert card.start_write_dma(b"arrives", 0x40).wait(10) is True  # the fault fired once


def test_a_removed_card_still_closes_everything(fault: Callable[[str], None]) -> None:
    card = veltra.open(0)
    mappings = [card.window(0).map(0, 4096), card.window(1).map(0, 4096)]
    host = bytearray(16)
    locked = card.lock(host)
    fault('kind = "removed"')

    with raises(257, "VELTRA_UNEXPECTED_ERROR"):
        locked.close()
    assert locked.closed is False  # kept, since the driver may still have it locked
    with pytest.raises(BufferError):
        host.append(0)

    with pytest.raises(veltra.VeltraError) as caught:
        card.close()  # the first failed unmap, after the whole close
    assert (caught.value.code, caught.value.call) == (257, "VELTRA_UnmapWindow")
    assert card.closed and locked.closed and all(m.closed for m in mappings)
    host.append(0)
