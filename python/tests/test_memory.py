"""Host memory and card memory: DMA in every form, windows, mappings, and
notifications. Card memory is window 1; local address A is its byte A."""

from __future__ import annotations

import gc
import threading
import time
import weakref
from typing import List

import pytest

import veltra
from conftest import raises

DOORBELL = 2


def test_dma_reaches_the_callers_own_memory_without_a_copy(card: veltra.Card) -> None:
    card.write_dma(b"read-only bytes", 0x1000)  # bytes have no writable export
    assert card.read_dma(0x1000, 15, channel=1) == b"read-only bytes"
    assert card.window(1).read(0x1000, 15) == b"read-only bytes"  # the same card memory

    target = bytearray(32)
    card.read_dma_into(memoryview(target)[8:23], 0x1000)  # a slice lands in its parent
    assert target[8:23] == b"read-only bytes" and target[:8] == bytes(8)

    with pytest.raises(TypeError):
        card.read_dma_into(b"immutable", 0x1000)
    # The driver judges the card-memory range, as for the C library's
    # callers: it refuses, and records a DMA error in the device status.
    card.clear_device_errors()
    with raises(283, "VELTRA_INVALID_LOCAL_REGION"):
        card.read_dma(64 << 20, 1)
    with raises(283, "VELTRA_INVALID_LOCAL_REGION"):
        card.write_dma(b"x" * 16, (64 << 20) - 8)
    assert card.device_status().status2 & 1 == 1
    card.clear_device_errors()
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.write_dma(b"x", 0, channel=2)
    with raises(267, "VELTRA_INVALID_FLAG"):
        card.write_dma(b"x", 0, flags=1)
    card.clear_device_errors()


def test_dma_with_numpy_arrays(card: veltra.Card) -> None:
    np = pytest.importorskip("numpy")
    source = np.arange(1 << 16, dtype=np.uint32).reshape(256, 256)
    card.write_dma(source, 0x10000)
    back = np.zeros_like(source)
    card.read_dma_into(back, 0x10000)
    assert (back == source).all()
    card.read_dma_into(back[3], 0x10000)  # a C-contiguous row of a larger array
    assert (back[3] == source.ravel()[:256]).all()
    with pytest.raises(BufferError):
        card.read_dma_into(back[:, 0], 0x10000)  # a column is not contiguous
    # Reads that make their numpy array, or fill one given.
    words = card.read_dma(0x10000, 1 << 18, dtype=np.uint32)
    assert words.dtype == np.uint32 and (words == source.ravel()).all()
    row = np.empty(256, np.uint32)
    assert card.read_dma(0x10400, 1024, out=row) is row and (row == source[1]).all()
    with pytest.raises(ValueError):
        card.read_dma(0x10000, 6, dtype=np.uint32)  # not a whole number of items
    with pytest.raises(ValueError):
        card.read_dma(0x10000, 1000, out=row)  # not the size of out
    with pytest.raises(TypeError):
        card.read_dma(0x10000, 1024, dtype=np.uint32, out=row)
    readonly = np.ones(16, dtype=np.uint8)
    readonly.flags.writeable = False
    card.write_dma(readonly, 0x20)
    assert card.read_dma(0x20, 16) == b"\x01" * 16

    # Typed access to a mapping: an array of it, and one access per width.
    with card.window(1).map(0x2000, 4096) as mapping:
        registers = mapping.array(np.uint32, 16, 4)
        registers[:] = [1, 2, 3, 4]
        assert mapping.array(np.uint8).shape == (4096,)
        del registers
        assert card.read_dma(0x2010, 8) == b"\x01\0\0\0\x02\0\0\0"
        mapping.write64(0x40, 0x1122334455667788)
        assert (mapping.read64(0x40), mapping.read32(0x44)) == (0x1122334455667788, 0x11223344)
        assert (mapping.read16(0x40), mapping.read8(0x40)) == (0x7788, 0x88)
        mapping.write8(0x41, 0xAB)
        mapping.write16(0x42, 0xCDEF)
        assert card.read_dma(0x2040, 4) == b"\x88\xab\xef\xcd"
        with pytest.raises(ValueError):
            mapping.read32(2)  # not aligned to its width
        with pytest.raises(IndexError):
            mapping.read64(4096)
        with pytest.raises(ValueError):
            mapping.write8(0, 256)
    window = card.window(1)
    window.write16(0x2100, 0xBEEF)
    window.write8(0x2102, 0x7F)
    window.write64(0x2108, 0x0102030405060708)
    assert (window.read8(0x2100), window.read16(0x2101), window.read64(0x2108)) == (
        0xEF, 0x7FBE, 0x0102030405060708)
    with pytest.raises(ValueError):
        window.write16(0x2100, 1 << 16)

    with card.window(1).map(0, 4096) as mapping:
        view = mapping.view
        words = np.frombuffer(view, dtype=np.uint32)  # a numpy array of the card's memory
        with pytest.raises(BufferError):
            mapping.close()
        words[0] = 0x01020304  # both still reach the card
        assert view[:4] == b"\x04\x03\x02\x01" and card.read_dma(0, 4) == b"\x04\x03\x02\x01"
        del words


def test_a_released_view_does_not_hold_the_mapping(card: veltra.Card) -> None:
    with card.window(1).map(0, 4096) as mapping:
        with mapping.view.cast("I") as registers:
            registers[4] = 0x5A5A5A5A
        kept = mapping.view[8:16]
        kept.release()
    # Both released views are still referenced here while the mapping and
    # the card close.
    assert card.read_dma(16, 4) == b"\x5a\x5a\x5a\x5a"
    card.close()
    assert card.closed


def test_non_blocking_transfers_and_the_memory_they_hold(card: veltra.Card) -> None:
    data = bytearray(range(256)) * 4096  # 1 MiB
    writing = card.start_write_dma(data, 0x100000)
    with pytest.raises(BufferError):
        data.append(0)  # held while the transfer may still read it
    assert writing.wait(10) is True
    data.append(0)  # given back once it ended
    assert writing.status == 0 and writing.done()

    back = bytearray(1 << 20)
    reading = card.start_read_dma(back, 0x100000, channel=1)
    assert reading.wait() is True
    assert back == data[:-1]
    assert reading.cancel() is False  # nothing left to cancel

    with raises(270, "VELTRA_INVALID_INDEX"):
        card.start_read_dma(back, 0, channel=9)  # refused at the start: nothing runs
    back.append(0)


def test_locked_buffers_and_bus_ranges(card: veltra.Card, card1: veltra.Card) -> None:
    host = bytearray(b"0123456789abcdef")
    with card.lock(host) as locked:
        card.write_dma(locked.range(4, 8), 0x300)
        assert card.read_dma(0x300, 8) == b"456789ab"
        card.write_dma(b"WXYZ", 0x400)
        card.read_dma_into(locked.range(0, 4), 0x400)
        assert host[:4] == b"WXYZ"
        transfer = card.start_write_dma(locked, 0x500)
        assert transfer.wait(5)
        assert card.read_dma(0x500, 16) == bytes(host)
        with veltra.open(0) as other, raises(279, "VELTRA_NOT_OWNER"):
            other.write_dma(locked, 0)  # locked through another handle of the card
        with raises(282, "VELTRA_INVALID_BUFFER_HANDLE"):
            card1.write_dma(locked, 0)  # a handle that card 1 never gave
        with raises(271, "VELTRA_INVALID_REGION"):
            card.write_dma(locked.range(8, 16), 0)
        assert locked.range(16).length == 0
        with pytest.raises(ValueError):
            locked.range(17)  # would be a negative length
    assert locked.closed
    with pytest.raises(ValueError):
        card.write_dma(locked, 0)
    with card.lock(b"read-only") as readonly, pytest.raises(TypeError):
        card.read_dma_into(readonly, 0)
    with raises(266, "VELTRA_INVALID_BUFFER"):
        card.lock(b"")

    common = card.common_buffers()[1]
    with card.map_common_buffer(common.key, 0, 4096) as mapped:
        mapped.view[16:24] = b"bus side"
        card.write_dma(veltra.BusRange(common.value + 16, 8), 0x600)
        assert card.read_dma(0x600, 8) == b"bus side"
        card.write_dma(b"returned", 0x700)
        card.read_dma_into(veltra.BusRange(common.value + 32, 8), 0x700)
        assert mapped.view[32:40] == b"returned"
    with raises(271, "VELTRA_INVALID_REGION"):
        card.write_dma(veltra.BusRange(0x1234, 8), 0)
    card.clear_device_errors()


def test_windows_and_mappings(card: veltra.Card) -> None:
    memory = card.window(1)
    with memory.map(0x2000, 8192) as mapping:
        view = mapping.view
        view[0:4] = b"\x11\x22\x33\x44"
        assert memory.read32(0x2000) == 0x44332211
        memory.write32(0x2004, 0xCAFEF00D)
        assert bytes(view[4:8]) == b"\x0d\xf0\xfe\xca"
        with card.window(1).map(0x2000, 16) as again:  # two mappings, one memory
            assert bytes(again.view[:8]) == bytes(view[:8])
        words = view.cast("I")
        with pytest.raises(BufferError):
            mapping.close()  # a view made from it is still alive
        assert (words[1], mapping.closed) == (0xCAFEF00D, False)
        view[8:12] = b"kept"  # the refusal left the caller's view working
        assert memory.read(0x2008, 4) == b"kept" and mapping.view[8:12] == b"kept"
        del words
    assert mapping.closed
    with pytest.raises(ValueError):
        mapping.view
    with pytest.raises(ValueError):
        view[0]  # the memoryview that was handed out is released with it

    with raises(271, "VELTRA_INVALID_REGION"):
        memory.map(0, 0)
    with raises(277, "VELTRA_REGION_TOO_LARGE"):
        memory.map(0, 32 << 20)
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.window(4).map(0, 4096)
    with raises(271, "VELTRA_INVALID_REGION"):
        card.window(0).read(1 << 20, 1)
    with raises(267, "VELTRA_INVALID_FLAG"):
        card.window(0).write(0, b"x", flags=1)


def test_card_close_unmaps_and_refuses_while_a_view_lives() -> None:
    card = veltra.open(0)
    mapping = card.window(0).map(0, 4096)
    piece = mapping.view[:8]
    with pytest.raises(BufferError):
        card.close()
    assert not card.closed
    del piece
    card.close()
    assert mapping.closed and card.closed


def test_a_view_outlives_its_dropped_mapping_without_a_reference_cycle(
    card: veltra.Card,
) -> None:
    gc.disable()  # whatever is freed must be freed by its last reference alone
    try:
        mapping = card.window(1).map(0x3000, 4096)
        piece = mapping.view[:4]
        dropped = weakref.ref(mapping)
        del mapping
        assert dropped() is None
        piece[:] = b"live"  # the region stays mapped for the view
        assert card.window(1).read(0x3000, 4) == b"live"
        with pytest.raises(BufferError):
            card.close()  # it would unmap the region under the view
        del piece
        card.close()
    finally:
        gc.enable()


def test_notification_waits_events_and_cancel(card: veltra.Card) -> None:
    doorbell = card.window(DOORBELL)
    waiting = card.start_notification_wait(42)
    assert waiting.wait(0.05) is False and not waiting.done()
    with card.register_event(42) as registration:
        threading.Timer(0.05, doorbell.write32, (0, 42)).start()
        assert waiting.wait(5) is True
        assert registration.wait(5) is True
        assert registration.wait(0.05) is False  # one signal per raise
        with raises(273, "VELTRA_BUSY"):
            card._call("VELTRA_RegisterWin32Event", 42, registration.event.handle)

    other = card.start_notification_wait(43)
    assert other.cancel() is True
    assert other.status == 275
    with raises(275, "VELTRA_CANCELLED"):
        other.wait()
    assert card.cancel() is False  # nothing outstanding

    with veltra.open(0) as second:
        left = second.start_notification_wait(44)
    assert left.status == 275  # the close ended it


def test_what_waits_and_registrations_see_of_notifications(card: veltra.Card) -> None:
    doorbell = card.window(DOORBELL)
    # Raises between two waits of a registration are one: its event is a flag.
    with card.register_event(50) as registration:
        for _ in range(3):
            doorbell.write32(0, 50)
            time.sleep(0.05)
        assert registration.wait(5) is True
        assert registration.wait(0.1) is False
    # A notification raised before a wait started is not kept for it.
    doorbell.write32(0, 51)
    late = card.start_notification_wait(51)
    assert late.wait(0.2) is False
    doorbell.write32(0, 51)
    assert late.wait(5) is True


def test_a_thread_waiting_on_a_registration_wakes_when_the_card_closes() -> None:
    card = veltra.open(0)
    registration = card.register_event(9)
    outcome: List[str] = []

    def wait() -> None:
        try:
            outcome.append(f"signalled {registration.wait()}")
        except ValueError:
            outcome.append("ended")

    thread = threading.Thread(target=wait)
    thread.start()
    time.sleep(0.1)
    card.close()
    thread.join(5)
    assert outcome == ["ended"] and registration.ended
    assert registration.event.closed is False  # closed by the registration's own close
    registration.close()
    assert registration.event.closed


def test_a_card_opened_read_only_refuses_every_change(card: veltra.Card) -> None:
    card.write_dma(b"\x11" * 64, 0x3000)
    with veltra.open(0, read_only=True) as reader:
        assert reader.read_only and reader.read_dma(0x3000, 64) == b"\x11" * 64
        assert reader.window(1).read(0x3000, 4) == b"\x11" * 4
        reader.read_sensor(0)
        changes = [
            lambda: reader.write_dma(b"\x22" * 64, 0x3000),
            lambda: reader.start_write_dma(b"\x22" * 64, 0x3000),
            lambda: reader.window(1).write32(0x3000, 0x22222222),
            lambda: reader.configure_data(b"\0" * 64),
            lambda: reader.unconfigure(),
            lambda: reader.erase_flash(0, 64 << 10),
            lambda: reader.write_flash(0, b"\x22"),
            lambda: reader.write_vpd(0, b"\x22"),
            lambda: reader.set_clock_frequency(1, 156_250_000.0),
            lambda: reader.clear_device_errors(),
        ]
        for change in changes:
            with pytest.raises(PermissionError, match="card 0 is open read-only"):
                change()
        with reader.window(1).map(0x3000, 4096) as mapping:
            assert mapping.view.readonly and mapping.read32(0) == 0x11111111
            with pytest.raises(PermissionError):
                mapping.write32(0, 0x22222222)
            with pytest.raises(TypeError):
                mapping.view[0] = 0x22
    assert card.read_dma(0x3000, 64) == b"\x11" * 64


def test_allocated_arrays_are_locked_once_for_every_transfer(card: veltra.Card) -> None:
    np = pytest.importorskip("numpy")
    calls: List[str] = []

    class Counting:
        def __init__(self, library: object) -> None:
            self.library = library

        def __getattr__(self, name: str) -> object:
            if name.startswith("VELTRA_") and "DMA" in name or name == "VELTRA_Lock":
                calls.append(name)
            return getattr(self.library, name)

    card._state.library = Counting(card._state.library)
    buffer = card.allocate((4, 256), np.uint32)
    assert isinstance(buffer, np.ndarray) and buffer.shape == (4, 256)
    buffer[:] = np.arange(1024, dtype=np.uint32).reshape(4, 256)
    card.write_dma(buffer, 0x50000)
    card.write_dma(buffer[2], 0x60000)  # a contiguous row: the same lock, at its offset
    back = card.allocate(1024, np.uint32)
    card.read_dma_into(back, 0x50000)
    assert (back == np.arange(1024)).all()
    card.read_dma_into(back[:256], 0x60000)
    assert (back[:256] == np.arange(512, 768)).all()
    assert calls == ["VELTRA_Lock", "VELTRA_WriteDMALockedEx", "VELTRA_WriteDMALockedEx",
                     "VELTRA_Lock", "VELTRA_ReadDMALockedEx", "VELTRA_ReadDMALockedEx"]
    card.release(back)  # unlocked: a plain buffer again
    calls.clear()
    card.read_dma_into(back, 0x50000)
    assert calls == ["VELTRA_ReadDMAEx"]
    with pytest.raises(TypeError):
        card.release(np.zeros(4))

