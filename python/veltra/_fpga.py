"""Bitstreams and the configuration of a card's FPGAs."""

from __future__ import annotations

import ctypes
import os
from ctypes import byref
from typing import Any, Optional, Union

from . import _records as R
from ._buffers import ReadableBuffer
from ._errors import Status, VeltraError, check
from ._library import libraries
from ._memory import ExternalMemory, Keeper
from ._common import PathLike, _Held, _u32, _wide_path
from ._information import CardInformation


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
        """True once the bitstream is unloaded."""
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


class CardFpga(CardInformation):
    """Configuring the card's FPGAs."""

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
