"""A card of the VELTRA library and everything reached through it."""

from __future__ import annotations

import ctypes
import operator
import os
import threading
import weakref
from ctypes import byref, c_double, c_uint32, c_uint64
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple, TypeVar, Union, overload

from . import _records as R
from ._buffers import Pinned, ReadableBuffer, WriteableBuffer, pin
from ._errors import Status, VeltraError, check
from ._events import Event, HandleState, NotificationWait, Transfer
from ._library import HANDLE, libraries
from ._memory import ExternalMemory, Keeper

PathLike = Union[str, "os.PathLike[str]"]
_Out = TypeVar("_Out")

# The ctypes integer of each register width, in bytes.
_REGISTERS: Dict[int, Any] = {1: ctypes.c_uint8, 2: ctypes.c_uint16, 4: ctypes.c_uint32,
                              8: ctypes.c_uint64}

# The window attribute bit of the window that shows the card memory.
_WINDOW_CARD_MEMORY = 2


def _u32(value: int, what: str) -> int:
    number = operator.index(value)
    if not 0 <= number <= 0xFFFFFFFF:
        raise ValueError(f"{what} must lie in 0 to 2**32 - 1, not {number}")
    return number


def _u64(value: int, what: str) -> int:
    number = operator.index(value)
    if not 0 <= number <= 0xFFFFFFFFFFFFFFFF:
        raise ValueError(f"{what} must lie in 0 to 2**64 - 1, not {number}")
    return number


def _wide_path(path: PathLike) -> ctypes.Array[ctypes.c_uint16]:
    """A path as the NUL-terminated UTF-16 text of the wide exports. Raises
    TypeError for anything but a str or an os.PathLike that gives one (a
    bytes path included), ValueError for a path with a NUL, which the
    library would take for its end."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"a path is a str or an os.PathLike, not {type(path).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"a path must be text, not {type(text).__name__}")
    if "\0" in text:
        raise ValueError(f"a path cannot hold a NUL character: {text!r}")
    encoded = text.encode("utf-16-le") + b"\0\0"
    units = (ctypes.c_uint16 * (len(encoded) // 2)).from_buffer_copy(encoded)
    return units


def _close_handle(state: HandleState) -> int:
    """Ends the handle's operations and closes it; the Card's finalizer."""
    if state.closed:
        return Status.SUCCESS
    state.end_pending()
    state.await_calls()
    state.closed = True
    status: int = state.library.VELTRA_Close(state.value)
    return status


def _unmap(state: HandleState, address: int) -> None:
    if not state.closed:
        state.library.VELTRA_UnmapWindow(state.value, address)


def _unlock(state: HandleState, handle: int) -> None:
    if not state.closed:
        state.library.VELTRA_Unlock(state.value, handle)


def _unregister(state: HandleState, notification: int, event: Event) -> None:
    if not state.closed and not event.closed:
        state.library.VELTRA_UnregisterWin32Event(state.value, notification, event.handle)
    event.close()


def _is_grade(token: str) -> bool:
    """A speed grade ("1", "2", "1l", "2lv", "l1") or a temperature grade
    ("c", "e", "i", "m", "q"), lower case."""
    if len(token) == 1 and token in "ceimqa":
        return True
    at = 1 if len(token) > 1 and token[0] == "l" else 0
    digits = at
    while at < len(token) and token[at].isdigit():
        at += 1
    if at == digits:
        return False
    rest = token[at:]
    return len(rest) <= 2 and all("a" <= ch <= "z" for ch in rest)


def _device_package(name: str) -> str:
    """Device and package of a part name: the FPGA names itself
    "7a100tcsg324"; tools also write "xc7a100tcsg324-1" or
    "xcku040-ffva1156-2-e". Letter case, a leading "xc", the dashes and the
    trailing grades do not count (the library's rule for its file check)."""
    lower = name.lower()
    end = len(lower)
    while True:
        dash = lower.rfind("-", 0, end)
        if dash <= 0 or not _is_grade(lower[dash + 1:end]):
            break
        end = dash
    result = lower[:end].replace("-", "")
    return result[2:] if result.startswith("xc") else result


def _unload(library: Any, address: int) -> None:
    library.VELTRA_UnloadBitstreamW(address)


class Bitstream:
    """A bitstream file (.bit) loaded into memory by VELTRA_LoadBitstreamW.
    `fpgaName` is the file's part name, `length` the bytes of configuration
    data and `data` a read-only memoryview of them (no copy). Unloaded by
    :meth:`close`, at the end of a ``with`` block, or when collected."""

    fpgaName: str
    length: int

    def __init__(self, path: PathLike) -> None:
        """Loads the file at `path` (a str or os.PathLike). The data is
        everything after the 'e' field's 4-byte length up to the end of the
        file: that length is not consulted, so a file shorter than it claims
        loads the data it holds. Raises VeltraError: VELTRA_FILE_NOT_FOUND
        (262) when the file cannot be opened, VELTRA_INVALID_BITSTREAM (265)
        when the header is damaged, the file ends before its data starts, the
        data is too large, or the system fails to read the file,
        VELTRA_NO_MEMORY (259); TypeError for a path that is not text,
        ValueError for one with a NUL character."""
        library = libraries.veltra()
        pointer = ctypes.c_void_p()
        check(library.VELTRA_LoadBitstreamW(_wide_path(path), byref(pointer)), "VELTRA_LoadBitstreamW")
        address = pointer.value
        assert address is not None
        # Unloaded when the keeper goes: with this object and every view of
        # the data.
        self._keeper = Keeper(_unload, library, address)
        head = R.BITSTREAMW.from_address(address)
        self.fpgaName = R.wide_text(head.fpgaName)
        self.length = int(head.length)
        self._data_address = address + R.BITSTREAMW_DATA_OFFSET
        self._memory: Optional[ExternalMemory] = ExternalMemory(
            self._data_address, self.length, self._keeper, readonly=True
        )

    @property
    def data(self) -> memoryview:
        """The configuration data. Raises ValueError once unloaded."""
        if self._memory is None:
            raise ValueError("the bitstream is unloaded")
        return self._memory.view

    @property
    def closed(self) -> bool:
        return self._memory is None

    def close(self) -> None:
        """Unloads the bitstream (VELTRA_UnloadBitstreamW). Raises
        BufferError, and keeps it and `data` as they were, while a view made
        from `data` (a slice, a cast, a numpy array) exists."""
        if self._memory is None:
            return
        self._memory.release()
        self._memory = None
        self._keeper.finalizer()

    def __enter__(self) -> "Bitstream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<veltra.Bitstream {self.fpgaName!r} {self.length} bytes>"


def load_bitstream(path: PathLike) -> Bitstream:
    """Loads a bitstream file; see :class:`Bitstream`. Needs no card."""
    return Bitstream(path)


class Mapping:
    """A region of a window or common buffer mapped into the process.
    :attr:`view` is a memoryview of the card's memory itself (read-only
    for a card opened read-only); reads and writes through it reach the
    card with no request. Unmapped by
    :meth:`close`, at the end of a ``with`` block, by closing the card, or
    when the mapping and every view of it are collected."""

    def __init__(self, card: "Card", address: int, length: int) -> None:
        self._card = card
        self.readonly = card.read_only
        self.address = address
        self.length = length
        # The views keep the keeper, and through it the card, alive: the
        # region is unmapped when the last of them and this object go.
        self._keeper = Keeper(_unmap, card._state, address, owner=card)
        self._keeper.finalizer.atexit = False  # closing the card at exit unmaps it
        self._memory: Optional[ExternalMemory] = ExternalMemory(
            address, length, self._keeper, readonly=card.read_only
        )
        card._mappings.add(self)
        card._regions.add(self._keeper)

    def _in_use(self) -> bool:
        return self._memory is not None and self._memory.in_use()

    @property
    def view(self) -> memoryview:
        """The mapped bytes. Raises ValueError once unmapped."""
        if self._memory is None:
            raise ValueError("the mapping is closed")
        return self._memory.view

    @property
    def closed(self) -> bool:
        return self._memory is None

    def array(self, dtype: Any, offset: int = 0, count: Optional[int] = None) -> Any:
        """A numpy array of `dtype` over the mapped memory from `offset`
        (`count` items, or as many as fit): reads and writes of its items
        reach the card. Like any view of the mapping, it keeps the mapping
        from closing while it lives. Needs numpy."""
        import numpy

        kind = numpy.dtype(dtype)
        offset = _u64(offset, "offset")
        if count is None:
            count = max(self.length - offset, 0) // kind.itemsize
        return numpy.frombuffer(self.view, kind, _u64(count, "count"), offset)

    def _register(self, offset: int, width: int) -> Any:
        if self._memory is None:
            raise ValueError("the mapping is closed")
        offset = _u64(offset, "offset")
        if offset % width:
            raise ValueError(f"offset {offset:#x} is not aligned to the {width * 8}-bit width")
        if offset + width > self.length:
            raise IndexError(f"offset {offset:#x} lies outside the {self.length}-byte mapping")
        return _REGISTERS[width].from_address(self.address + offset)

    def _store(self, offset: int, width: int, value: int) -> None:
        if self.readonly:
            raise PermissionError(
                f"card {self._card.index} is open read-only: its mappings are read-only"
            )
        if not 0 <= value < 1 << (width * 8):
            raise ValueError(f"{value} does not fit {width * 8} bits")
        self._register(offset, width).value = value

    # One access of the named width at an offset aligned to it, straight to
    # the mapped memory (no request).
    def read8(self, offset: int) -> int:
        return int(self._register(offset, 1).value)

    def read16(self, offset: int) -> int:
        return int(self._register(offset, 2).value)

    def read32(self, offset: int) -> int:
        return int(self._register(offset, 4).value)

    def read64(self, offset: int) -> int:
        return int(self._register(offset, 8).value)

    def write8(self, offset: int, value: int) -> None:
        self._store(offset, 1, operator.index(value))

    def write16(self, offset: int, value: int) -> None:
        self._store(offset, 2, operator.index(value))

    def write32(self, offset: int, value: int) -> None:
        self._store(offset, 4, operator.index(value))

    def write64(self, offset: int, value: int) -> None:
        self._store(offset, 8, operator.index(value))

    def close(self) -> None:
        """Unmaps the region (VELTRA_UnmapWindow). Raises BufferError, and
        leaves it mapped and :attr:`view` working, while a view made from
        :attr:`view` (a slice, a cast, a numpy array) still exists;
        VeltraError if the library refuses the unmap (the region is given
        up all the same)."""
        if self._memory is None:
            return
        self._memory.release()
        self._memory = None
        self._keeper.finalizer.detach()
        self._card._mappings.discard(self)
        state = self._card._state
        if not state.closed:
            check(state.library.VELTRA_UnmapWindow(state.value, self.address), "VELTRA_UnmapWindow")

    def __enter__(self) -> "Mapping":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"at {self.address:#x}"
        return f"<veltra.Mapping {self.length} bytes {state}>"


class Window:
    """Address window `index` of a card: reads and writes without a mapping,
    and mappings. Making one sends nothing."""

    def __init__(self, card: "Card", index: int) -> None:
        self.card = card
        self.index = _u32(index, "window index")
        self._state = card._state

    def info(self) -> R.WindowInfo:
        """VELTRA_GetWindowInfo. Raises VeltraError: VELTRA_INVALID_INDEX
        (270) for a window the card does not have."""
        raw = R.WINDOW_INFO()
        self.card._call("VELTRA_GetWindowInfo", self.index, byref(raw))
        return R.record(R.WindowInfo, raw)

    def read_into(self, offset: int, buffer: WriteableBuffer, *, flags: int = 0) -> None:
        """Fills `buffer` from the window at `offset` (VELTRA_Read), straight
        into the buffer's memory. Raises VeltraError: VELTRA_INVALID_INDEX
        (270), VELTRA_INVALID_REGION (271) outside the window,
        VELTRA_INVALID_FLAG (267)."""
        with _Held(buffer, True) as held:
            self.card._call(
                "VELTRA_Read", self.index, _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def read(self, offset: int, length: int, *, flags: int = 0) -> bytearray:
        """`length` bytes of the window from `offset`; as :meth:`read_into`."""
        data = bytearray(_u64(length, "length"))
        self.read_into(offset, data, flags=flags)
        return data

    def write(self, offset: int, data: ReadableBuffer, *, flags: int = 0) -> None:
        """Writes `data` to the window at `offset` (VELTRA_Write); a write
        of a notification number to the doorbell window rings it. Raises
        VeltraError as :meth:`read_into`; PermissionError for a card opened
        read-only."""
        self.card._refuse_changes("VELTRA_Write")
        with _Held(data, False) as held:
            self.card._call(
                "VELTRA_Write", self.index, _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def _access(self, offset: int, word: Any, width: int, write: bool) -> None:
        """One VELTRA_Read or VELTRA_Write of the register `word` (a ctypes
        integer, little endian) at `offset`. The register accesses are the
        package's most frequent calls, so this path makes no buffer and
        counts the call in line (as HandleState.begin_call does): a close
        on another thread waits for it."""
        if not 0 <= offset <= 0xFFFFFFFFFFFFFFFF:
            raise ValueError(f"offset must lie in 0 to 2**64 - 1, not {offset}")
        state = self._state
        active = state.active
        active.append(None)
        if state.closing or state.closed:
            active.pop()
            raise ValueError(f"card {self.card.index} is closed")
        try:
            library = state.library
            export = library.VELTRA_Write if write else library.VELTRA_Read
            status = export(state.value, self.index, 0, offset, width, byref(word))
        finally:
            active.pop()
        if status:
            raise VeltraError.from_code(status, "VELTRA_Write" if write else "VELTRA_Read")

    def _store(self, offset: int, width: int, value: int) -> None:
        value = operator.index(value)
        if not 0 <= value < 1 << (width * 8):
            raise ValueError(f"value must lie in 0 to 2**{width * 8} - 1, not {value}")
        if self.card.read_only:
            self.card._refuse_changes("VELTRA_Write")
        self._access(operator.index(offset), _REGISTERS[width](value), width, True)

    # Registers of each width: one request of that many bytes each, little
    # endian. Raise VeltraError as :meth:`read_into`; ValueError for a value
    # that does not fit; PermissionError for a write to a card opened
    # read-only.
    def read8(self, offset: int) -> int:
        word = ctypes.c_uint8()
        self._access(operator.index(offset), word, 1, False)
        return word.value

    def read16(self, offset: int) -> int:
        word = ctypes.c_uint16()
        self._access(operator.index(offset), word, 2, False)
        return word.value

    def read32(self, offset: int) -> int:
        word = c_uint32()
        self._access(operator.index(offset), word, 4, False)
        return word.value

    def read64(self, offset: int) -> int:
        word = c_uint64()
        self._access(operator.index(offset), word, 8, False)
        return word.value

    def write8(self, offset: int, value: int) -> None:
        self._store(offset, 1, value)

    def write16(self, offset: int, value: int) -> None:
        self._store(offset, 2, value)

    def write32(self, offset: int, value: int) -> None:
        self._store(offset, 4, value)

    def write64(self, offset: int, value: int) -> None:
        self._store(offset, 8, value)

    def map(self, offset: int, length: int) -> Mapping:
        """Maps `length` bytes from `offset` (VELTRA_MapWindow). Raises
        VeltraError: VELTRA_INVALID_REGION (271) for a length of 0 or a
        region outside the window, VELTRA_INVALID_INDEX (270),
        VELTRA_REGION_TOO_LARGE (277) beyond what the driver maps at once
        (16 MiB on the simulated driver), VELTRA_NO_MEMORY (259)."""
        address = ctypes.c_void_p()
        self.card._call(
            "VELTRA_MapWindow", self.index, _u64(offset, "offset"), _u64(length, "length"),
            byref(address),
        )
        assert address.value is not None
        return Mapping(self.card, address.value, length)

    def __repr__(self) -> str:
        return f"<veltra.Window {self.index} of card {self.card.index}>"


class LockedBuffer:
    """A host buffer locked for DMA by VELTRA_Lock: the host side of the
    Locked forms of DMA, whole or as a :meth:`range`. The buffer's memory
    stays held until :meth:`close` (VELTRA_Unlock) or the card's close, and
    as long as a transfer on it is running: each transfer holds the memory
    too, and the last holder gives it back."""

    def __init__(self, card: "Card", buffer: Union[ReadableBuffer, WriteableBuffer]) -> None:
        self._card = card
        self._lock = threading.Lock()
        # The transfers started on the buffer, for close() to see which have
        # ended; each holds the memory until it has.
        self._transfers: "weakref.WeakSet[Transfer]" = weakref.WeakSet()
        self._pinned: Optional[Pinned] = pin(buffer)
        self.length = self._pinned.length
        self.readonly = not self._pinned.writable
        handle = c_uint32()
        try:
            card._call("VELTRA_Lock", self._pinned.address, self.length, byref(handle))
        except BaseException:
            self._pinned.release()
            raise
        self.handle = int(handle.value)
        self._finalizer = weakref.finalize(self, _unlock, card._state, self.handle)
        card._locked.add(self)

    @property
    def closed(self) -> bool:
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
            state = self._card._state
            if not state.closed:
                check(state.library.VELTRA_Unlock(state.value, self.handle), "VELTRA_Unlock")
            self._finalizer.detach()
            self._card._locked.discard(self)
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


class _Held:
    """A buffer pinned for one blocking call."""

    def __init__(self, buffer: Union[ReadableBuffer, WriteableBuffer], writable: bool) -> None:
        self.pinned = pin(buffer, writable)

    def __enter__(self) -> Pinned:
        return self.pinned

    def __exit__(self, *exc: Any) -> None:
        self.pinned.release()


class Registration:
    """An event that the driver signals whenever a notification is raised
    (VELTRA_RegisterWin32Event); ended by :meth:`close`, the end of a
    ``with`` block, or the card's close."""

    def __init__(self, card: "Card", notification: int) -> None:
        self._card = card
        self.notification = _u32(notification, "notification")
        self._ended = False  # unregistered, or dropped by the card's close
        self.event = Event()
        try:
            card._call("VELTRA_RegisterWin32Event", self.notification, self.event.handle)
        except BaseException:
            self.event.close()
            raise
        self._finalizer = weakref.finalize(
            self, _unregister, card._state, self.notification, self.event
        )
        card._registrations.add(self)

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
                state = self._card._state
                self._finalizer.detach()
                self._card._registrations.discard(self)
                if not state.closed:
                    check(
                        state.library.VELTRA_UnregisterWin32Event(
                            state.value, self.notification, self.event.handle
                        ),
                        "VELTRA_UnregisterWin32Event",
                    )
        finally:
            self.event.close()

    def __enter__(self) -> "Registration":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class Card:
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
        self.index = index
        # The package refuses what would change the card (PermissionError).
        self.read_only = bool(read_only)
        self._state = HandleState(library, handle.value, index)
        self._mappings: "weakref.WeakSet[Mapping]" = weakref.WeakSet()
        # The keepers of the mappings' regions: one outlives its Mapping
        # while a view of the region lives.
        self._regions: "weakref.WeakSet[Keeper]" = weakref.WeakSet()
        self._locked: "weakref.WeakSet[LockedBuffer]" = weakref.WeakSet()
        self._registrations: "weakref.WeakSet[Registration]" = weakref.WeakSet()
        self._datatypes: Dict[int, int] = {}
        # The card memory's size, from its window, once asked (None: no
        # window shows it, and the driver alone judges DMA ranges).
        self._memory_size: Optional[Tuple[Optional[int]]] = None
        self._finalizer = weakref.finalize(self, _close_handle, self._state)

    # -- the handle ---------------------------------------------------------

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

    def close(self) -> None:
        """Unmaps the card's mappings, cancels and ends its pending
        transfers and waits, and closes the handle (VELTRA_Close); the
        driver releases its locked buffers and event registrations (a
        thread waiting on a :class:`Registration` wakes with ValueError).
        Another thread may be inside a call of the card meanwhile: the
        close cancels its transfer, waits until the call has returned, and
        refuses calls that come after it began (ValueError). Nothing happens
        the second time.

        Raises BufferError, and leaves the card open and its mappings as
        they were, while a view made from one of its mappings still exists.
        A failed unmap does not stop the close: every mapping is unmapped
        and the handle closed, then the first failure is raised as
        VeltraError, that of VELTRA_UnmapWindow (see :meth:`Mapping.close`)
        or of VELTRA_Close: VELTRA_INVALID_HANDLE (269),
        VELTRA_UNEXPECTED_ERROR (257)."""
        if self._state.closed:
            return
        mappings = list(self._mappings)
        own = {id(mapping._keeper) for mapping in mappings}
        orphans = any(k.alive and id(k) not in own for k in list(self._regions))
        if orphans or any(mapping._in_use() for mapping in mappings):
            raise BufferError(
                f"card {self.index} has a mapping still in use by a view made from it"
                " (a slice, a cast, a numpy array)"
            )
        first: Optional[VeltraError] = None
        for mapping in mappings:
            try:
                mapping.close()
            except VeltraError as error:
                if first is None:
                    first = error
        self._finalizer.detach()
        status = _close_handle(self._state)
        for locked in list(self._locked):
            locked._forget()
        for registration in list(self._registrations):
            registration._forget()
        if first is not None:
            raise first
        check(status, "VELTRA_Close")

    def __enter__(self) -> "Card":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<veltra.Card {self.index}{' closed' if self.closed else ''}>"

    # -- information --------------------------------------------------------

    def version_info(self) -> R.VersionInfo:
        """The library's version (1.4.16) and the driver's
        (VELTRA_GetVersionInfo). Raises VeltraError with the statuses of any
        request (see :class:`Card`)."""
        raw = R.VERSION_INFO()
        self._call("VELTRA_GetVersionInfo", byref(raw))
        return R.record(R.VersionInfo, raw)

    def card_info(self) -> R.CardInfo:
        """The card's fixed properties (VELTRA_GetCardInfo). Raises
        VeltraError with the statuses of any request (see :class:`Card`)."""
        raw = R.CARD_INFO()
        self._call("VELTRA_GetCardInfo", byref(raw))
        return R.record(R.CardInfo, raw)

    def card_info_ex(self) -> R.CardInfoEx:
        """The extended card information (VELTRA_GetCardInfoEx); raises
        VeltraError as :meth:`card_info`."""
        raw = R.CARD_INFO_EX()
        self._call("VELTRA_GetCardInfoEx", byref(raw))
        return R.record(R.CardInfoEx, raw)

    def bank_info(self, index: int) -> R.BankInfo:
        """Memory bank `index` (VELTRA_GetBankInfo). Raises VeltraError:
        VELTRA_INVALID_INDEX (270) for a bank the card does not have."""
        raw = R.BANK_INFO()
        self._call("VELTRA_GetBankInfo", _u32(index, "bank index"), byref(raw))
        return R.record(R.BankInfo, raw)

    def module_info(self, index: int) -> R.ModuleInfo:
        """Module `index` (VELTRA_GetModuleInfoW). Raises VeltraError:
        VELTRA_INVALID_INDEX (270) for a module the card does not have."""
        raw = R.MODULE_INFOW()
        self._call("VELTRA_GetModuleInfoW", _u32(index, "module index"), byref(raw))
        return R.record(R.ModuleInfo, raw)

    def fpga_info(self, index: int = 0) -> R.FpgaInfo:
        """The FPGA at `index` (VELTRA_GetFpgaInfoW). Raises VeltraError:
        VELTRA_INVALID_INDEX (270) past the card's FPGAs."""
        raw = R.FPGA_INFOW()
        self._call("VELTRA_GetFpgaInfoW", _u32(index, "FPGA index"), byref(raw))
        return R.record(R.FpgaInfo, raw)

    # -- configuration ------------------------------------------------------

    def configure(
        self,
        source: Union[PathLike, Bitstream],
        *,
        fpga: int = 0,
        flags: int = 0,
    ) -> None:
        """Configures FPGA `fpga` and blocks until it is done.

        - A path (a str or an os.PathLike of str) goes to
          VELTRA_ConfigureFromFileW, which checks that the file was built
          for the FPGA: raises VeltraError VELTRA_FPGA_MISMATCH (264) if
          not, and the statuses of :class:`Bitstream` for the file.
        - A loaded :class:`Bitstream` is checked the same way against the
          FPGA's name (the part in its long or short form), then its data
          is sent as :meth:`configure_data` sends it.

        Data in memory (bytes, bytearray, numpy arrays) goes through
        :meth:`configure_data`; here it raises TypeError, and so does a
        bytes path, so that nothing is ever taken for the other. Raises
        ValueError for a path with a NUL character, or an unloaded
        bitstream; VeltraError: VELTRA_INVALID_INDEX (270),
        VELTRA_INVALID_FLAG (267), VELTRA_HARDWARE_ERROR (263) when the FPGA
        did not finish configuring."""
        self._refuse_changes("VELTRA_ConfigureFromFileW")
        if isinstance(source, Bitstream):
            fpga_name = self.fpga_info(fpga).name
            if _device_package(fpga_name) != _device_package(source.fpgaName):
                raise VeltraError.from_code(Status.FPGA_MISMATCH, "VELTRA_ConfigureFromBuffer")
            self.configure_data(source.data, fpga=fpga, flags=flags)
            return
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(
                f"configure() takes a path or a Bitstream, not {type(source).__name__};"
                " configuration data in memory goes to configure_data()"
            )
        fpga = _u32(fpga, "FPGA index")
        flags = _u32(flags, "flags")
        self._call("VELTRA_ConfigureFromFileW", fpga, flags, _wide_path(source))

    def configure_data(self, data: ReadableBuffer, *, fpga: int = 0, flags: int = 0) -> None:
        """Configures FPGA `fpga` from configuration data in memory (any
        buffer: bytes, bytearray, a memoryview, a numpy array, by address,
        no copy) as it is, with no check of the part
        (VELTRA_ConfigureFromBuffer), and blocks until it is done. Raises
        VeltraError as :meth:`configure`; VELTRA_HARDWARE_ERROR (263) also
        for data that holds no sync word."""
        self._refuse_changes("VELTRA_ConfigureFromBuffer")
        fpga = _u32(fpga, "FPGA index")
        flags = _u32(flags, "flags")
        with _Held(data, False) as held:  # a Bitstream's data cannot be unloaded meanwhile
            self._call("VELTRA_ConfigureFromBuffer", fpga, flags, held.address, held.length)

    def unconfigure(self, fpga: int = 0, *, flags: int = 0) -> None:
        """Unconfigures FPGA `fpga` (VELTRA_Unconfigure). Raises VeltraError:
        VELTRA_INVALID_INDEX (270), VELTRA_INVALID_FLAG (267)."""
        self._refuse_changes("VELTRA_Unconfigure")
        self._call("VELTRA_Unconfigure", _u32(fpga, "FPGA index"), _u32(flags, "flags"))

    # -- flash --------------------------------------------------------------

    def flash_info(self, bank: int = 0) -> R.FlashInfo:
        """Flash bank `bank`: its chip's name and the driver's values
        (VELTRA_GetFlashInfoW). Raises VeltraError: VELTRA_INVALID_INDEX (270)."""
        raw = R.FLASH_INFOW()
        self._call("VELTRA_GetFlashInfoW", _u32(bank, "bank"), byref(raw))
        return R.record(R.FlashInfo, raw)

    def flash_block_info(self, offset: int, *, bank: int = 0) -> R.FlashBlockInfo:
        """The block that holds `offset` (VELTRA_GetFlashBlockInfo). Raises
        VeltraError: VELTRA_INVALID_INDEX (270), VELTRA_INVALID_REGION (271)
        past the chip."""
        raw = R.FLASH_BLOCK_INFO()
        self._call(
            "VELTRA_GetFlashBlockInfo", _u32(bank, "bank"), _u64(offset, "offset"), byref(raw)
        )
        return R.record(R.FlashBlockInfo, raw)

    def erase_flash(self, offset: int, length: int, *, bank: int = 0, flags: int = 0) -> None:
        """Erases `length` bytes from `offset` (VELTRA_EraseFlash). Raises
        VeltraError: VELTRA_INVALID_REGION (271; the simulated driver takes
        whole blocks only), VELTRA_INVALID_INDEX (270), VELTRA_INVALID_FLAG
        (267), VELTRA_HARDWARE_ERROR (263)."""
        self._refuse_changes("VELTRA_EraseFlash")
        self._call(
            "VELTRA_EraseFlash", _u32(bank, "bank"), _u32(flags, "flags"),
            _u64(offset, "offset"), _u64(length, "length"),
        )

    def read_flash_into(
        self, offset: int, buffer: WriteableBuffer, *, bank: int = 0, flags: int = 0
    ) -> None:
        """Fills `buffer` from flash at `offset` (VELTRA_ReadFlash); raises
        VeltraError as :meth:`erase_flash`."""
        with _Held(buffer, True) as held:
            self._call(
                "VELTRA_ReadFlash", _u32(bank, "bank"), _u32(flags, "flags"),
                _u64(offset, "offset"), held.length, held.address,
            )

    def read_flash(self, offset: int, length: int, *, bank: int = 0, flags: int = 0) -> bytearray:
        """`length` bytes of flash from `offset`; as :meth:`read_flash_into`."""
        data = bytearray(_u64(length, "length"))
        self.read_flash_into(offset, data, bank=bank, flags=flags)
        return data

    def write_flash(
        self, offset: int, data: ReadableBuffer, *, bank: int = 0, flags: int = 0
    ) -> None:
        """Programs `data` at `offset` (VELTRA_WriteFlash); programming
        clears bits only, so erase first. Raises VeltraError as
        :meth:`erase_flash`."""
        self._refuse_changes("VELTRA_WriteFlash")
        with _Held(data, False) as held:
            self._call(
                "VELTRA_WriteFlash", _u32(bank, "bank"), _u32(flags, "flags"),
                _u64(offset, "offset"), held.length, held.address,
            )

    def sync_flash(self, *, bank: int = 0, flags: int = 0) -> None:
        """Waits until the bank has finished every write and erase
        (VELTRA_SyncFlash); raises VeltraError as :meth:`erase_flash`."""
        self._refuse_changes("VELTRA_SyncFlash")
        self._call("VELTRA_SyncFlash", _u32(bank, "bank"), _u32(flags, "flags"))

    # -- VPD, clocks, sensors, device status ------------------------------------

    def read_vpd_into(self, offset: int, buffer: WriteableBuffer, *, flags: int = 0) -> None:
        """Fills `buffer` with vital product data from `offset`
        (VELTRA_ReadVPD). Raises VeltraError: VELTRA_INVALID_REGION (271)
        past the end of the VPD, VELTRA_INVALID_FLAG (267)."""
        with _Held(buffer, True) as held:
            self._call(
                "VELTRA_ReadVPD", _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def read_vpd(self, offset: int, length: int, *, flags: int = 0) -> bytearray:
        """`length` bytes of vital product data; as :meth:`read_vpd_into`."""
        data = bytearray(_u64(length, "length"))
        self.read_vpd_into(offset, data, flags=flags)
        return data

    def write_vpd(self, offset: int, data: ReadableBuffer, *, flags: int = 0) -> None:
        """Writes vital product data at `offset` (VELTRA_WriteVPD); raises
        VeltraError as :meth:`read_vpd_into`."""
        self._refuse_changes("VELTRA_WriteVPD")
        with _Held(data, False) as held:
            self._call(
                "VELTRA_WriteVPD", _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def clock_frequency(self, index: int) -> float:
        """Clock generator `index`'s frequency in Hz
        (VELTRA_GetClockFrequency). Raises VeltraError: VELTRA_INVALID_INDEX
        (270)."""
        frequency = c_double()
        self._call("VELTRA_GetClockFrequency", _u32(index, "clock index"), byref(frequency))
        return float(frequency.value)

    def set_clock_frequency(self, index: int, frequency: float, *, flags: int = 0) -> float:
        """Sets clock generator `index` to `frequency` Hz and returns the
        frequency it actually runs at (VELTRA_SetClockFrequency). Raises
        VeltraError: VELTRA_INVALID_FREQUENCY (268), VELTRA_NOT_SUPPORTED
        (285) for a fixed clock, VELTRA_INVALID_INDEX (270),
        VELTRA_HARDWARE_ERROR (263) when the generator did not lock."""
        self._refuse_changes("VELTRA_SetClockFrequency")
        actual = c_double()
        self._call(
            "VELTRA_SetClockFrequency", _u32(index, "clock index"), _u32(flags, "flags"),
            float(frequency), byref(actual),
        )
        return float(actual.value)

    def sensor_info(self, index: int) -> R.SensorInfo:
        """Sensor `index`'s description (VELTRA_GetSensorInfoW). Raises
        VeltraError: VELTRA_INVALID_INDEX (270)."""
        raw = R.SENSOR_INFOW()
        self._call("VELTRA_GetSensorInfoW", _u32(index, "sensor index"), byref(raw))
        info = R.record(R.SensorInfo, raw)
        self._datatypes[index] = info.attribute1
        return info

    def read_sensor(self, index: int) -> Union[int, float]:
        """One reading of sensor `index` (VELTRA_ReadSensor): a float for
        datatype 1, else an int. The datatype comes from the sensor's
        information, asked for once per card. Raises VeltraError:
        VELTRA_INVALID_INDEX (270), VELTRA_UNEXPECTED_ERROR (257) for a
        datatype the library does not know."""
        index = _u32(index, "sensor index")
        datatype = self._datatypes.get(index)
        if datatype is None:
            datatype = self.sensor_info(index).attribute1
        value = R.SENSOR_VALUE()
        self._call("VELTRA_ReadSensor", index, byref(value))
        return float(value.doubleValue) if datatype == 1 else int(value.value32)

    def device_status(self, *, flags: int = 0) -> R.DeviceStatus:
        """The card's device-error status (VELTRA_GetDeviceStatus). Raises
        VeltraError: VELTRA_INVALID_FLAG (267)."""
        raw = R.DEVICE_STATUS()
        any_error = c_uint32()
        self._call("VELTRA_GetDeviceStatus", _u32(flags, "flags"), byref(raw), byref(any_error))
        return R.record(R.DeviceStatus, raw, anyError=bool(any_error.value))

    def clear_device_errors(self) -> None:
        """Clears the device-error status (VELTRA_ClearDeviceErrors). Raises
        VeltraError with the statuses of any request (see :class:`Card`)."""
        self._refuse_changes("VELTRA_ClearDeviceErrors")
        self._call("VELTRA_ClearDeviceErrors")

    # -- windows and common buffers -------------------------------------------

    def window(self, index: int) -> Window:
        """Window `index`; nothing is sent until it is used."""
        self._check_open()
        return Window(self, index)

    def windows(self) -> List[Window]:
        """Every window of the card, by the card information's windowCount;
        raises VeltraError as :meth:`card_info`."""
        return [Window(self, i) for i in range(self.card_info().windowCount)]

    def common_buffers(self) -> List[R.CommonBuffer]:
        """The driver's common buffers of the card
        (VELTRA_GetCommonBufferCount, VELTRA_GetCommonBuffer). Raises
        VeltraError: VELTRA_INVALID_INDEX (270) if a buffer went away
        between the two calls, and the statuses of any request (see
        :class:`Card`)."""
        count = c_uint32()
        self._call("VELTRA_GetCommonBufferCount", byref(count))
        buffers = []
        for index in range(count.value):
            value, key = c_uint64(), c_uint64()
            self._call("VELTRA_GetCommonBuffer", index, byref(value), byref(key))
            buffers.append(R.CommonBuffer(index, int(value.value), int(key.value)))
        return buffers

    def map_common_buffer(self, key: int, offset: int, length: int) -> Mapping:
        """Maps a region of the common buffer whose key is `key`
        (VELTRA_MapCommonBuffer). Raises VeltraError: VELTRA_INVALID_REGION
        (271) for an unknown key or a region outside the buffer, and the
        statuses of :meth:`Window.map`."""
        address = ctypes.c_void_p()
        self._call(
            "VELTRA_MapCommonBuffer", _u64(key, "key"), _u64(offset, "offset"),
            _u64(length, "length"), byref(address),
        )
        assert address.value is not None
        return Mapping(self, address.value, length)

    # -- DMA ----------------------------------------------------------------

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
        if isinstance(host, (LockedBuffer, LockedRange)):
            locked = host if isinstance(host, LockedBuffer) else host.buffer
            offset, length = (0, host.length) if isinstance(host, LockedBuffer) else (
                _u64(host.offset, "offset"), _u64(host.length, "length"))
            if not to_card and locked.readonly:
                raise TypeError("the locked buffer is read-only; a read DMA writes into it")
            # Held until the transfer ends, so that the buffer cannot be
            # unlocked and given back under it.
            self._check_card_memory(local, length, prefix + "DMALockedEx")
            arguments = common + (locked.handle, offset, length, local)
            return prefix + "DMALockedEx", arguments, locked._hold()
        pinned = pin(host, writable=not to_card)
        try:
            self._check_card_memory(local, pinned.length, prefix + "DMAEx")
        except BaseException:
            pinned.release()
            raise
        return prefix + "DMAEx", common + (pinned.address, pinned.length, local), pinned

    def _card_memory_size(self) -> Optional[int]:
        if self._memory_size is None:
            size: Optional[int] = None
            for window in self.windows():
                info = window.info()
                if info.windowValue3 & _WINDOW_CARD_MEMORY:
                    size = info.windowValue0
                    break
            self._memory_size = (size,)
        return self._memory_size[0]

    def _check_card_memory(self, local: int, length: int, name: str) -> None:
        """Refuses a range outside the card memory before anything is sent
        (or allocated), as the driver would refuse it, but without the DMA
        error it then records in the device status."""
        size = self._card_memory_size()
        if size is not None and (local > size or length > size - local):
            raise VeltraError.from_code(Status.INVALID_LOCAL_REGION, name)

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

    def read_dma_into(self, destination: Host, local_address: int, *, channel: int = 0,
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
                 dtype: Any) -> Any: ...

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
        exactly `length` bytes, and `out` is returned. A range outside the
        card memory is refused before anything is made. Raises ValueError
        for a length that does not fit `dtype` or `out`, TypeError for
        both at once, ModuleNotFoundError for a dtype without numpy."""
        self._check_open()
        local = _u64(local_address, "local address")
        length = _u64(length, "length")
        self._check_card_memory(local, length, "VELTRA_ReadDMAEx")
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

    def start_read_dma(self, destination: Host, local_address: int, *, channel: int = 0,
                       flags: int = 0) -> Transfer:
        """Starts :meth:`read_dma_into` without waiting; as
        :meth:`start_write_dma`."""
        return self._start(destination, False, local_address, channel, flags)

    def lock(self, buffer: Union[ReadableBuffer, WriteableBuffer]) -> LockedBuffer:
        """Locks a host buffer for the Locked DMA forms (VELTRA_Lock). A
        read-only buffer can only be the source of transfers to the card.
        Raises VeltraError: VELTRA_INVALID_BUFFER (266) for an empty buffer."""
        self._check_open()
        return LockedBuffer(self, buffer)

    # -- notifications ----------------------------------------------------------

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
        status = self._state.library.VELTRA_Cancel(self._state.value)
        if status == Status.CANCEL_FAILED:
            return False
        check(status, "VELTRA_Cancel")
        return True


def cards() -> List[R.CardSummary]:
    """Every card, in index order: opened in turn until
    VELTRA_DEVICE_NOT_FOUND, with its version and card information. Raises
    VeltraError for any other failure."""
    found: List[R.CardSummary] = []
    index = 0
    while True:
        try:
            card = Card(index)
        except VeltraError as error:
            if error.code == Status.DEVICE_NOT_FOUND:
                return found
            raise
        with card:
            found.append(R.CardSummary(index, card.version_info(), card.card_info_ex()))
        index += 1
