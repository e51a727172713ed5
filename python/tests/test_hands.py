"""The package in the hands of a data-acquisition program: data goes where
it is told across cards, a close holds from any thread and through Ctrl-C,
and what numpy computes from a locked array is a plain array."""

from __future__ import annotations

import asyncio
import gc
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref
from pathlib import Path
from typing import Callable

import pytest

import veltra
from conftest import PYTHON_FOLDER, raises

np = pytest.importorskip("numpy")

NOTIFICATION = 9


def start_interrupted(card: veltra.Card, start: Callable[..., int]) -> None:
    """A notification wait started through `start` in place of the export,
    which raises KeyboardInterrupt."""
    library = card._state.library
    real = library.VELTRA_StartNotificationWait
    library.VELTRA_StartNotificationWait = start
    try:
        with pytest.raises(KeyboardInterrupt):
            card.start_notification_wait(NOTIFICATION)
    finally:
        library.VELTRA_StartNotificationWait = real


def closes_from_another_thread(card: veltra.Card) -> None:
    """The card's close, on a thread of its own, ends within 10 s."""
    closer = threading.Thread(target=card.close, daemon=True)
    closer.start()
    closer.join(10)
    assert not closer.is_alive() and card.closed


def test_an_array_locked_by_one_card_is_plain_memory_to_another(
        card: veltra.Card, card1: veltra.Card) -> None:
    # An array of card 0 and one of card 1 whose locks have the same number
    # (each card numbers its own).
    a0, a1 = card.allocate(64, np.uint8), card1.allocate(64, np.uint8)
    spare = []
    for _ in range(64):
        if a0._veltra_locked.handle == a1._veltra_locked.handle:
            break
        if a0._veltra_locked.handle < a1._veltra_locked.handle:
            spare.append(a0)
            a0 = card.allocate(64, np.uint8)
        else:
            spare.append(a1)
            a1 = card1.allocate(64, np.uint8)
    assert a0._veltra_locked.handle == a1._veltra_locked.handle
    a0[:], a1[:] = 0xA0, 0xA1

    card1.write_dma(bytes(range(64)), 0x100)
    card1.read_dma_into(a0, 0x100)
    assert bytes(a0) == bytes(range(64)) and (a1 == 0xA1).all()
    a0[:] = 0x5A
    card1.write_dma(a0, 0x200)
    assert card1.read_dma(0x200, 64) == b"\x5a" * 64
    # Named outright, another card's lock is refused before anything moves.
    with raises(282, "VELTRA_INVALID_BUFFER_HANDLE"):
        card1.read_dma_into(a0._veltra_locked, 0x100)
    assert (a1 == 0xA1).all() and (a0 == 0x5A).all()


def test_a_card_memory_window_smaller_than_the_memory(tmp_path: Path) -> None:
    # 64 MiB of card memory seen through a window of 16 MiB, as real cards
    # map a window over far more memory: DMA reaches all of it.
    machine = tmp_path / "machine.toml"
    machine.write_text(textwrap.dedent("""\
        [[card]]
        serial = 0x00000051
        card_memory = "64 MiB"
        dma = { channels = 1 }
          [[card.fpga]]
          type = 260
          [[card.window]]
          kind = "card-memory"
          size = "16 MiB"
        """))
    code = textwrap.dedent("""\
        import veltra
        with veltra.open(0) as card:
            card.write_dma(b"far", 48 << 20)
            assert card.read_dma(48 << 20, 3) == b"far"
            try:
                card.read_dma(64 << 20, 1)
            except veltra.VeltraError as error:
                print(error.name)
        """)
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_FOLDER), VELTRA_SIM_STATE="private",
                       VELTRA_SIM_MACHINE=str(machine))
    done = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "VELTRA_INVALID_LOCAL_REGION\n"), done.stderr


def test_only_views_keep_the_lock_and_results_pickle(card: veltra.Card) -> None:
    frame = card.allocate((4, 1024), np.float32)
    assert isinstance(frame, veltra.LockedArray) and veltra.LockedArray.__module__ == "veltra"
    frame[:] = 2.0
    locked = weakref.ref(frame._veltra_locked)
    assert frame[1]._veltra_locked is locked() and frame[:, 8:]._veltra_locked is locked()
    mean, doubled, copied = frame.mean(), frame * 2, frame.copy()
    assert float(mean) == 2.0 and float(doubled[0, 0]) == 4.0
    for result in (mean, doubled, copied, frame.sum(axis=0)):
        assert getattr(result, "_veltra_locked", None) is None, type(result)
    assert type(doubled) is np.ndarray
    frame += 1  # in place: the array itself, still locked
    assert isinstance(frame, veltra.LockedArray) and frame._veltra_locked is locked()
    # Pickled (as multiprocessing does), a locked array or a slice of one
    # comes back as a plain array of the same values.
    for value in (frame, frame[1:3], doubled):
        back = pickle.loads(pickle.dumps(value))
        assert type(back) is np.ndarray and (back == value).all()
    # Results do not hold the locked memory: with the frame gone, only its
    # mean kept, the lock goes.
    del frame, doubled, copied, value, result, back
    gc.collect()
    assert locked() is None and float(mean) == 2.0

    with card.allocate(16) as buffer:
        held = buffer._veltra_locked
        assert not held.closed
    assert held.closed


def test_close_from_two_threads_closes_once(card: veltra.Card) -> None:
    # A pending wait makes the close take a while (it cancels and ends it).
    for _ in range(20):
        other = veltra.open(0)
        other.start_notification_wait(NOTIFICATION)
        failures: list[BaseException] = []
        start = threading.Barrier(2)

        def close() -> None:
            start.wait()
            try:
                other.close()
            except BaseException as error:  # noqa: BLE001
                failures.append(error)

        threads = [threading.Thread(target=close) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert failures == [] and other.closed


def test_ctrl_c_at_a_start_or_in_a_close_leaves_nothing_open() -> None:
    card = veltra.open(0)

    def interrupted(*arguments: object) -> int:
        raise KeyboardInterrupt  # as if it landed just before the call

    start_interrupted(card, interrupted)
    assert not card._state.pending
    closes_from_another_thread(card)

    # Ctrl-C inside a close: the close finishes, then says so.
    card = veltra.open(0)
    card.start_notification_wait(NOTIFICATION)
    state = card._state
    real_await = state.await_calls
    calls = []

    def await_interrupted() -> None:
        calls.append(None)
        if len(calls) == 1:
            raise KeyboardInterrupt
        real_await()

    state.await_calls = await_interrupted  # type: ignore[method-assign]
    with pytest.raises(KeyboardInterrupt):
        card.close()
    assert card.closed and state.close_called and not state.pending
    card.close()  # nothing more to do


def test_a_bounded_wait_yields_to_ctrl_c(card: veltra.Card) -> None:
    wait = card.start_notification_wait(NOTIFICATION)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        wait.wait(timeout=6)
    assert time.monotonic() - start < 2
    card.cancel()


def test_a_wait_kept_past_a_timeout_and_then_cancelled_is_not_raised_later(
        card: veltra.Card) -> None:
    async def run() -> bool:
        assert await card.wait_notification(NOTIFICATION, timeout=0.1) is False
        assert card.cancel()  # ends the kept wait with VELTRA_CANCELLED
        return await card.wait_notification(NOTIFICATION, timeout=0.2)

    assert asyncio.run(run()) is False


def test_pynq_forms_of_a_window(card: veltra.Card) -> None:
    window = card.window(1)  # the card memory
    window.write(0x40, 0x12345678)
    assert window.read(0x40) == 0x12345678
    assert window.read(0x40, 4) == b"\x78\x56\x34\x12"
    window.write(0x44, b"\x01\x02")
    assert window.read16(0x44) == 0x0201


def test_a_callback_that_closes_the_card_while_it_closes() -> None:
    card = veltra.open(0)
    wait = card.start_notification_wait(NOTIFICATION)
    wait.add_done_callback(lambda _: card.close())  # on failure, shut down
    closes_from_another_thread(card)


def test_ctrl_c_after_the_driver_took_a_request_keeps_it_until_the_close() -> None:
    card = veltra.open(0)
    real = card._state.library.VELTRA_StartNotificationWait

    def taken_then_interrupted(*arguments: object) -> int:
        real(*arguments)
        raise KeyboardInterrupt  # as if it landed as the call returned

    start_interrupted(card, taken_then_interrupted)
    # The driver has it: the close cancels it and waits for its end, since
    # its OVERLAPPED and event must outlive it.
    [kept] = card._state.pending
    closes_from_another_thread(card)
    assert kept.status == 275


def test_locks_follow_every_view_and_only_their_own_handle(card: veltra.Card) -> None:
    frame = card.allocate(16, np.uint8)
    locked = frame._veltra_locked
    assert frame[::-1]._veltra_locked is locked and frame[::-1][::-1]._veltra_locked is locked
    assert np.flip(frame)._veltra_locked is locked
    quotient = np.empty(16)
    assert np.divmod(frame, 3, out=(quotient, None))[1] is not None
    with veltra.open(0) as again:  # another handle of the same card
        frame[:] = 7
        again.write_dma(frame, 0x300)  # plain memory to it
        assert again.read_dma(0x300, 16) == b"\x07" * 16
        with pytest.raises(ValueError):
            again.release(frame)
        with raises(279, "VELTRA_NOT_OWNER"):
            again.write_dma(locked, 0x300)
    card.release(frame)
    assert locked.closed


def test_mapped_registers_refuse_what_they_cannot_reach() -> None:
    with veltra.open(0, read_only=True) as card, card.window(1).map(0, 4096) as mapping:
        for offset, refused in ((-4, ValueError), (2, ValueError), (4096, IndexError),
                                (1 << 70, IndexError)):
            with pytest.raises(refused):
                mapping.read32(offset)
        assert mapping.read32(np.int64(8)) == mapping.read32(8)
        for offset in (0, 2, -4, 4096):  # read-only comes first for a write
            with pytest.raises(PermissionError):
                mapping.write32(offset, 1)
    with pytest.raises(ValueError, match="closed"):
        mapping.read32(0)
