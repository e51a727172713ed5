"""Operations as awaitables and futures: from one asyncio event loop whose
thread never blocks, and from code without asyncio."""

from __future__ import annotations

import asyncio
import threading

import pytest

import veltra
from conftest import raises

DOORBELL = 2  # the default card's doorbell window


def test_transfers_and_notifications_are_awaited_without_blocking_the_loop(
    card: veltra.Card,
) -> None:
    doorbell = card.window(DOORBELL)

    async def main() -> None:
        ticks = 0

        async def tick() -> None:
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.005)

        ticker = asyncio.create_task(tick())
        data = bytes(range(256)) * 4096
        assert await card.start_write_dma(data, 0x100000) is True
        back = bytearray(len(data))
        assert await card.start_read_dma(back, 0x100000, channel=1) is True
        assert back == data

        # The loop runs on while a wait is outstanding, and the raise ends it.
        asyncio.get_running_loop().call_later(0.2, doorbell.write32, 0, 60)
        before = ticks
        assert await card.wait_notification(60, timeout=5) is True
        assert ticks - before >= 10, "the loop's thread was blocked"

        # A wait that timed out is taken up by the next: the raise between
        # the two is not lost, and no wait is left behind.
        assert await card.wait_notification(61, timeout=0.1) is False
        doorbell.write32(0, 61)
        assert await card.wait_notification(61, timeout=5) is True
        assert card.cancel() is False  # nothing outstanding

        # Several at once, on one loop.
        asyncio.get_running_loop().call_later(0.05, doorbell.write32, 0, 62)
        asyncio.get_running_loop().call_later(0.1, doorbell.write32, 0, 63)
        assert await asyncio.gather(card.wait_notification(62, timeout=5),
                                    card.wait_notification(63, timeout=5)) == [True, True]
        ticker.cancel()

    asyncio.run(main())


def test_a_cancelled_await_leaves_the_operation_and_a_cancel_ends_them_all(
    card: veltra.Card,
) -> None:
    async def main() -> None:
        first = card.start_notification_wait(70)
        task = asyncio.create_task(_await(first))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert first.status is None, "the operation went on"
        card.window(DOORBELL).write32(0, 70)
        assert await first is True

        second = card.start_notification_wait(71)
        third = card.start_notification_wait(72)
        card.cancel()  # the driver's cancel: every outstanding operation
        for wait in (second, third):
            with raises(275, "VELTRA_CANCELLED"):
                await wait

    asyncio.run(main())


async def _await(operation: veltra.Operation) -> bool:
    return await operation


def test_futures_and_callbacks_without_asyncio(card: veltra.Card) -> None:
    wait = card.start_notification_wait(80)
    ended = threading.Event()
    seen: list[veltra.Operation] = []
    wait.add_done_callback(lambda operation: (seen.append(operation), ended.set()))
    future = wait.future()
    assert not future.done()
    card.window(DOORBELL).write32(0, 80)
    assert future.result(timeout=5) is True
    assert ended.wait(5) and seen == [wait]
    assert wait.future().result(timeout=0) is True  # one already ended completes at once

    doomed = card.start_notification_wait(81)
    watched = doomed.future()
    card.close()  # ends it, and its future with it
    with raises(275, "VELTRA_CANCELLED"):
        watched.result(timeout=5)
