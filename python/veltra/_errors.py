"""Status codes and the exceptions that carry them.

Every failing status of a library call raises :class:`VeltraError` (VELTRA
library) or :class:`KestaError` (KESTA library). The exception carries the
code, and the name and message that the library's GetStatusStringA export
gives for it, so an unknown code from a newer driver is reported as the
library reports it.
"""

from __future__ import annotations

import enum
from typing import Any, Callable, Union

from ._library import libraries


class Status(enum.IntEnum):
    """The VELTRA status codes (VELTRA_SUCCESS is 0, failures 256 to 285)."""

    SUCCESS = 0
    INTERNAL_ERROR = 256
    UNEXPECTED_ERROR = 257
    BAD_DRIVER = 258
    NO_MEMORY = 259
    ACCESS_DENIED = 260
    DEVICE_NOT_FOUND = 261
    FILE_NOT_FOUND = 262
    HARDWARE_ERROR = 263
    FPGA_MISMATCH = 264
    INVALID_BITSTREAM = 265
    INVALID_BUFFER = 266
    INVALID_FLAG = 267
    INVALID_FREQUENCY = 268
    INVALID_HANDLE = 269
    INVALID_INDEX = 270
    INVALID_REGION = 271
    NULL_POINTER = 272
    BUSY = 273
    CANCEL_FAILED = 274
    CANCELLED = 275
    RESOURCE_LIMIT = 276
    REGION_TOO_LARGE = 277
    MUST_WAIT = 278
    NOT_OWNER = 279
    PENDING = 280
    NONBLOCK_IDLE = 281
    INVALID_BUFFER_HANDLE = 282
    INVALID_LOCAL_REGION = 283
    DATATYPE_MISMATCH = 284
    NOT_SUPPORTED = 285


class KestaStatus(enum.IntEnum):
    """The KESTA status codes (KESTA_SUCCESS is 0, failures 512 to 531)."""

    SUCCESS = 0
    INTERNAL_ERROR = 512
    UNEXPECTED_ERROR = 513
    BAD_DRIVER = 514
    NO_MEMORY = 515
    ACCESS_DENIED = 516
    DEVICE_NOT_FOUND = 517
    HARDWARE_ERROR = 518
    INVALID_BUFFER = 519
    INVALID_FLAG = 520
    INVALID_HANDLE = 521
    INVALID_INDEX = 522
    INVALID_REGION = 523
    NULL_POINTER = 524
    CANCELLED = 525
    RESOURCE_LIMIT = 526
    REGION_TOO_LARGE = 527
    DATATYPE_MISMATCH = 528
    WRONG_MODE = 529
    NOT_SUPPORTED = 530
    INVALID_PARAMETER = 531


def _text(function: Callable[[int, int], Any], code: int, short: bool) -> str:
    raw: bytes = function(code, 1 if short else 0)
    return raw.decode("ascii", errors="replace")


def status_text(code: int, short: bool = False) -> str:
    """The VELTRA library's name (short) or message of a status code, from
    VELTRA_GetStatusStringA; a code outside the table gives "Unknown status
    code N(0xN)". Raises LibraryError if the library cannot be loaded."""
    return _text(libraries.veltra().VELTRA_GetStatusStringA, code & 0xFFFFFFFF, short)


def kesta_status_text(code: int, short: bool = False) -> str:
    """The KESTA library's name (short) or message of a status code, from
    KESTA_GetStatusStringA."""
    return _text(libraries.kesta().KESTA_GetStatusStringA, code & 0xFFFFFFFF, short)


class Error(Exception):
    """A failing status of a library call: `code`, its `name` and `message`
    as the library gives them, and `call`, the export that returned it."""

    code: int
    name: str
    message: str
    call: str

    def __init__(self, code: int, name: str, message: str, call: str = "") -> None:
        self.code = code
        self.name = name
        self.message = message
        self.call = call
        text = f"{name} ({message})"
        super().__init__(f"{call}: {text}" if call else text)

    def __reduce__(self) -> Any:
        return (type(self), (self.code, self.name, self.message, self.call))


class VeltraError(Error):
    """A failing VELTRA status. `status` is the :class:`Status` member, or the
    plain code when the code is not in the table. The common statuses raise a
    subclass of their own (:class:`DeviceNotFound`, :class:`FpgaMismatch`,
    :class:`Cancelled`, ...), which is still a VeltraError."""

    @property
    def status(self) -> Union[Status, int]:
        try:
            return Status(self.code)
        except ValueError:
            return self.code

    @classmethod
    def from_code(cls, code: int, call: str = "") -> "VeltraError":
        kind = _VELTRA_KINDS.get(code, cls) if cls is VeltraError else cls
        return kind(code, status_text(code, True), status_text(code, False), call)


class DeviceNotFound(VeltraError, LookupError):
    """VELTRA_DEVICE_NOT_FOUND: no card at that index, with that serial or
    at that path (or it went away). Also a LookupError, which a wrong
    serial or path raised before."""


class AccessDenied(VeltraError):
    """VELTRA_ACCESS_DENIED: the card is open elsewhere in a way that excludes
    this use."""


class HardwareError(VeltraError):
    """VELTRA_HARDWARE_ERROR: the card failed the operation."""


class FpgaMismatch(VeltraError):
    """VELTRA_FPGA_MISMATCH: the bitstream is for another FPGA part."""


class InvalidBitstream(VeltraError):
    """VELTRA_INVALID_BITSTREAM: the file or buffer is not a bitstream."""


class InvalidRegion(VeltraError):
    """VELTRA_INVALID_REGION or VELTRA_INVALID_LOCAL_REGION: outside the
    window, buffer or card memory."""


class Busy(VeltraError):
    """VELTRA_BUSY: the resource is in use."""


class Cancelled(VeltraError):
    """VELTRA_CANCELLED: the operation was cancelled (VELTRA_Cancel, or the
    card handle closed)."""


class NotSupported(VeltraError):
    """VELTRA_NOT_SUPPORTED: the card or driver does not offer this."""


_VELTRA_KINDS: dict[int, type[VeltraError]] = {
    Status.DEVICE_NOT_FOUND: DeviceNotFound,
    Status.ACCESS_DENIED: AccessDenied,
    Status.HARDWARE_ERROR: HardwareError,
    Status.FPGA_MISMATCH: FpgaMismatch,
    Status.INVALID_BITSTREAM: InvalidBitstream,
    Status.INVALID_REGION: InvalidRegion,
    Status.INVALID_LOCAL_REGION: InvalidRegion,
    Status.BUSY: Busy,
    Status.CANCELLED: Cancelled,
    Status.NOT_SUPPORTED: NotSupported,
}


class KestaError(Error):
    """A failing KESTA status. `status` is the :class:`KestaStatus` member, or
    the plain code when the code is not in the table."""

    @property
    def status(self) -> Union[KestaStatus, int]:
        try:
            return KestaStatus(self.code)
        except ValueError:
            return self.code

    @classmethod
    def from_code(cls, code: int, call: str = "") -> "KestaError":
        return cls(code, kesta_status_text(code, True), kesta_status_text(code, False), call)


def check(code: int, call: str) -> None:
    """Raises VeltraError unless `code` is VELTRA_SUCCESS."""
    if code != 0:
        raise VeltraError.from_code(code, call)


def check_kesta(code: int, call: str) -> None:
    """Raises KestaError unless `code` is KESTA_SUCCESS."""
    if code != 0:
        raise KestaError.from_code(code, call)


# The exceptions are the package's own: tracebacks and reprs name them
# `veltra.VeltraError`, not the private module that defines them.
for _kind in (Error, VeltraError, KestaError, *set(_VELTRA_KINDS.values())):
    _kind.__module__ = "veltra"
