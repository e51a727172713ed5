"""Host memory for the libraries, by address and without copying.

The libraries take the caller's memory by address and the driver moves the
data straight to or from it, so the package passes the address of the
caller's own object and copies nothing:

- a writable object (bytearray, a writable memoryview, a numpy array, an
  mmap, a ctypes array) goes through ``ctypes.c_ubyte.from_buffer``;
- a read-only object (bytes, a read-only memoryview or numpy array) has no
  writable export, so its address comes from ``PyObject_GetBuffer`` through
  ``ctypes.pythonapi``, and ``PyBuffer_Release`` gives it back.

Either way the object stays exported while a :class:`Pinned` holds it: a
bytearray cannot be resized under a pending transfer, and the memory cannot
go away. A Pinned can have several holders (a locked buffer and the
transfers that use it): the object is given back when the last one lets go.
The object must be C-contiguous; its bytes are used whatever its item type.
"""

from __future__ import annotations

import ctypes
import threading
from ctypes import c_int, c_ssize_t, c_void_p
from typing import TYPE_CHECKING, Any, Dict, Optional, Protocol, Union


class ArrayBuffer(Protocol):
    """For type checkers: an object that describes its memory as numpy does,
    a numpy array. Python before 3.12 has no type for "exports the buffer
    protocol", and numpy's stubs do not say that an array does; at run time
    every buffer parameter takes any object that exports it."""

    @property
    def __array_interface__(self) -> Dict[str, Any]: ...


if TYPE_CHECKING:
    import array
    import mmap
    import pickle

    from _typeshed import ReadableBuffer as _Readable

    ReadableBuffer = Union[_Readable, ArrayBuffer]
    # What the package writes into: the buffer types that can be written,
    # so that a type checker refuses bytes (which the package refuses at
    # run time with TypeError).
    WriteableBuffer = Union[bytearray, memoryview, "array.array[Any]", mmap.mmap,
                            "ctypes.Array[Any]", "ctypes._SimpleCData[Any]", ctypes.Structure,
                            ctypes.Union, pickle.PickleBuffer, ArrayBuffer]
else:
    ReadableBuffer = Any
    WriteableBuffer = Any

__all__ = ["ArrayBuffer", "Pinned", "pin", "ReadableBuffer", "WriteableBuffer"]


class _Py_buffer(ctypes.Structure):
    _fields_ = [
        ("buf", c_void_p),
        ("obj", c_void_p),
        ("len", c_ssize_t),
        ("itemsize", c_ssize_t),
        ("readonly", c_int),
        ("ndim", c_int),
        ("format", c_void_p),
        ("shape", c_void_p),
        ("strides", c_void_p),
        ("suboffsets", c_void_p),
        ("internal", c_void_p),
    ]


_PyBUF_SIMPLE = 0
_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_Py_buffer), c_int]
_get_buffer.restype = c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_Py_buffer)]
_release_buffer.restype = None


class Pinned:
    """An object's memory held for the libraries: `address` (None for an
    empty object) and `length` in bytes. It starts with one holder;
    :meth:`hold` adds one, :meth:`release` lets one go, and the last release
    gives the object back. Releasing more often than held does nothing."""

    address: Optional[int]
    length: int
    writable: bool

    def __init__(self, source: Union[ReadableBuffer, WriteableBuffer], writable: bool) -> None:
        self._view: Optional[memoryview] = None
        self._array: Any = None
        self._buffer: Optional[_Py_buffer] = None
        self._lock = threading.Lock()
        self._holders = 0
        self.address = None
        # A numpy array exports the buffer protocol; its stubs do not say so.
        view = memoryview(source)  # type: ignore[arg-type]
        if not view.c_contiguous:
            view.release()
            raise BufferError("the buffer is not C-contiguous")
        if writable and view.readonly:
            view.release()
            raise TypeError("the buffer is read-only; this operation writes into it")
        self.length = view.nbytes
        self.writable = not view.readonly
        self._view = view
        self._holders = 1
        if self.length == 0:
            return
        if not view.readonly:
            self._array = (ctypes.c_ubyte * self.length).from_buffer(view)
            self.address = ctypes.addressof(self._array)
        else:
            buffer = _Py_buffer()
            _get_buffer(view, ctypes.byref(buffer), _PyBUF_SIMPLE)
            self._buffer = buffer
            self.address = buffer.buf

    @property
    def holders(self) -> int:
        """How many holders have not let go yet (0 once given back)."""
        return self._holders

    def hold(self) -> None:
        """Adds a holder. Raises ValueError once the object is given back."""
        with self._lock:
            if self._holders == 0:
                raise ValueError("the buffer has been given back")
            self._holders += 1

    def release(self) -> None:
        """Lets one holder go; the last one gives the object back (it may
        be resized or freed again)."""
        with self._lock:
            if self._holders == 0:
                return
            self._holders -= 1
            if self._holders == 0:
                self._give_back()

    def _give_back(self) -> None:
        self._array = None
        if self._buffer is not None:
            _release_buffer(ctypes.byref(self._buffer))
            self._buffer = None
        if self._view is not None:
            view, self._view = self._view, None
            view.release()

    def __del__(self) -> None:
        # Unreachable, so no holder can use the memory any more.
        self._holders = 0
        self._give_back()


def pin(source: Union[ReadableBuffer, WriteableBuffer], writable: bool = False) -> Pinned:
    """Holds `source`'s memory for the libraries. Raises TypeError for an
    object without the buffer protocol or, when `writable`, a read-only one,
    and BufferError for memory that is not C-contiguous."""
    return Pinned(source, writable)
