"""A card's address windows, mappings of them, and its common buffers."""

from __future__ import annotations

import ctypes
import numbers
import operator
import weakref
from threading import get_ident
from ctypes import byref, c_uint32, c_uint64
from typing import TYPE_CHECKING, Any, List, Optional, Type, TypeVar, Union, overload

from . import _records as R
from ._buffers import ReadableBuffer, WriteableBuffer
from ._errors import VeltraError, check
from ._memory import ExternalMemory, Keeper
from ._common import (_REGISTERS, _WINDOW_CARD_MEMORY, _WINDOW_DOORBELL, _WINDOW_PREFETCHABLE,
                      _WINDOW_REGISTERS, _Held, _u32, _u64)
from ._handle import CardHandle, HandleState
from ._information import CardInformation


if TYPE_CHECKING:
    import numpy
    import numpy.typing as npt

    _Scalar = TypeVar("_Scalar", bound=numpy.generic)


def _unmap(state: HandleState, address: int) -> None:
    state.call_if_open("VELTRA_UnmapWindow", address)


class _Mappings:
    """A card's mappings, and the keepers of their regions: a keeper
    outlives its Mapping while a view of the region lives."""

    def __init__(self) -> None:
        self.mappings: "weakref.WeakSet[Mapping]" = weakref.WeakSet()
        self.regions: "weakref.WeakSet[Keeper]" = weakref.WeakSet()

    def busy(self) -> str:
        mappings = list(self.mappings)
        own = {id(mapping._keeper) for mapping in mappings}
        orphans = any(k.alive and id(k) not in own for k in list(self.regions))
        if orphans or any(mapping._in_use() for mapping in mappings):
            return ("has a mapping still in use by a view made from it"
                    " (a slice, a cast, a numpy array)")
        return ""

    def unmap(self) -> Optional[VeltraError]:
        """Unmaps every mapping; the first failure."""
        first: Optional[VeltraError] = None
        for mapping in list(self.mappings):
            try:
                mapping.close()
            except VeltraError as error:
                if first is None:
                    first = error
        return first


def _mappings(card: CardHandle) -> _Mappings:
    return card._state.area("mappings", _Mappings, busy=_Mappings.busy,
                            before=_Mappings.unmap)


class Mapping:
    """A region of a window or common buffer mapped into the process.
    :attr:`view` is a memoryview of the card's memory itself (read-only
    for a card opened read-only); reads and writes through it reach the
    card with no request. Unmapped by
    :meth:`close`, at the end of a ``with`` block, by closing the card, or
    when the mapping and every view of it are collected."""

    def __init__(self, card: CardHandle, address: int, length: int) -> None:
        self._card = card
        self.readonly: bool = card.read_only
        self.address: int = address
        self.length: int = length
        # The views keep the keeper, and through it the card, alive: the
        # region is unmapped when the last of them and this object go.
        self._keeper = Keeper(_unmap, card._state, address, owner=card)
        self._keeper.finalizer.atexit = False  # closing the card at exit unmaps it
        self._memory: Optional[ExternalMemory] = ExternalMemory(
            address, length, self._keeper, readonly=card.read_only
        )
        self._words(True)
        area = _mappings(card)
        area.mappings.add(self)
        area.regions.add(self._keeper)

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
        """True once the region is unmapped."""
        return self._memory is None

    @overload
    def array(self, dtype: "Type[_Scalar]", offset: int = ...,
              count: Optional[int] = ...) -> "npt.NDArray[_Scalar]": ...

    @overload
    def array(self, dtype: "numpy.dtype[_Scalar]", offset: int = ...,
              count: Optional[int] = ...) -> "npt.NDArray[_Scalar]": ...

    @overload
    def array(self, dtype: str, offset: int = ...,
              count: Optional[int] = ...) -> "npt.NDArray[Any]": ...

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

    def _refusal(self, offset: Any, width: int, value: Any = None) -> Exception:
        """Why an access of `width` bytes at `offset` (a write of `value`)
        cannot be made."""
        if self._memory is None:
            return ValueError("the mapping is closed")
        if value is not None and self.readonly:
            return PermissionError(
                f"card {self._card.index} is open read-only: its mappings are read-only"
            )
        offset = operator.index(offset)
        if offset < 0:
            return ValueError(f"offset must lie in 0 to 2**64 - 1, not {offset}")
        if offset % width:
            return ValueError(f"offset {offset:#x} is not aligned to the {width * 8}-bit width")
        if offset + width > self.length:
            return IndexError(f"offset {offset:#x} lies outside the {self.length}-byte mapping")
        value = operator.index(value)
        return ValueError(f"{value} does not fit {width * 8} bits")

    # One access of the named width at an offset aligned to it, straight to
    # the mapped memory (no request), through an array of words of that
    # width over the mapping: the cost of an item of a ctypes array.
    def read8(self, offset: int) -> int:
        """The byte at `offset`. Raises IndexError outside the mapping,
        ValueError once it is closed."""
        words = self._u8
        if offset < 0 or words is None:
            raise self._refusal(offset, 1)
        try:
            return int(words[offset])
        except IndexError:
            raise self._refusal(offset, 1) from None

    def read16(self, offset: int) -> int:
        """The 16-bit word at `offset` (a multiple of 2), little endian.
        Raises ValueError for an offset not aligned to it or once the
        mapping is closed, IndexError outside the mapping."""
        words = self._u16
        if offset & 1 or offset < 0 or words is None:
            raise self._refusal(offset, 2)
        try:
            return int(words[offset >> 1])
        except IndexError:
            raise self._refusal(offset, 2) from None

    def read32(self, offset: int) -> int:
        """The 32-bit word at `offset` (a multiple of 4); as :meth:`read16`."""
        words = self._u32
        if offset & 3 or offset < 0 or words is None:
            raise self._refusal(offset, 4)
        try:
            return int(words[offset >> 2])
        except IndexError:
            raise self._refusal(offset, 4) from None

    def read64(self, offset: int) -> int:
        """The 64-bit word at `offset` (a multiple of 8); as :meth:`read16`."""
        words = self._u64
        if offset & 7 or offset < 0 or words is None:
            raise self._refusal(offset, 8)
        try:
            return int(words[offset >> 3])
        except IndexError:
            raise self._refusal(offset, 8) from None

    def write8(self, offset: int, value: int) -> None:
        """Writes the byte `value` at `offset`. Raises PermissionError for a
        card opened read-only, ValueError for a value that does not fit,
        and as :meth:`read8`."""
        words = self._w8
        if offset < 0 or words is None or not 0 <= value <= 0xFF:
            raise self._refusal(offset, 1, value)
        try:
            words[offset] = operator.index(value)
        except IndexError:
            raise self._refusal(offset, 1, value) from None

    def write16(self, offset: int, value: int) -> None:
        """Writes the 16-bit `value` at `offset` (a multiple of 2); as
        :meth:`write8` and :meth:`read16`."""
        words = self._w16
        if offset & 1 or offset < 0 or words is None or not 0 <= value <= 0xFFFF:
            raise self._refusal(offset, 2, value)
        try:
            words[offset >> 1] = operator.index(value)
        except IndexError:
            raise self._refusal(offset, 2, value) from None

    def write32(self, offset: int, value: int) -> None:
        """Writes the 32-bit `value` at `offset` (a multiple of 4); as
        :meth:`write16`."""
        words = self._w32
        if offset & 3 or offset < 0 or words is None or not 0 <= value <= 0xFFFFFFFF:
            raise self._refusal(offset, 4, value)
        try:
            words[offset >> 2] = operator.index(value)
        except IndexError:
            raise self._refusal(offset, 4, value) from None

    def write64(self, offset: int, value: int) -> None:
        """Writes the 64-bit `value` at `offset` (a multiple of 8); as
        :meth:`write16`."""
        words = self._w64
        if offset & 7 or offset < 0 or words is None or not 0 <= value <= 0xFFFFFFFFFFFFFFFF:
            raise self._refusal(offset, 8, value)
        try:
            words[offset >> 3] = operator.index(value)
        except IndexError:
            raise self._refusal(offset, 8, value) from None

    def _words(self, open_: bool) -> None:
        """Makes (or drops) the arrays of words of each width over the
        mapping; the writable ones only for a card that may be changed."""
        address, length = self.address, self.length
        made = [(_REGISTERS[w] * (length // w)).from_address(address) if open_ else None
                for w in (1, 2, 4, 8)]
        self._u8, self._u16, self._u32, self._u64 = made
        writable = made if open_ and not self.readonly else [None] * 4
        self._w8, self._w16, self._w32, self._w64 = writable

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
        self._words(False)
        self._keeper.finalizer.detach()
        _mappings(self._card).mappings.discard(self)
        status = self._card._state.call_if_open("VELTRA_UnmapWindow", self.address)
        if status is not None:
            check(status, "VELTRA_UnmapWindow")

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

    def __init__(self, card: CardHandle, index: int) -> None:
        self.card: CardHandle = card
        self.index: int = _u32(index, "window index")
        self._state = card._state

    # The window in plain words, from its information.
    @property
    def size(self) -> int:
        """The window's size in bytes (windowValue0)."""
        return self.info().windowValue0

    @property
    def bus_address(self) -> int:
        """Where the window lies on the bus (windowValue1)."""
        return self.info().windowValue1

    @property
    def local_address(self) -> int:
        """Where the window lies in the card's own address space
        (windowValue2)."""
        return self.info().windowValue2

    @property
    def kind(self) -> str:
        """"card memory", "doorbell", "registers" or "memory"."""
        attributes = self.info().windowValue3
        return ("card memory" if attributes & _WINDOW_CARD_MEMORY
                else "doorbell" if attributes & _WINDOW_DOORBELL
                else "registers" if attributes & _WINDOW_REGISTERS else "memory")

    @property
    def prefetchable(self) -> bool:
        """True for a window the host may read ahead of the reads asked for."""
        return bool(self.info().windowValue3 & _WINDOW_PREFETCHABLE)

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

    @overload
    def read(self, offset: int) -> int: ...

    @overload
    def read(self, offset: int, length: int, *, flags: int = ...) -> bytearray: ...

    def read(self, offset: int, length: Optional[int] = None, *,
             flags: int = 0) -> Union[int, bytearray]:
        """`length` bytes of the window from `offset`, as :meth:`read_into`
        reads them. With `offset` alone, the 32-bit register there, as
        :meth:`read32` (the form of PYNQ's MMIO)."""
        if length is None:
            if flags:
                raise TypeError("read(offset) reads a 32-bit register; flags need a length")
            return self.read32(offset)
        data = bytearray(_u64(length, "length"))
        self.read_into(offset, data, flags=flags)
        return data

    def write(self, offset: int, data: Union[int, ReadableBuffer], *, flags: int = 0) -> None:
        """Writes `data` to the window at `offset` (VELTRA_Write); a write
        of a notification number to the doorbell window rings it. An int
        is written as the 32-bit register at `offset`, as :meth:`write32`
        (the form of PYNQ's MMIO). Raises VeltraError as :meth:`read_into`;
        PermissionError for a card opened read-only."""
        if isinstance(data, (int, numbers.Integral)):
            if flags:
                raise TypeError("write(offset, int) writes a 32-bit register; flags need a buffer")
            self.write32(offset, int(data))
            return
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
        me = get_ident()
        active.append(me)
        if state.closing or state.closed:
            active.remove(me)
            raise ValueError(f"card {self.card.index} is closed")
        try:
            library = state.library
            export = library.VELTRA_Write if write else library.VELTRA_Read
            status = export(state.value, self.index, 0, offset, width, byref(word))
        finally:
            active.remove(me)
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
    # endian.
    def read8(self, offset: int) -> int:
        """The byte at `offset` (one VELTRA_Read). Raises VeltraError as
        :meth:`read_into`."""
        word = ctypes.c_uint8()
        self._access(operator.index(offset), word, 1, False)
        return word.value

    def read16(self, offset: int) -> int:
        """The 16-bit register at `offset`, little endian; as :meth:`read8`."""
        word = ctypes.c_uint16()
        self._access(operator.index(offset), word, 2, False)
        return word.value

    def read32(self, offset: int) -> int:
        """The 32-bit register at `offset`, little endian; as :meth:`read8`."""
        word = c_uint32()
        self._access(operator.index(offset), word, 4, False)
        return word.value

    def read64(self, offset: int) -> int:
        """The 64-bit register at `offset`, little endian; as :meth:`read8`."""
        word = c_uint64()
        self._access(operator.index(offset), word, 8, False)
        return word.value

    def write8(self, offset: int, value: int) -> None:
        """Writes the byte `value` at `offset` (one VELTRA_Write). Raises
        VeltraError as :meth:`read_into`, ValueError for a value that does
        not fit, PermissionError for a card opened read-only."""
        self._store(offset, 1, value)

    def write16(self, offset: int, value: int) -> None:
        """Writes the 16-bit `value` at `offset`; as :meth:`write8`."""
        self._store(offset, 2, value)

    def write32(self, offset: int, value: int) -> None:
        """Writes the 32-bit `value` at `offset`; as :meth:`write8`."""
        self._store(offset, 4, value)

    def write64(self, offset: int, value: int) -> None:
        """Writes the 64-bit `value` at `offset`; as :meth:`write8`."""
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


class CardWindows(CardInformation):
    """The card's windows and common buffers."""

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
