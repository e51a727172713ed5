"""What every part of a card shares: argument checks, paths for the wide
exports, register widths, and holding a caller's buffer for one call."""

from __future__ import annotations

import ctypes
import operator
import os
from typing import Any, Dict, TypeVar, Union

from ._buffers import Pinned, ReadableBuffer, WriteableBuffer, pin

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


class _Held:
    """A buffer pinned for one blocking call."""

    def __init__(self, buffer: Union[ReadableBuffer, WriteableBuffer], writable: bool) -> None:
        self.pinned = pin(buffer, writable)

    def __enter__(self) -> Pinned:
        return self.pinned

    def __exit__(self, *exc: Any) -> None:
        self.pinned.release()
