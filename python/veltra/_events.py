"""Win32 events and the non-blocking operations that complete through them.

A non-blocking transfer or notification wait runs on an OVERLAPPED of its
own whose manual-reset event the driver signals when the operation ends;
:meth:`Operation.wait` waits on that event (so it can time out, which the
library's finish call cannot) and then asks the library for the outcome.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import ctypes
import math
import sys
import threading
import time
import weakref
from typing import Any, Callable, Generator, List, Optional, Tuple

from ._buffers import Pinned
from ._errors import Status, VeltraError
from ._handle import HandleState
from ._library import OVERLAPPED, libraries

_INFINITE = 0xFFFFFFFF
_WAIT_OBJECT_0 = 0
_WAIT_TIMEOUT = 258
# An unbounded wait is made of slices of this many milliseconds, so that
# Ctrl-C reaches a thread that waits.
_SLICE_MS = 200
# OVERLAPPED.Internal: what the system writes there when it takes a request
# that is to complete later, and a value of the package's own before the
# request is made.
_STATUS_PENDING = 0x103
_NOT_ISSUED = 0xFFFFFFFF


def _last_error(platform: Any) -> int:
    """The calling thread's last Win32 error. On Windows it is the copy that
    ctypes keeps of it right after each call into kernel32 (loaded with
    use_last_error), since the interpreter itself may call the system
    between two calls; the stand-in's own error is not touched that way."""
    if sys.platform == "win32":
        return ctypes.get_last_error()
    error: int = platform.GetLastError()
    return error


def create_event(manual_reset: bool, initial: bool = False) -> int:
    """A new Win32 event's handle. Raises OSError if the platform has none."""
    platform = libraries.platform()
    handle: Optional[int] = platform.CreateEventA(None, int(manual_reset), int(initial), None)
    if not handle:
        raise OSError(f"CreateEventA failed with error {_last_error(platform)}")
    return handle


def close_event(handle: int) -> None:
    libraries.platform().CloseHandle(handle)


def wait_event(handle: int, timeout: Optional[float]) -> bool:
    """Waits for an event: True when signalled, False after `timeout`
    seconds (None: no limit). Raises OSError if the wait fails."""
    platform = libraries.platform()
    if timeout is None:
        result = platform.WaitForSingleObject(handle, _SLICE_MS)
        while result == _WAIT_TIMEOUT:
            result = platform.WaitForSingleObject(handle, _SLICE_MS)
    else:
        # In slices too, so that Ctrl-C does not wait for the timeout.
        deadline = time.monotonic() + max(0.0, timeout)
        while True:
            left = min(max(0, math.ceil((deadline - time.monotonic()) * 1000)), _INFINITE - 1)
            result = platform.WaitForSingleObject(handle, min(left, _SLICE_MS))
            if result != _WAIT_TIMEOUT or left <= _SLICE_MS:
                break
    if result == _WAIT_OBJECT_0:
        return True
    if result == _WAIT_TIMEOUT:
        return False
    raise OSError(f"WaitForSingleObject failed ({result:#x}, error {_last_error(platform)})")


class Event:
    """A Win32 event: of kernel32 on Windows, of the Win32 stand-in on
    Linux. Auto-reset unless `manual_reset`; closed by :meth:`close`, by the
    end of a ``with`` block, or when collected. Raises OSError if the
    platform cannot make one."""

    def __init__(self, manual_reset: bool = False, initial: bool = False) -> None:
        handle = create_event(manual_reset, initial)
        self._handle: Optional[int] = handle
        self._finalizer = weakref.finalize(self, close_event, handle)

    @property
    def handle(self) -> int:
        """The Win32 handle. Raises ValueError once the event is closed."""
        if self._handle is None:
            raise ValueError("the event is closed")
        return self._handle

    @property
    def closed(self) -> bool:
        """True once the event's handle is closed."""
        return self._handle is None

    def set(self) -> None:
        """Signals the event."""
        libraries.platform().SetEvent(self.handle)

    def reset(self) -> None:
        """Clears the event."""
        libraries.platform().ResetEvent(self.handle)

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the event is signalled: True when it is, False when
        `timeout` seconds passed first (None: no limit). An auto-reset
        event is cleared by the wait that sees it."""
        return wait_event(self.handle, timeout)

    def close(self) -> None:
        """Closes the event's handle; nothing happens the second time."""
        if self._handle is not None:
            self._handle = None
            self._finalizer()

    def __enter__(self) -> "Event":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class Operation:
    """A non-blocking operation of a card: a DMA transfer or a notification
    wait. It keeps its OVERLAPPED, its event and the host memory it uses
    until it has ended; the card keeps it while it is pending, and closing
    the card cancels it and waits for it.

    Windows cancels the outstanding requests of a thread when the thread
    ends, and the simulated machine does the same: start an operation from
    a thread that lives until the operation is over (it may be waited for
    from any thread)."""

    def __init__(
        self, state: HandleState, pinned: Optional[Pinned], what: str, keep: object = None
    ) -> None:
        # The operation holds the handle's state, not the Card: a card that
        # is dropped is closed, and its close ends the operation.
        self._state = state
        # One hold on the host memory (the caller's buffer, or a locked
        # buffer's), let go when the operation ends.
        self._pinned = pinned
        # Only kept alive until then: a locked buffer, whose finalizer would
        # unlock it under the transfer.
        self._keep = keep
        self._what = what
        # The event lives as long as this object, so that a thread still in
        # wait() never sees its handle closed (or reused) under it. Not at
        # exit: the cards' own close at exit may still wait on it.
        self._event = create_event(manual_reset=True)
        self._finalizer = weakref.finalize(self, close_event, self._event)
        self._finalizer.atexit = False
        self._overlapped = OVERLAPPED()
        self._overlapped.hEvent = self._event
        self._status: Optional[int] = None
        # Reentrant: a card's close can run inside a collection that starts
        # while this thread is in _finish, and it finishes this operation.
        self._lock = threading.RLock()

    def _begin(self, start: Callable[[Any], int]) -> None:
        """Calls the Start export; raises VeltraError if it started nothing,
        ValueError if the card is closing. Interrupted (Ctrl-C), it is
        undone unless the driver has the request: the Start call's status
        says so when it returned, and otherwise the OVERLAPPED does (the
        system marks it pending when it takes the request); a close then
        waits for it as for any other."""
        overlapped = ctypes.byref(self._overlapped)
        state = self._state
        self._overlapped.Internal = _NOT_ISSUED
        status: Optional[int] = None
        closing = False
        try:
            with state.lock:
                if state.closing:
                    closing = True
                else:
                    # Pending before the driver may complete it: a close
                    # that comes now waits for it.
                    state.pending.add(self)
                    status = start(overlapped)
                    if status == Status.PENDING:
                        return
            if closing:
                self._end(Status.CANCELLED)
                raise ValueError(f"card {state.index} is closed")
            assert status is not None
            self._end(status)
        except BaseException:
            if self._status is None:
                issued = (status == Status.PENDING if status is not None
                          else self._overlapped.Internal == _STATUS_PENDING)
                if not issued:
                    self._end(Status.CANCELLED if status is None else status)
            raise
        if status != Status.SUCCESS:
            raise VeltraError.from_code(status, self._what)

    def _end(self, status: int) -> None:
        self._status = status
        with self._state.lock:
            self._state.pending.discard(self)
        pinned, self._pinned = self._pinned, None
        if pinned is not None:
            pinned.release()
        self._keep = None

    def _finish(self, wait: bool) -> None:
        overlapped = ctypes.byref(self._overlapped)
        with self._lock:
            if self._status is None:
                status = self._state.library.VELTRA_FinishDMA(
                    self._state.value, overlapped, 1 if wait else 0
                )
                # Ended meanwhile by a close run from this thread's collection.
                if status != Status.PENDING and self._status is None:
                    self._end(status)

    def _settle(self) -> None:
        """Waits for the end without raising (the close of the card)."""
        if self._status is None:
            wait_event(self._event, None)
            self._finish(True)

    @property
    def status(self) -> Optional[int]:
        """The final status (0 for success), or None while it is pending."""
        return self._status

    def done(self) -> bool:
        """True once the operation has ended (VELTRA_FinishDMA without
        waiting). Never raises for the operation's own failure."""
        if self._status is None and not self._state.closed:
            self._finish(False)
        return self._status is not None

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits for the end: True when it ended well, False if `timeout`
        seconds passed first (None: no limit; it is still pending then).
        Raises VeltraError with the operation's status if it failed:
        VELTRA_CANCELLED (275) when cancelled, and for a transfer the
        statuses of the DMA forms (invalid channel, flags, local region,
        hardware error...)."""
        if self._status is None:
            if not wait_event(self._event, timeout):
                return False
            self._finish(True)
        if self._status != Status.SUCCESS:
            assert self._status is not None
            raise VeltraError.from_code(self._status, self._what)
        return True

    def future(self) -> "concurrent.futures.Future[bool]":
        """A concurrent.futures.Future of the operation's end: its result is
        True when it ended well, its exception the VeltraError of its
        failure. Completed by the card's watcher thread (one per card, which
        waits on the events of every watched operation), so no thread waits
        per operation. Cancelling the future stops only that watch; the
        operation goes on (see :meth:`cancel`)."""
        future: concurrent.futures.Future[bool] = concurrent.futures.Future()
        if self._status is None and self._state.watch(self, future):
            return future
        # Ended, or its card closing (whose close ends it): settled here.
        if self._status is None:
            self._settle()
        self._resolve(future)
        return future

    def add_done_callback(self, callback: Callable[["Operation"], object]) -> None:
        """Calls `callback(operation)` once the operation has ended, on the
        card's watcher thread (or at once if it has ended already)."""
        self.future().add_done_callback(lambda _: callback(self))

    def __await__(self) -> Generator[Any, None, bool]:
        """``await operation``: True when it ended well; raises its
        VeltraError otherwise. The event loop's thread never blocks: the
        card's watcher thread completes the await through the loop. A task
        cancelled while it awaits stops awaiting; the operation goes on,
        since the driver cancels only every outstanding operation of the
        card's handle at once (:meth:`cancel`)."""
        return asyncio.wrap_future(self.future()).__await__()

    def _resolve(self, future: "concurrent.futures.Future[bool]") -> None:
        """Completes `future` with the ended operation's outcome (unless it
        was cancelled meanwhile)."""
        if not future.set_running_or_notify_cancel():
            return
        if self._status is None:
            self._finish(True)
        if self._status == Status.SUCCESS:
            future.set_result(True)
        else:
            status = self._status if self._status is not None else Status.CANCELLED
            future.set_exception(VeltraError.from_code(status, self._what))

    def cancel(self) -> bool:
        """Cancels the operation and waits for its end; True if it ended
        cancelled, False if it had ended already. VELTRA_Cancel ends every
        outstanding transfer and notification wait of the card's handle,
        not only this one. Raises VeltraError if the cancel request fails
        (other than VELTRA_CANCEL_FAILED, which means that nothing was left
        to cancel)."""
        if self._status is not None:
            return False
        # A close under way cancels it itself.
        status = self._state.call_if_open("VELTRA_Cancel")
        if status is not None and status not in (Status.SUCCESS, Status.CANCEL_FAILED):
            raise VeltraError.from_code(status, "VELTRA_Cancel")
        self._state.forget_kept_waits()
        self._settle()
        return self._status == Status.CANCELLED


_MAXIMUM_WAIT_OBJECTS = 64


class _Watcher:
    """The thread that waits, for one card, on the events of the operations
    whose futures are asked for, and completes those futures as the
    operations end. An event of its own wakes it for a new watch or its
    stop. More operations than one wait takes are waited for in turns."""

    def __init__(self, state: HandleState) -> None:
        self._state = state
        self._wake = create_event(manual_reset=False)
        self._lock = threading.Lock()
        self._watched: List[Tuple["Operation", "concurrent.futures.Future[bool]"]] = []
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name=f"veltra card {state.index} watcher",
                                        daemon=True)
        self._thread.start()

    def add(self, operation: "Operation", future: "concurrent.futures.Future[bool]") -> None:
        with self._lock:
            self._watched.append((operation, future))
        libraries.platform().SetEvent(self._wake)

    def stop(self, join: bool = True) -> None:
        """Completes what is still watched (the card's close has ended the
        operations) and ends the thread; waits for it if `join`."""
        with self._lock:
            self._stopping = True
        libraries.platform().SetEvent(self._wake)
        if join:
            self.join()

    def join(self) -> None:
        """Waits until the thread has ended (unless called from it)."""
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def _run(self) -> None:
        platform = libraries.platform()
        turn = 0
        try:
            while True:
                with self._lock:
                    stopping = self._stopping
                    self._watched = [(o, f) for o, f in self._watched if not f.cancelled()]
                    watched = list(self._watched)
                ended = [(o, f) for o, f in watched if o._status is not None]
                if stopping:
                    ended = watched
                for operation, future in ended:
                    operation._resolve(future)
                if ended:
                    with self._lock:
                        self._watched = [w for w in self._watched if w not in ended]
                    continue
                if stopping:
                    return
                # One wait takes the wake event and up to 63 operations.
                room = _MAXIMUM_WAIT_OBJECTS - 1
                if len(watched) > room:
                    turn = (turn + room) % len(watched)
                    watched = (watched[turn:] + watched[:turn])[:room]
                handles = (ctypes.c_void_p * (len(watched) + 1))(
                    self._wake, *[o._event for o, _ in watched]
                )
                timeout = _SLICE_MS if len(self._watched) > room else _INFINITE
                result = platform.WaitForMultipleObjects(len(handles), handles, 0, timeout)
                index = result - _WAIT_OBJECT_0
                if 1 <= index <= len(watched):
                    operation, future = watched[index - 1]
                    operation._finish(False)
        finally:
            close_event(self._wake)


class Transfer(Operation):
    """A DMA transfer started by :meth:`Card.start_read_dma` or
    :meth:`Card.start_write_dma`. The host memory stays held until it ends."""

    def __repr__(self) -> str:
        return f"<veltra.Transfer {self._what} status={self._status}>"


class NotificationWait(Operation):
    """A wait for a card notification, started by
    :meth:`Card.start_notification_wait`."""

    def __init__(self, state: HandleState, notification: int) -> None:
        super().__init__(state, None, "VELTRA_StartNotificationWait")
        self.notification = notification

    def __repr__(self) -> str:
        return f"<veltra.NotificationWait {self.notification} status={self._status}>"
