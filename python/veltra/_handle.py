"""The open handle of a card, which every area of the card's calls goes
through: its state, the count of calls in flight, and its close."""

from __future__ import annotations

import weakref
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

from ._errors import Status, check
from ._events import HandleState
from ._memory import Keeper

if TYPE_CHECKING:
    from ._dma import LockedBuffer
    from ._events import NotificationWait
    from ._notifications import Registration
    from ._windows import Mapping


def _close_handle(state: HandleState) -> int:
    """Ends the handle's operations and closes it; the Card's finalizer."""
    if state.closed:
        return Status.SUCCESS
    state.end_pending()
    state.await_calls()
    state.closed = True
    status: int = state.library.VELTRA_Close(state.value)
    return status


class CardBase:
    """The handle part of a :class:`Card`, which the areas of its calls
    build on."""

    index: int
    read_only: bool
    _state: HandleState
    _mappings: "weakref.WeakSet[Mapping]"
    _regions: "weakref.WeakSet[Keeper]"
    _locked: "weakref.WeakSet[LockedBuffer]"
    _registrations: "weakref.WeakSet[Registration]"
    _datatypes: Dict[int, int]
    _memory_size: Optional[Tuple[Optional[int]]]
    _notification_waits: Dict[int, "NotificationWait"]

    @property
    def closed(self) -> bool:
        return self._state.closed

    @property
    def handle(self) -> int:
        """The VELTRA_HANDLE, for calls of one's own into the library."""
        self._check_open()
        return self._state.value

    def _check_open(self) -> None:
        if self._state.closed:
            raise ValueError(f"card {self.index} is closed")

    def _refuse_changes(self, call: str) -> None:
        if self.read_only:
            raise PermissionError(f"card {self.index} is open read-only: {call} would change it")

    def _call(self, name: str, *arguments: Any) -> None:
        # Counted in, so that a close on another thread waits for the call
        # instead of closing the handle under it.
        state = self._state
        if not state.begin_call():
            raise ValueError(f"card {self.index} is closed")
        try:
            check(getattr(state.library, name)(state.value, *arguments), name)
        finally:
            state.end_call()
