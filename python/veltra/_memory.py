"""Memoryviews of memory that the libraries own: a mapped window or common
buffer, the data of a loaded bitstream.

Such memory goes away when it is unmapped or unloaded, and a memoryview
cannot be revoked: a slice of it, or a numpy array made from it, would go on
pointing at the old address. So the views hang off one ctypes array that
also holds a :class:`Keeper`, whose finalizer gives the memory back, and
before the memory is given back :meth:`ExternalMemory.release` checks that
nothing but the package still uses the array; if something does, it raises
BufferError and changes nothing, the view handed out included.

How many views use the array is told by reference counts: a memoryview and
every slice or cast of it share one managed buffer (the object that holds the
array's export), each holding a reference to it, and a numpy array made from
a view holds a memoryview of its own on that managed buffer or an export of
the view. A view that has been released keeps its reference until it is
collected; those are told apart and do not count. The counts of a lone view are measured when the module loads, so
that the interpreter's own way of counting does not matter.
"""

from __future__ import annotations

import ctypes
import gc
import sys
import weakref
from typing import Any, Callable, Optional, Tuple

_IN_USE = "the memory is still in use by a view made from it (a slice, a cast, a numpy array)"


class Keeper:
    """What every view of the memory keeps alive: the finalizer that gives
    the memory back, run when the keeper is collected, and `owner`, an
    object that must outlive the views (the card whose close would unmap
    the memory under them). It refers to nothing that holds the views, so
    no reference cycle forms."""

    __slots__ = ("finalizer", "owner", "__weakref__")

    def __init__(self, give_back: Callable[..., Any], *arguments: Any, owner: object = None) -> None:
        self.finalizer = weakref.finalize(self, give_back, *arguments)
        self.owner = owner

    @property
    def alive(self) -> bool:
        """True until the memory is given back (or left to another close)."""
        return self.finalizer.alive


def _managed_views(view: memoryview) -> int:
    """The memoryviews registered on `view`'s managed buffer: itself, and its
    slices and casts, and those of numpy arrays made from it; plus the
    references of this function, which the module's baseline cancels."""
    referents = gc.get_referents(view)
    if len(referents) != 1:
        return -1  # not the memoryview this module knows
    managed = referents.pop()
    return sys.getrefcount(managed)


def _released_views(view: memoryview) -> int:
    """The memoryviews on `view`'s managed buffer that have been released
    (the end of a ``with`` block over a slice or cast, say): each still holds
    its reference until it is collected, but no longer uses the memory."""
    referents = gc.get_referents(view)
    if len(referents) != 1:
        return 0
    managed = referents.pop()
    released = 0
    for referrer in gc.get_referrers(managed):
        if isinstance(referrer, memoryview) and referrer is not view:
            try:
                referrer.nbytes
            except ValueError:
                released += 1
    return released


def _baseline() -> Tuple[int, int]:
    """The counts of an array that one view alone uses: references to the
    array (the package's, the managed buffer's, the call's) and the
    managed-buffer count of the view."""
    array = (ctypes.c_ubyte * 1)()
    view = memoryview(array).cast("B")
    counts = (sys.getrefcount(array), _managed_views(view))
    view.release()
    return counts


_ARRAY_REFERENCES, _LONE_VIEW = _baseline()


class ExternalMemory:
    """A byte view of `length` bytes at `address`, read-only if asked; its
    array holds `keeper` for as long as any view of it lives."""

    def __init__(self, address: int, length: int, keeper: Keeper, readonly: bool = False) -> None:
        array = (ctypes.c_ubyte * length).from_address(address)
        setattr(array, "_veltra_keeper", keeper)
        self._array: Any = array
        self._readonly = readonly
        self._view: Optional[memoryview] = self._make_view()

    @property
    def view(self) -> memoryview:
        if self._view is None:
            raise ValueError("the memory has been given back")
        return self._view

    def _make_view(self) -> memoryview:
        view = memoryview(self._array).cast("B")
        if not self._readonly:
            return view
        readonly = view.toreadonly()
        view.release()
        return readonly

    def in_use(self) -> bool:
        """True while something besides the package's own view uses the
        memory: a slice or cast of the view, a numpy array made from it, or
        the array itself reached through the view's ``obj``."""
        if self._view is None:
            return False
        if sys.getrefcount(self._array) != _ARRAY_REFERENCES:
            return True
        extra = _managed_views(self._view) - _LONE_VIEW
        # Looking for released views walks every object: only when needed.
        return extra != 0 and extra != _released_views(self._view)

    def release(self) -> None:
        """Ends the package's view. Raises BufferError, and changes nothing,
        while a view made from it (a slice, a cast, a numpy array) exists."""
        if self._view is None:
            return
        if self.in_use():
            raise BufferError(_IN_USE)
        try:
            self._view.release()  # refuses while an export of the view itself lives
        except BufferError:
            raise BufferError(_IN_USE) from None
        self._view = None
        setattr(self._array, "_veltra_keeper", None)
        self._array = None
