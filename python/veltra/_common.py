"""What every part of a card shares: argument checks, paths for the wide
exports, register widths, and holding a caller's buffer for one call."""

from __future__ import annotations

import ctypes
import operator
import os
from typing import Any, Dict, List, TypeVar, Union

from ._buffers import Pinned, ReadableBuffer, WriteableBuffer, pin
from ._library import libraries

PathLike = Union[str, "os.PathLike[str]"]
_Out = TypeVar("_Out")

# The ctypes integer of each register width, in bytes.
_REGISTERS: Dict[int, Any] = {1: ctypes.c_uint8, 2: ctypes.c_uint16, 4: ctypes.c_uint32,
                              8: ctypes.c_uint64}

# The attribute bits of a window's information (windowValue3).
_WINDOW_PREFETCHABLE, _WINDOW_CARD_MEMORY, _WINDOW_DOORBELL, _WINDOW_REGISTERS = 1, 2, 4, 8


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


class _Held:
    """A buffer pinned for one blocking call."""

    def __init__(self, buffer: Union[ReadableBuffer, WriteableBuffer], writable: bool) -> None:
        self.pinned = pin(buffer, writable)

    def __enter__(self) -> Pinned:
        return self.pinned

    def __exit__(self, *exc: Any) -> None:
        self.pinned.release()


class _Guid(ctypes.Structure):
    _fields_ = [("data1", ctypes.c_uint32), ("data2", ctypes.c_uint16),
                ("data3", ctypes.c_uint16), ("data4", ctypes.c_ubyte * 8)]


class _InterfaceData(ctypes.Structure):
    _fields_ = [("cbSize", ctypes.c_uint32), ("guid", _Guid), ("flags", ctypes.c_uint32),
                ("reserved", ctypes.c_size_t)]


# The VELTRA interface class, under which the driver registers each card.
_VELTRA_INTERFACE = _Guid(0x4A8924E1, 0xA143, 0x44C2,
                          (ctypes.c_ubyte * 8)(0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96))
_DIGCF_PRESENT, _DIGCF_DEVICEINTERFACE = 0x2, 0x10
# SP_DEVICE_INTERFACE_DETAIL_DATA_A's cbSize: a DWORD and a character,
# padded to the structure's alignment on 64-bit Windows.
_DETAIL_SIZE = 8


def card_paths() -> List[str]:
    """The device paths of the cards there are now, by index (SetupAPI's
    present interfaces of the VELTRA class), as the library finds them."""
    setupapi = libraries.setupapi()
    found: List[str] = []
    devices = setupapi.SetupDiGetClassDevsA(ctypes.byref(_VELTRA_INTERFACE), None, None,
                                            _DIGCF_PRESENT | _DIGCF_DEVICEINTERFACE)
    if devices is None or devices == ctypes.c_void_p(-1).value:
        return found
    try:
        index = 0
        while True:
            data = _InterfaceData()
            data.cbSize = ctypes.sizeof(_InterfaceData)
            if not setupapi.SetupDiEnumDeviceInterfaces(devices, None,
                                                         ctypes.byref(_VELTRA_INTERFACE), index,
                                                         ctypes.byref(data)):
                return found
            size = ctypes.c_uint32()
            setupapi.SetupDiGetDeviceInterfaceDetailA(devices, ctypes.byref(data), None, 0,
                                                      ctypes.byref(size), None)
            detail = ctypes.create_string_buffer(max(size.value, _DETAIL_SIZE + 1))
            ctypes.c_uint32.from_buffer(detail).value = _DETAIL_SIZE
            path = ""
            if setupapi.SetupDiGetDeviceInterfaceDetailA(devices, ctypes.byref(data), detail,
                                                         len(detail), None, None):
                path = detail.raw[4:].split(b"\0", 1)[0].decode("ascii", errors="replace")
            found.append(path)
            index += 1
    finally:
        setupapi.SetupDiDestroyDeviceInfoList(devices)
