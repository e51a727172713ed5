"""Memoryviews of memory that the libraries own: a mapped window or common
buffer, the data of a loaded bitstream.

Such memory goes away when it is unmapped or unloaded, and a memoryview
cannot be revoked: a slice of it, or a numpy array made from it, would go on
pointing at the old address. So the views hang off one ctypes array that
also holds the object that owns the memory (and through it the card), and
before the memory is given back :meth:`ExternalMemory.release` checks that
nothing but the package still refers to that array; if something does, it
raises BufferError and the memory stays.
"""

from __future__ import annotations

import ctypes
import sys
from typing import Any, Optional

# References to the array while nothing outside holds it: the attribute of
# ExternalMemory and the argument of sys.getrefcount.
_OWN_REFERENCES = 2
_IN_USE = "the memory is still in use by a view made from it (a slice, a cast, a numpy array)"


class ExternalMemory:
    """A byte view of `length` bytes at `address`, read-only if asked."""

    def __init__(self, address: int, length: int, owner: object, readonly: bool = False) -> None:
        array = (ctypes.c_ubyte * length).from_address(address)
        # Every view keeps the owner alive, so the memory is not given back
        # by a finalizer while a view of it is still reachable.
        setattr(array, "_veltra_owner", owner)
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

    def release(self) -> None:
        """Ends the package's view. Raises BufferError if a view made from
        it (a slice, a cast, a numpy array) still exists: the memory must
        then stay where it is, and :attr:`view` is a fresh view of it."""
        if self._array is None:
            return
        if self._view is not None:
            try:
                self._view.release()
            except BufferError:
                raise BufferError(_IN_USE) from None
            self._view = None
        if sys.getrefcount(self._array) > _OWN_REFERENCES:
            self._view = self._make_view()
            raise BufferError(_IN_USE)
        setattr(self._array, "_veltra_owner", None)
        self._array = None
