"""Shared set-up: a private simulated machine for the test process, the
libraries of the build tree unless VELTRA_LIBRARY_PATH names others, and
helpers to write bitstream files and count the platform's objects."""

from __future__ import annotations

import ctypes
import os
import struct
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator

import pytest

# The simulated machine is made when the library loads, so this must come
# before the first call into the package.
os.environ.setdefault("VELTRA_SIM_STATE", "private")

TREE = Path(__file__).resolve().parents[2]
BUILD = TREE / "build" / "linux"
if "VELTRA_LIBRARY_PATH" not in os.environ and (BUILD / "lib").is_dir():
    os.environ["VELTRA_LIBRARY_PATH"] = str(BUILD / "lib")

PYTHON_FOLDER = TREE / "python"
if str(PYTHON_FOLDER) not in sys.path:
    sys.path.insert(0, str(PYTHON_FOLDER))

import veltra  # noqa: E402

SYNC_WORD = b"\xaa\x99\x55\x66"


def bitstream_file(part: str, data: bytes) -> bytes:
    """A Xilinx .bit file: preamble, fields 'a' to 'd', then 'e' with the
    4-byte data length and the data; lengths are big-endian."""
    def text(tag: bytes, value: str) -> bytes:
        content = value.encode("ascii") + b"\0"
        return tag + struct.pack(">H", len(content)) + content

    preamble = bytes([0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00])
    head = struct.pack(">H", len(preamble)) + preamble + struct.pack(">H", 1)
    fields = text(b"a", "python_test;UserID=0XFFFFFFFF") + text(b"b", part)
    fields += text(b"c", "2026/12/07") + text(b"d", "08:00:00")
    return head + fields + b"e" + struct.pack(">I", len(data)) + data


@contextmanager
def raises(code: int, name: str) -> Iterator[None]:
    """Expects a VeltraError with this code and name."""
    with pytest.raises(veltra.VeltraError) as caught:
        yield
    assert (caught.value.code, caught.value.name) == (code, name)


class Platform:
    """The stand-in's object counts (vsim/hooks.h): the library's own view
    of the events, devices, threads, pipes and heap blocks it holds."""

    def __init__(self) -> None:
        veltra.cards()  # loads the library, and with it the stand-in
        self._library = ctypes.CDLL("libw32compat.so")
        self._library.vsimCountObjects.restype = ctypes.c_size_t
        self._library.vsimCountObjects.argtypes = [ctypes.c_char_p]

    def count(self, kind: str) -> int:
        return int(self._library.vsimCountObjects(kind.encode()))


@pytest.fixture(scope="session")
def platform() -> Platform:
    if sys.platform != "linux":
        pytest.skip("the object counts come from the Win32 stand-in")
    return Platform()


@pytest.fixture
def card() -> Iterator[veltra.Card]:
    with veltra.open(0) as opened:
        yield opened


@pytest.fixture
def card1() -> Iterator[veltra.Card]:
    with veltra.open(1) as opened:
        yield opened
