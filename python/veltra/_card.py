"""A card of the VELTRA library: one object made of the areas of its calls
(information, FPGA, board services, windows and memory, DMA,
notifications)."""

from __future__ import annotations

import weakref
from ctypes import byref
from typing import Any, List

from . import _records as R
from ._errors import Status, VeltraError, check
from ._library import HANDLE, libraries
from ._board import CardBoard
from ._common import _u32, card_paths
from ._dma import CardDma
from ._fpga import CardFpga
from ._handle import HandleState, _close_handle, close_until_done
from ._notifications import CardNotifications


class Card(CardFpga, CardBoard, CardDma, CardNotifications):
    """An open card (VELTRA_Open, VELTRA_OpenEx). Close it with
    :meth:`close` or a ``with`` block; a card that is collected is closed
    too. Besides the statuses each method names, every method that sends a
    request may raise VeltraError with VELTRA_INVALID_HANDLE (269),
    VELTRA_CANCELLED (275), VELTRA_NO_MEMORY (259), VELTRA_UNEXPECTED_ERROR
    (257, for instance a removed card) or another status of the driver.
    Raises ValueError for a closed card."""

    def __init__(self, index: int, *, read_only: bool = False, flags: int = 0) -> None:
        """Opens card `index`. Raises VeltraError: VELTRA_DEVICE_NOT_FOUND
        (261) when no card has that index, VELTRA_ACCESS_DENIED (260),
        VELTRA_NO_MEMORY (259), VELTRA_UNEXPECTED_ERROR (257), and with bit 0
        of `flags` set the driver's verdict on them (VELTRA_INVALID_FLAG,
        267)."""
        library = libraries.veltra()
        index = _u32(index, "card index")
        flags = _u32(flags, "flags")
        handle = HANDLE()
        if read_only or flags:
            status = library.VELTRA_OpenEx(index, int(read_only), flags, byref(handle))
            check(status, "VELTRA_OpenEx")
        else:
            check(library.VELTRA_Open(index, byref(handle)), "VELTRA_Open")
        assert handle.value is not None
        self.index: int = index
        # The package refuses what would change the card (PermissionError).
        self.read_only: bool = bool(read_only)
        # Every area of the card's calls keeps its own state on the handle,
        # with what it undoes when the handle closes.
        self._state = HandleState(library, handle.value, index)
        self._finalizer = weakref.finalize(self, _close_handle, self._state)

    def close(self) -> None:
        """Unmaps the card's mappings, cancels and ends its pending
        transfers and waits, and closes the handle (VELTRA_Close); the
        driver releases its locked buffers and event registrations (a
        thread waiting on a :class:`Registration` wakes with ValueError).
        Another thread may be inside a call of the card meanwhile: the
        close cancels its transfer, waits until the call has returned, and
        refuses calls that come after it began (ValueError). One close runs
        at a time; nothing happens the second time, from any thread.
        Interrupted by Ctrl-C, the close still finishes, then raises
        KeyboardInterrupt.

        Raises BufferError, and leaves the card open and its mappings as
        they were, while a view made from one of its mappings still exists.
        A failed unmap does not stop the close: every mapping is unmapped
        and the handle closed, then the first failure is raised as
        VeltraError, that of VELTRA_UnmapWindow (see :meth:`Mapping.close`)
        or of VELTRA_Close: VELTRA_INVALID_HANDLE (269),
        VELTRA_UNEXPECTED_ERROR (257)."""
        state = self._state
        try:
            with state.close_lock:
                if state.closed:
                    return
                reason = state.busy()
                if reason:
                    raise BufferError(f"card {self.index} {reason}")
                failure = close_until_done(state, True)
                # Only a close that is done lets go of the collection's.
                self._finalizer.detach()
        finally:
            state.join_watcher()
        if failure is not None:
            raise failure

    def __enter__(self) -> "Card":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<veltra.Card {self.index}{' closed' if self.closed else ''}>"


def cards() -> List[R.CardSummary]:
    """Every card, in index order: opened in turn until
    VELTRA_DEVICE_NOT_FOUND, with its version and card information. Raises
    VeltraError for any other failure."""
    found: List[R.CardSummary] = []
    paths = card_paths()
    index = 0
    while True:
        try:
            card = Card(index)
        except VeltraError as error:
            if error.code == Status.DEVICE_NOT_FOUND:
                return found
            raise
        with card:
            path = paths[index] if index < len(paths) else ""
            found.append(R.CardSummary(index, card.version_info(), card.card_info_ex(), path))
        index += 1
