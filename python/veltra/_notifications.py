"""Notifications of a card: waits, and events the driver signals."""

from __future__ import annotations

import asyncio
import weakref
from typing import Any, Dict, Optional

from ._errors import Status, check
from ._events import Event, NotificationWait
from ._common import _u32
from ._handle import CardHandle, HandleState


def _unregister(state: HandleState, notification: int, event: Event) -> None:
    if not event.closed:
        state.call_if_open("VELTRA_UnregisterWin32Event", notification, event.handle)
    event.close()


def _forget_all(registrations: "weakref.WeakSet[Registration]") -> None:
    for registration in list(registrations):
        try:
            registration._forget()
        except ValueError:
            pass  # closed meanwhile by its owner


def _registrations(card: CardHandle) -> "weakref.WeakSet[Registration]":
    """The card's registrations, which the driver drops with its handle."""
    return card._state.area("registrations", weakref.WeakSet, after=_forget_all)


def _kept_waits(card: CardHandle) -> Dict[int, NotificationWait]:
    """The wait that wait_notification() left outstanding at a timeout,
    by notification, for the next one to take up."""
    return card._state.area("notification waits", dict)


class Registration:
    """An event that the driver signals whenever a notification is raised
    (VELTRA_RegisterWin32Event); ended by :meth:`close`, the end of a
    ``with`` block, or the card's close."""

    def __init__(self, card: CardHandle, notification: int) -> None:
        self._card = card
        self.notification: int = _u32(notification, "notification")
        self._ended = False  # unregistered, or dropped by the card's close
        self.event: Event = Event()
        try:
            card._call("VELTRA_RegisterWin32Event", self.notification, self.event.handle)
        except BaseException:
            self.event.close()
            raise
        self._finalizer = weakref.finalize(
            self, _unregister, card._state, self.notification, self.event
        )
        _registrations(card).add(self)

    @property
    def ended(self) -> bool:
        """True once closed or ended by the card's close."""
        return self._ended

    def wait(self, timeout: Optional[float] = None) -> bool:
        """True once the notification has been raised since the last wait
        (several raises in between are one: the event is a flag), False if
        `timeout` seconds passed first (None: no limit). Raises
        ValueError once the registration has ended; a thread that is
        waiting when the card closes wakes and raises it."""
        if self._ended:
            raise ValueError("the registration has ended")
        signalled = self.event.wait(timeout)
        if self._ended:
            raise ValueError("the registration ended: its card was closed")
        return signalled

    def _forget(self) -> None:
        """The card closed, and the driver dropped the registration. The
        event stays open, since a thread may be waiting on it, until this
        object is closed or collected; it is set to wake such a thread."""
        self._finalizer.detach()
        self._ended = True
        self.event.set()

    def close(self) -> None:
        """Unregisters (VELTRA_UnregisterWin32Event) unless the card's close
        has ended the registration, and closes the event. Raises VeltraError:
        VELTRA_CANCEL_FAILED (274) if the driver no longer has the
        registration, or a status of any request (see :class:`Card`); the
        event is closed all the same (the driver keeps a reference of its
        own to an event it has registered)."""
        if self.event.closed:
            return
        ended, self._ended = self._ended, True
        try:
            if not ended:
                self._finalizer.detach()
                _registrations(self._card).discard(self)
                status = self._card._state.call_if_open(
                    "VELTRA_UnregisterWin32Event", self.notification, self.event.handle
                )
                if status is not None:
                    check(status, "VELTRA_UnregisterWin32Event")
        finally:
            self.event.close()

    def __enter__(self) -> "Registration":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class CardNotifications(CardHandle):
    """Notification waits, event registrations and cancelling."""

    async def wait_notification(self, notification: int, timeout: Optional[float] = None) -> bool:
        """``await card.wait_notification(n, timeout=...)``: True once
        notification `n` is raised, False if `timeout` seconds passed first
        (None: no limit); raises VeltraError if the wait fails (VELTRA_CANCELLED,
        275, when the card's handle is cancelled or closed). The event loop's
        thread never blocks. A wait that timed out stays outstanding and is
        taken up by the next wait_notification for the same notification,
        so a raise between the two is not lost and timeouts leave no waits
        behind (they end with the card)."""
        number = _u32(notification, "notification")
        kept = _kept_waits(self)
        wait = kept.pop(number, None)
        # A kept wait that failed meanwhile (a cancel() ended it) says
        # nothing of this wait: a fresh one is started.
        if wait is not None and wait.done() and wait.status != Status.SUCCESS:
            wait = None
        if wait is None:
            wait = self.start_notification_wait(number)
        try:
            await asyncio.wait_for(asyncio.wrap_future(wait.future()), timeout)
        except asyncio.TimeoutError:
            kept.setdefault(number, wait)
            return False
        except asyncio.CancelledError:
            kept.setdefault(number, wait)
            raise
        return True

    def start_notification_wait(self, notification: int) -> NotificationWait:
        """Starts a wait for card notification `notification`
        (VELTRA_StartNotificationWait); finish it with its
        :meth:`~NotificationWait.wait`. The wait ends when the notification
        is raised while it is outstanding; one raised before it started is
        not kept for it. Raises VeltraError, with nothing
        started, with the statuses of any request (see :class:`Card`):
        VELTRA_INVALID_HANDLE (269), VELTRA_CANCELLED (275), VELTRA_NO_MEMORY
        (259), VELTRA_UNEXPECTED_ERROR (257); ValueError for a closed card."""
        self._check_open()
        number = _u32(notification, "notification")
        wait = NotificationWait(self._state, number)
        export = self._state.library.VELTRA_StartNotificationWait
        handle = self._state.value
        wait._begin(lambda overlapped: int(export(handle, overlapped, number)))
        return wait

    def register_event(self, notification: int) -> Registration:
        """Has the driver signal an event of the package whenever
        `notification` is raised (VELTRA_RegisterWin32Event). Raises
        VeltraError: VELTRA_BUSY (273)."""
        self._check_open()
        return Registration(self, notification)

    def cancel(self) -> bool:
        """Cancels every outstanding transfer and notification wait of the
        card's handle (VELTRA_Cancel); they end with VELTRA_CANCELLED.
        False if there was nothing to cancel (VELTRA_CANCEL_FAILED). Raises
        VeltraError with the statuses of any other failing request (see
        :class:`Card`)."""
        self._check_open()
        status = self._state.call_if_open("VELTRA_Cancel")
        if status is None:
            raise ValueError(f"card {self.index} is closed")
        if status == Status.CANCEL_FAILED:
            return False
        check(status, "VELTRA_Cancel")
        # Every wait of the handle ended: a kept one would only raise its
        # cancel into the next wait.
        self._state.forget_kept_waits()
        return True
