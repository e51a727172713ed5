"""DMA between host memory and a card's memory, and host buffers locked for
it."""

from __future__ import annotations

import threading
import weakref
from ctypes import byref, c_uint32
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional, Tuple, Type, TypeVar, Union, overload

from . import _records as R
from ._buffers import Pinned, ReadableBuffer, WriteableBuffer, pin
from ._errors import Status, VeltraError, check
from ._events import Transfer
from ._common import _Out, _u32, _u64
from ._handle import CardHandle, HandleState
from ._windows import CardWindows


def _unlock(state: HandleState, handle: int) -> None:
    state.call_if_open("VELTRA_Unlock", handle)


def _forget_all(locked: "weakref.WeakSet[LockedBuffer]") -> None:
    for buffer in list(locked):
        buffer._forget()


def _locked(card: CardHandle) -> "weakref.WeakSet[LockedBuffer]":
    """The card's locked buffers, which the driver releases with its
    handle."""
    return card._state.area("locked buffers", weakref.WeakSet, after=_forget_all)


class LockedBuffer:
    """A host buffer locked for DMA by VELTRA_Lock: the host side of the
    Locked forms of DMA, whole or as a :meth:`range`. The buffer's memory
    stays held until :meth:`close` (VELTRA_Unlock) or the card's close, and
    as long as a transfer on it is running: each transfer holds the memory
    too, and the last holder gives it back."""

    def __init__(self, card: CardHandle, buffer: Union[ReadableBuffer, WriteableBuffer]) -> None:
        self._card = card
        # The handle the lock belongs to: only transfers of that handle
        # may name it.
        self._state = card._state
        self._lock = threading.Lock()
        # The transfers started on the buffer, for close() to see which have
        # ended; each holds the memory until it has.
        self._transfers: "weakref.WeakSet[Transfer]" = weakref.WeakSet()
        self._pinned: Optional[Pinned] = pin(buffer)
        self.length: int = self._pinned.length
        self.address: int = self._pinned.address or 0
        self.readonly: bool = not self._pinned.writable
        handle = c_uint32()
        try:
            card._call("VELTRA_Lock", self._pinned.address, self.length, byref(handle))
        except BaseException:
            self._pinned.release()
            raise
        self.handle: int = int(handle.value)
        self._finalizer = weakref.finalize(self, _unlock, card._state, self.handle)
        _locked(card).add(self)

    @property
    def closed(self) -> bool:
        """True once the buffer is unlocked (or its card closed)."""
        return self._pinned is None

    def range(self, offset: int = 0, length: Optional[int] = None) -> "LockedRange":
        """`length` bytes from `offset` (to the end when None); the driver
        judges a range that passes the end. Raises ValueError for an
        `offset` past the end when `length` is None."""
        offset = _u64(offset, "offset")
        if length is None:
            if offset > self.length:
                raise ValueError(f"offset {offset} lies past the {self.length} locked bytes")
            return LockedRange(self, offset, self.length - offset)
        return LockedRange(self, offset, _u64(length, "length"))

    def _hold(self) -> Pinned:
        """Holds the memory for one transfer, which releases it when it has
        ended. Raises ValueError once the buffer is unlocked."""
        with self._lock:
            if self._pinned is None:
                raise ValueError("the locked buffer is unlocked")
            self._pinned.hold()
            return self._pinned

    def _started(self, transfer: Transfer) -> None:
        with self._lock:
            self._transfers.add(transfer)

    def _forget(self) -> None:
        """The card closed, and its transfers ended first: the driver has
        released the buffer."""
        with self._lock:
            self._finalizer.detach()
            pinned, self._pinned = self._pinned, None
        if pinned is not None:
            pinned.release()

    def close(self) -> None:
        """Unlocks the buffer (VELTRA_Unlock) and gives its memory back.
        Raises BufferError, and keeps it locked, while a transfer on it is
        pending (wait for it or cancel it first). Raises VeltraError:
        VELTRA_INVALID_BUFFER_HANDLE (282) when the driver no longer knows
        it, VELTRA_NOT_OWNER (279), or a status of any request (see
        :class:`Card`); the buffer then stays held, as the driver may still
        have it locked, until a later close succeeds or the card closes."""
        with self._lock:
            pinned = self._pinned
            if pinned is None:
                return
            for transfer in list(self._transfers):
                transfer.done()  # one that has ended lets go of the memory
            if pinned.holders > 1:
                raise BufferError(
                    "a transfer on the locked buffer is pending; wait for it or cancel it first"
                )
            status = self._state.call_if_open("VELTRA_Unlock", self.handle)
            if status is not None:
                check(status, "VELTRA_Unlock")
            self._finalizer.detach()
            _locked(self._card).discard(self)
            self._pinned = None
        pinned.release()

    def __enter__(self) -> "LockedBuffer":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<veltra.LockedBuffer {self.handle} {self.length} bytes>"


@dataclass(frozen=True)
class LockedRange:
    """A range of a locked buffer, the host side of the Locked DMA forms."""

    buffer: LockedBuffer
    offset: int
    length: int


Host = Union[ReadableBuffer, WriteableBuffer, LockedBuffer, LockedRange, R.BusRange]
# Where a transfer writes: a writable buffer, a locked buffer or range, or
# a bus range.
Destination = Union[WriteableBuffer, LockedBuffer, LockedRange, R.BusRange]

if TYPE_CHECKING:
    import numpy
    import numpy.typing as npt

    _Scalar = TypeVar("_Scalar", bound=numpy.generic)
    # A shape, as numpy takes one.
    _Shape = Union[int, Tuple[int, ...]]

def _as_locked_range(host: Any, state: HandleState) -> Optional[LockedRange]:
    """The locked range under an array of Card.allocate (or a contiguous
    view of it) while its buffer is still locked by the handle `state`;
    None otherwise (an array of another card's goes as plain memory)."""
    locked: Optional[LockedBuffer] = getattr(host, "_veltra_locked", None)
    if locked is None or locked._state is not state or locked.closed:
        return None
    if not host.flags.c_contiguous:
        return None
    offset = int(host.ctypes.data) - locked.address
    if offset < 0 or offset + host.nbytes > locked.length:
        return None
    return LockedRange(locked, offset, int(host.nbytes))


class CardDma(CardWindows):
    """Transfers, blocking and not, and locked buffers."""

    def _dma(
        self, host: Host, to_card: bool, local_address: int, channel: int, flags: int, start: bool
    ) -> Tuple[str, Tuple[Any, ...], Optional[Pinned]]:
        """The export, its arguments after the handle (and OVERLAPPED) and
        the memory held for it (one hold, for the caller to release), for
        one transfer."""
        self._check_open()
        prefix = ("VELTRA_Start" if start else "VELTRA_") + ("Write" if to_card else "Read")
        if to_card:
            self._refuse_changes(prefix + "DMA")
        local = _u64(local_address, "local address")
        common = (_u32(channel, "channel"), _u32(flags, "flags"))
        arguments: Tuple[Any, ...]
        if isinstance(host, R.BusRange):
            arguments = common + (_u64(host.address, "bus address"), local,
                                  _u64(host.length, "length"))
            return prefix + "DMABus", arguments, None
        if not isinstance(host, (LockedBuffer, LockedRange)):
            host = _as_locked_range(host, self._state) or host
        if isinstance(host, (LockedBuffer, LockedRange)):
            locked = host if isinstance(host, LockedBuffer) else host.buffer
            if locked._state is not self._state:
                # Its number means nothing to this handle, or names one of
                # this handle's own buffers: refused as the driver refuses
                # a buffer of another handle of the card, or a number the
                # card never gave.
                code = (Status.NOT_OWNER if locked._state.index == self._state.index
                        else Status.INVALID_BUFFER_HANDLE)
                raise VeltraError.from_code(code, prefix + "DMALockedEx")
            offset, length = (0, host.length) if isinstance(host, LockedBuffer) else (
                _u64(host.offset, "offset"), _u64(host.length, "length"))
            if not to_card and locked.readonly:
                raise TypeError("the locked buffer is read-only; a read DMA writes into it")
            # Held until the transfer ends, so that the buffer cannot be
            # unlocked and given back under it.
            arguments = common + (locked.handle, offset, length, local)
            return prefix + "DMALockedEx", arguments, locked._hold()
        pinned = pin(host, writable=not to_card)
        return prefix + "DMAEx", common + (pinned.address, pinned.length, local), pinned

    def _transfer(self, host: Host, to_card: bool, local_address: int, channel: int,
                  flags: int) -> None:
        name, arguments, pinned = self._dma(host, to_card, local_address, channel, flags, False)
        try:
            self._call(name, *arguments)
        finally:
            if pinned is not None:
                pinned.release()

    def _start(self, host: Host, to_card: bool, local_address: int, channel: int,
               flags: int) -> Transfer:
        name, arguments, pinned = self._dma(host, to_card, local_address, channel, flags, True)
        locked: Optional[LockedBuffer] = None
        if isinstance(host, (LockedBuffer, LockedRange)):
            locked = host if isinstance(host, LockedBuffer) else host.buffer
        try:
            # It releases the hold when it ends, and keeps the locked buffer
            # (locked until it is collected) until then.
            transfer = Transfer(self._state, pinned, name, locked)
        except BaseException:
            if pinned is not None:
                pinned.release()
            raise
        if locked is not None:
            locked._started(transfer)
        export = getattr(self._state.library, name)
        handle = self._state.value
        transfer._begin(lambda overlapped: int(export(handle, overlapped, *arguments)))
        return transfer

    def write_dma(self, source: Host, local_address: int, *, channel: int = 0,
                  flags: int = 0) -> None:
        """Moves `source` to card memory at `local_address` by DMA and waits
        until it is over. `source` is any buffer (bytes, bytearray,
        memoryview, numpy array: by address, no copy), a
        :class:`LockedBuffer` or :class:`LockedRange`, or a
        :class:`BusRange`. Raises VeltraError: VELTRA_INVALID_INDEX (270) for
        a channel the card does not have, VELTRA_INVALID_FLAG (267),
        VELTRA_INVALID_LOCAL_REGION (283) outside card memory,
        VELTRA_INVALID_REGION (271) beyond a locked buffer or for a bus
        range in no host memory, VELTRA_INVALID_BUFFER_HANDLE (282),
        VELTRA_NOT_OWNER (279), VELTRA_HARDWARE_ERROR (263),
        VELTRA_CANCELLED (275)."""
        self._transfer(source, True, local_address, channel, flags)

    def read_dma_into(self, destination: Destination, local_address: int, *, channel: int = 0,
                      flags: int = 0) -> None:
        """Moves card memory at `local_address` into `destination` (a
        writable buffer, a locked buffer or range, a bus range) by DMA and
        waits; raises VeltraError as :meth:`write_dma`."""
        self._transfer(destination, False, local_address, channel, flags)

    @overload
    def read_dma(self, local_address: int, length: int, *, channel: int = ...,
                 flags: int = ...) -> bytearray: ...

    @overload
    def read_dma(self, local_address: int, length: int, *, channel: int = ..., flags: int = ...,
                 dtype: "Type[_Scalar]") -> "npt.NDArray[_Scalar]": ...

    @overload
    def read_dma(self, local_address: int, length: int, *, channel: int = ..., flags: int = ...,
                 dtype: "numpy.dtype[_Scalar]") -> "npt.NDArray[_Scalar]": ...

    @overload
    def read_dma(self, local_address: int, length: int, *, channel: int = ..., flags: int = ...,
                 dtype: str) -> "npt.NDArray[Any]": ...

    @overload
    def read_dma(self, local_address: int, length: int, *, channel: int = ..., flags: int = ...,
                 out: _Out) -> _Out: ...

    def read_dma(self, local_address: int, length: int, *, channel: int = 0, flags: int = 0,
                 dtype: Any = None, out: Any = None) -> Any:
        """`length` bytes of card memory by DMA, as :meth:`read_dma_into`
        reads them: a bytearray; with numpy and a `dtype`, a numpy array of
        that type (`length` a whole number of its items), made with
        ``numpy.empty`` (the DMA writes every byte, so nothing is zeroed
        first); with `out`, into that writable buffer, which must hold
        exactly `length` bytes, and `out` is returned. The driver judges the
        range of card memory (VELTRA_INVALID_LOCAL_REGION, 283, outside
        it), as for any transfer. Raises ValueError
        for a length that does not fit `dtype` or `out`, TypeError for
        both at once, ModuleNotFoundError for a dtype without numpy."""
        self._check_open()
        local = _u64(local_address, "local address")
        length = _u64(length, "length")
        if dtype is not None and out is not None:
            raise TypeError("read_dma() takes a dtype or an out buffer, not both")
        if out is not None:
            size = memoryview(out).nbytes
            if size != length:
                raise ValueError(f"out holds {size} bytes, not the {length} to read")
            self.read_dma_into(out, local, channel=channel, flags=flags)
            return out
        if dtype is not None:
            import numpy

            kind = numpy.dtype(dtype)
            if length % kind.itemsize:
                raise ValueError(f"{length} bytes are not a whole number of {kind} items")
            array = numpy.empty(length // kind.itemsize, kind)
            self.read_dma_into(array, local, channel=channel, flags=flags)
            return array
        data = bytearray(length)
        self.read_dma_into(data, local, channel=channel, flags=flags)
        return data

    def start_write_dma(self, source: Host, local_address: int, *, channel: int = 0,
                        flags: int = 0) -> Transfer:
        """Starts :meth:`write_dma` without waiting and returns its
        :class:`Transfer`; `source` stays held until the transfer ends.
        Raises VeltraError at once if nothing was started (the statuses of
        :meth:`write_dma`); the transfer's own failure comes from its
        :meth:`~Transfer.wait`."""
        return self._start(source, True, local_address, channel, flags)

    def start_read_dma(self, destination: Destination, local_address: int, *, channel: int = 0,
                       flags: int = 0) -> Transfer:
        """Starts :meth:`read_dma_into` without waiting; as
        :meth:`start_write_dma`."""
        return self._start(destination, False, local_address, channel, flags)

    # Typed as the numpy arrays they are (a LockedArray is one); its
    # ``with`` form is for run time.
    @overload
    def allocate(self, shape: "_Shape") -> "npt.NDArray[numpy.uint8]": ...

    @overload
    def allocate(self, shape: "_Shape", dtype: "Type[_Scalar]") -> "npt.NDArray[_Scalar]": ...

    @overload
    def allocate(self, shape: "_Shape", dtype: "numpy.dtype[_Scalar]") -> "npt.NDArray[_Scalar]": ...

    @overload
    def allocate(self, shape: "_Shape", dtype: str) -> "npt.NDArray[Any]": ...

    def allocate(self, shape: Any, dtype: Any = "uint8") -> Any:
        """A :class:`LockedArray` of `shape` and `dtype` whose memory is
        locked for DMA (VELTRA_Lock) once: transfers of this card to and
        from it, or from a C-contiguous slice of it, use the lock (the
        Locked DMA forms) and lock nothing again; another card's transfers
        take it as plain memory. The memory stays locked until the card
        closes, :meth:`release` is called on the array or a ``with`` block
        over it ends; the array itself stays usable. Only views of its
        memory carry the lock: what arithmetic makes from it is a plain
        array. Needs numpy. Raises VeltraError as :meth:`lock`."""
        import numpy

        from ._locked_array import LockedArray

        array = numpy.empty(shape, dtype)
        locked = self.lock(array)
        result = array.view(LockedArray)
        result._veltra_locked = locked
        return result

    def release(self, array: Any) -> None:
        """Unlocks the memory of an array of :meth:`allocate`
        (VELTRA_Unlock); its transfers then pass it as plain host memory.
        Raises BufferError while a transfer on it is pending."""
        locked: Optional[LockedBuffer] = getattr(array, "_veltra_locked", None)
        if locked is None:
            raise TypeError("release() takes an array made by allocate()")
        if locked._state is not self._state:
            raise ValueError(f"the array was allocated by card {locked._card.index}'s handle,"
                             f" not by this card {self.index}'s")
        locked.close()

    def lock(self, buffer: Union[ReadableBuffer, WriteableBuffer]) -> LockedBuffer:
        """Locks a host buffer for the Locked DMA forms (VELTRA_Lock). A
        read-only buffer can only be the source of transfers to the card.
        Raises VeltraError: VELTRA_INVALID_BUFFER (266) for an empty buffer."""
        self._check_open()
        return LockedBuffer(self, buffer)
