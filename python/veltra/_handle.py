"""The open handle of a card, which every area of the card's calls goes
through: its state, the count of calls in flight, what each area must undo
before or after the handle closes, and the close itself."""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Set, TypeVar

from ._errors import Status, VeltraError, check

if TYPE_CHECKING:
    import concurrent.futures

    from ._events import Operation, _Watcher

_Area = TypeVar("_Area")


class Area:
    """What one area of a card's calls (its mappings, its locked buffers,
    its registrations...) keeps on the handle, and how the close treats
    it: `busy` says why the card cannot close now (or ""), `before` undoes
    what needs the handle still open and returns its first failure,
    `after` drops what the driver released with the handle."""

    def __init__(self, value: Any, busy: Optional[Callable[[Any], str]] = None,
                 before: Optional[Callable[[Any], Optional[VeltraError]]] = None,
                 after: Optional[Callable[[Any], None]] = None) -> None:
        self.value = value
        self.busy = busy
        self.before = before
        self.after = after


class HandleState:
    """What must outlive a Card object: the library, the open handle, the
    operations still pending on it and the areas' state. A Card's finalizer
    closes it through this, so an operation whose Card was dropped still
    ends before its OVERLAPPED and memory go.

    An operation is started under `lock` and joins `pending` before its
    Start call, and the close marks the handle `closing` under the same
    lock, so every operation that the driver may still complete is in the
    close's list, and none starts after it. A blocking call counts itself in
    `active`, and the close waits until none is left, so that no call ever
    reaches the library with a handle that was closed under it. One close
    runs at a time (`close_lock`); a second one finds the handle closed."""

    def __init__(self, library: Any, value: int, index: int) -> None:
        self.library: Any = library
        self.value: int = value
        self.index: int = index
        self.closing: bool = False
        # VELTRA_Close was called (once: an interrupted close that is run
        # again does not close the handle twice), and it returned.
        self.close_called: bool = False
        self.closed: bool = False
        self.lock: threading.RLock = threading.RLock()
        self.close_lock: threading.RLock = threading.RLock()
        self.pending: Set["Operation"] = set()
        # One entry per blocking call in flight: its thread's id. Appending
        # and removing are atomic, so a call is counted without a lock: it
        # counts itself in before it looks at `closing`, and the close sets
        # `closing` before it looks at the count, so either the call sees
        # the close coming or the close sees the call.
        self.active: List[int] = []
        self.watcher: Optional["_Watcher"] = None
        # The watcher the close stopped, joined once the close lets go of
        # its lock (a callback on it may close the card too).
        self.retired: Optional["_Watcher"] = None
        self.areas: Dict[str, Area] = {}

    def area(self, name: str, make: Callable[[], _Area], **hooks: Any) -> _Area:
        """The state of area `name`, made by `make` and given its close
        hooks (see :class:`Area`) the first time it is asked for."""
        with self.lock:
            found = self.areas.get(name)
            if found is None:
                found = self.areas[name] = Area(make(), **hooks)
            value: _Area = found.value
            return value

    def begin_call(self) -> bool:
        """Counts a blocking call in; False once the handle is closing."""
        me = threading.get_ident()
        self.active.append(me)
        if self.closing or self.closed:
            self.active.remove(me)
            return False
        return True

    def end_call(self) -> None:
        self.active.remove(threading.get_ident())

    def forget_kept_waits(self) -> None:
        """Every wait of the handle was cancelled: none kept is of use."""
        area = self.areas.get("notification waits")
        if area is not None:
            area.value.clear()

    def call_if_open(self, name: str, *arguments: Any) -> Optional[int]:
        """Calls export `name` with the handle, counted in as a call in
        flight, unless the handle is closing: its status, or None when it
        was not called (the close releases what it would have)."""
        if not self.begin_call():
            return None
        try:
            status: int = getattr(self.library, name)(self.value, *arguments)
            return status
        finally:
            self.end_call()

    def await_calls(self) -> None:
        """After end_pending (which set `closing`): cancels the transfers of
        blocking calls still in other threads, and waits until every call
        has returned."""
        # A close run on a thread inside a call (a collection that drops the
        # card there) does not wait for that call.
        me = threading.get_ident()
        if not any(caller != me for caller in self.active):
            return
        self.library.VELTRA_Cancel(self.value)
        while any(caller != me for caller in list(self.active)):
            time.sleep(0.001)

    def watch(self, operation: "Operation", future: "concurrent.futures.Future[bool]") -> bool:
        """Completes `future` when `operation` ends, from the handle's
        watcher thread (started at the first watch); False, watching
        nothing, once the handle is closing (the close ends the
        operation)."""
        from ._events import _Watcher

        with self.lock:
            if self.closing or self.closed:
                return False
            if self.watcher is None:
                self.watcher = _Watcher(self)
            self.watcher.add(operation, future)
            return True

    def end_pending(self) -> None:
        """Refuses new operations, then cancels and finishes every pending
        operation of the handle."""
        with self.lock:
            self.closing = True
            pending = list(self.pending)
        if pending:
            self.library.VELTRA_Cancel(self.value)
            for operation in pending:
                operation._settle()
        with self.lock:
            watcher, self.watcher = self.watcher, None
        if watcher is not None:
            watcher.stop(join=False)
            self.retired = watcher

    def join_watcher(self) -> None:
        """Waits for the watcher the close stopped; outside the close's lock,
        since a callback on the watcher may be closing the card too."""
        watcher, self.retired = self.retired, None
        if watcher is not None:
            watcher.join()

    def busy(self) -> str:
        """Why the handle cannot close now ("" when it can)."""
        for area in list(self.areas.values()):
            if area.busy is not None:
                reason = area.busy(area.value)
                if reason:
                    return reason
        return ""

    def close(self, undo: bool) -> Optional[VeltraError]:
        """Closes the handle: with `undo`, first what each area undoes while
        it is open (a failure there does not stop the close); then the
        pending operations end, the calls in flight return, VELTRA_Close,
        and each area drops what the driver released. The first failure,
        or None. Run again after an interruption, it goes on where it
        stopped."""
        with self.close_lock:
            if self.closed:
                return None
            first: Optional[VeltraError] = None
            if undo:
                for area in list(self.areas.values()):
                    if area.before is not None:
                        failure = area.before(area.value)
                        if first is None:
                            first = failure
            self.end_pending()
            self.await_calls()
            if not self.close_called:
                self.close_called = True
                status: int = self.library.VELTRA_Close(self.value)
                if status != Status.SUCCESS and first is None:
                    first = VeltraError.from_code(status, "VELTRA_Close")
            # Closed once everything is dropped: a close interrupted here
            # is run again from here.
            for area in list(self.areas.values()):
                if area.after is not None:
                    area.after(area.value)
            self.closed = True
            return first


def close_until_done(state: HandleState, undo: bool) -> Optional[VeltraError]:
    """:meth:`HandleState.close`, finished even when Ctrl-C interrupts it
    once (a card left half closed is a leak): the interrupt is raised once
    the handle is closed. A second Ctrl-C (a close that waits for another
    thread's long call, say) leaves it to be finished by the next close."""
    interrupted: Optional[BaseException] = None
    while True:
        try:
            failure = state.close(undo)
            break
        except KeyboardInterrupt as error:
            if interrupted is not None:
                raise
            interrupted = error
    if interrupted is not None:
        raise interrupted
    return failure


def _close_handle(state: HandleState) -> None:
    """A collected Card's finalizer: its objects went with it."""
    try:
        close_until_done(state, False)
    finally:
        state.join_watcher()


class CardHandle:
    """The handle part of a :class:`Card`, which the areas of its calls
    build on."""

    index: int
    read_only: bool
    _state: HandleState

    @property
    def closed(self) -> bool:
        """True once the card is closed."""
        return self._state.closed

    @property
    def handle(self) -> int:
        """The VELTRA_HANDLE, for calls of one's own into the library."""
        self._check_open()
        return self._state.value

    def _check_open(self) -> None:
        if self._state.closing or self._state.closed:
            raise ValueError(f"card {self.index} is closed")

    def _refuse_changes(self, call: str) -> None:
        if self.read_only:
            raise PermissionError(f"card {self.index} is open read-only: {call} would change it")

    def _call(self, name: str, *arguments: Any) -> None:
        # Counted in, so that a close on another thread waits for the call
        # instead of closing the handle under it.
        status = self._state.call_if_open(name, *arguments)
        if status is None:
            raise ValueError(f"card {self.index} is closed")
        check(status, name)
