"""The records of veltra.h and kesta.h: their C layouts (ctypes structures,
with the offsets and sizes of the headers) and the frozen dataclasses that
the package returns, with the headers' member names.

Texts are read from the wide (W) forms, so they arrive as UTF-16 whatever
the system's code page; padding members are left out of the dataclasses,
members the headers name ``reserved`` are kept. A record whose size the
header gives beyond its last member has that tail as an explicit padding
member, so that its size does not depend on the platform's alignment of
doubles; the module refuses to load if a size differs from the header's.
"""

from __future__ import annotations

import ctypes
import dataclasses
from ctypes import c_char, c_double, c_uint8, c_uint16, c_uint32, c_uint64
from dataclasses import dataclass
from typing import Any, Tuple, Type, TypeVar

WCHAR = c_uint16  # 16 bits on every platform, as in the headers


class VERSION_INFO(ctypes.Structure):
    _fields_ = [
        ("apiMajor", c_uint16),
        ("apiMinor", c_uint16),
        ("apiBugfix", c_uint16),
        ("driverMajor", c_uint16),
        ("driverMinor", c_uint16),
        ("driverBugfix", c_uint16),
    ]


_CARD_FIELDS = [
    ("cardValue0", c_uint32),
    ("reserved1", c_uint32),
    ("cardValue2", c_uint32),
    ("cardValue3", c_uint32),
    ("cardValue4", c_uint32),
    ("cardValue5", c_uint32),
    ("cardValue6", c_uint32),
    ("cardValue7", c_uint32),
    ("windowCount", c_uint32),
    ("cardValue9", c_uint32),
]


class CARD_INFO(ctypes.Structure):
    _fields_ = _CARD_FIELDS


class CARD_INFO_EX(ctypes.Structure):
    _fields_ = _CARD_FIELDS + [
        ("cardValue10", c_uint32),
        ("cardValue11", c_uint32),
        ("reserved12", c_uint32),
    ]


class BANK_INFO(ctypes.Structure):
    _fields_ = [
        ("bankValue0", c_uint64),
        ("bankValue1", c_uint64),
        ("bankValue2", c_uint64),
        ("bankHalf0", c_uint16),
        ("bankHalf1", c_uint16),
        ("bankHalfSum", c_uint16),
        ("padding30", c_uint16),
        ("bankValue3", c_uint32),
        ("bankValue4", c_uint32),
        ("bBankFlag", c_uint32),
        ("padding44", c_uint32),
    ]


class MODULE_INFOW(ctypes.Structure):
    _fields_ = [
        ("moduleText0", WCHAR * 64),
        ("moduleText1", WCHAR * 64),
        ("moduleText2", WCHAR * 64),
        ("moduleText3", WCHAR * 64),
        ("moduleFixed", c_double),
        ("moduleValue0", c_uint32),
        ("moduleValue1", c_uint32),
        ("bModuleFlag", c_uint32),
        ("padding532", c_uint32),  # the tail up to the header's 536 bytes
    ]


class WINDOW_INFO(ctypes.Structure):
    _fields_ = [(f"windowValue{i}", c_uint64) for i in range(5)]


class FPGA_INFOW(ctypes.Structure):
    _fields_ = [
        ("name", WCHAR * 32),
        ("typeCode", c_uint32),
        ("family", c_uint32),
        ("attribute1", c_uint32),
        ("packageCode", c_uint32),
        ("deviceName", WCHAR * 16),
        ("packageName", WCHAR * 16),
        ("attribute2", c_uint32),
        ("text1", WCHAR * 8),
        ("text2", WCHAR * 8),
        ("attribute3", c_uint32),
    ]


class BITSTREAMW(ctypes.Structure):
    """The head of a loaded bitstream; `length` bytes of data follow it."""

    _fields_ = [("fpgaName", WCHAR * 32), ("length", c_uint32)]


class FLASH_INFOW(ctypes.Structure):
    _fields_ = [
        ("name", WCHAR * 32),
        ("attribute1", c_uint64),
        ("attribute2", c_uint64),
        ("attribute3", c_uint64),
    ]


class FLASH_BLOCK_INFO(ctypes.Structure):
    _fields_ = [
        ("attribute1", c_uint64),
        ("attribute2", c_uint64),
        ("attribute3", c_uint32),
        ("padding20", c_uint32),
    ]


class SENSOR_INFOW(ctypes.Structure):
    _fields_ = [
        ("description", WCHAR * 28),
        ("attribute1", c_uint32),
        ("padding60", c_uint32),
        ("attribute2", c_double),
        ("attribute3", c_uint32),
        ("attribute4", c_uint32),
        ("attribute5", c_uint32),
        ("padding84", c_uint32),
    ]


class SENSOR_VALUE(ctypes.Union):
    _fields_ = [("value32", c_uint32), ("doubleValue", c_double)]


class DEVICE_STATUS(ctypes.Structure):
    _fields_ = [
        ("status1", c_uint32),
        ("status2", c_uint32),
        ("status3", c_uint32),
        ("reserved", c_uint32 * 3),
        ("status4", c_uint32),
        ("status5", c_uint32),
    ]


class PROD_TEST_INFO(ctypes.Structure):
    _fields_ = [
        ("testValue0", c_uint32),
        ("testByte0", c_uint8),
        ("testByte1", c_uint8),
        ("testByte2", c_uint8),
        ("reserved", c_uint8),
        ("testValue1", c_uint32),
        ("testValue2", c_uint32),
    ]


# The byte offset of a bitstream's data in the wide object.
BITSTREAMW_DATA_OFFSET = 68

# The sizes the headers give; the data of a bitstream follows its head.
HEADER_SIZES: Tuple[Tuple[Type[Any], int], ...] = (
    (VERSION_INFO, 12),
    (CARD_INFO, 40),
    (CARD_INFO_EX, 52),
    (BANK_INFO, 48),
    (MODULE_INFOW, 536),
    (WINDOW_INFO, 40),
    (FPGA_INFOW, 184),
    (BITSTREAMW, BITSTREAMW_DATA_OFFSET),
    (FLASH_INFOW, 88),
    (FLASH_BLOCK_INFO, 24),
    (SENSOR_INFOW, 88),
    (SENSOR_VALUE, 8),
    (DEVICE_STATUS, 32),
    (PROD_TEST_INFO, 16),
)


def _check_sizes() -> None:
    for structure, size in HEADER_SIZES:
        if ctypes.sizeof(structure) != size:
            raise ImportError(
                f"{structure.__name__} is {ctypes.sizeof(structure)} bytes here, "
                f"not the {size} bytes of the header"
            )


_check_sizes()


def wide_text(field: Any) -> str:
    """A NUL-terminated UTF-16 field as a str (up to the first NUL)."""
    text: str = bytes(field).decode("utf-16-le", errors="replace")
    return text.split("\0", 1)[0]


T = TypeVar("T")


def record(cls: Type[T], raw: ctypes.Structure, **extra: Any) -> T:
    """The dataclass `cls` filled from the same-named members of `raw`."""
    values = {}
    for field in dataclasses.fields(cls):
        if field.name in extra:
            continue
        value = getattr(raw, field.name)
        if isinstance(value, ctypes.Array):
            if value._type_ is WCHAR:
                value = wide_text(value)
            elif value._type_ is c_char:
                value = bytes(value).split(b"\0", 1)[0].decode("ascii", errors="replace")
            else:
                value = tuple(value)
        values[field.name] = value
    values.update(extra)
    return cls(**values)


@dataclass(frozen=True)
class VersionInfo:
    """VELTRA_VERSION_INFO: the library's version (always 1.4.16) and the
    driver's."""

    apiMajor: int
    apiMinor: int
    apiBugfix: int
    driverMajor: int
    driverMinor: int
    driverBugfix: int


@dataclass(frozen=True)
class CardInfo:
    """VELTRA_CARD_INFO: the card's fixed properties. The meaning of the
    values other than windowCount is the driver's."""

    cardValue0: int
    reserved1: int
    cardValue2: int
    cardValue3: int
    cardValue4: int
    cardValue5: int
    cardValue6: int
    cardValue7: int
    windowCount: int
    cardValue9: int


@dataclass(frozen=True)
class CardInfoEx(CardInfo):
    """VELTRA_CARD_INFO_EX: the extended card information."""

    cardValue10: int
    cardValue11: int
    reserved12: int


@dataclass(frozen=True)
class BankInfo:
    """VELTRA_BANK_INFO: one memory bank."""

    bankValue0: int
    bankValue1: int
    bankValue2: int
    bankHalf0: int
    bankHalf1: int
    bankHalfSum: int
    bankValue3: int
    bankValue4: int
    bBankFlag: int


@dataclass(frozen=True)
class ModuleInfo:
    """VELTRA_MODULE_INFOW: one module's identity."""

    moduleText0: str
    moduleText1: str
    moduleText2: str
    moduleText3: str
    moduleFixed: float
    moduleValue0: int
    moduleValue1: int
    bModuleFlag: int


@dataclass(frozen=True)
class WindowInfo:
    """VELTRA_WINDOW_INFO: one address window as the driver describes it."""

    windowValue0: int
    windowValue1: int
    windowValue2: int
    windowValue3: int
    windowValue4: int


@dataclass(frozen=True)
class FpgaInfo:
    """VELTRA_FPGA_INFOW: the FPGA at an index of the card. `name` is the
    part name in the form of a bitstream file ("7vx690tffg1157")."""

    name: str
    typeCode: int
    family: int
    attribute1: int
    packageCode: int
    deviceName: str
    packageName: str
    attribute2: int
    text1: str
    text2: str
    attribute3: int


@dataclass(frozen=True)
class FlashInfo:
    """VELTRA_FLASH_INFOW: a flash bank's chip name and the driver's values."""

    name: str
    attribute1: int
    attribute2: int
    attribute3: int


@dataclass(frozen=True)
class FlashBlockInfo:
    """VELTRA_FLASH_BLOCK_INFO: the flash block that holds an offset."""

    attribute1: int
    attribute2: int
    attribute3: int


@dataclass(frozen=True)
class SensorInfo:
    """VELTRA_SENSOR_INFOW: a sensor's description; attribute1 is the
    datatype that VELTRA_ReadSensor answers in."""

    description: str
    attribute1: int
    attribute2: float
    attribute3: int
    attribute4: int
    attribute5: int


@dataclass(frozen=True)
class DeviceStatus:
    """VELTRA_DEVICE_STATUS, and `anyError`: the library's verdict that some
    status word is not 0 (the pAnyError output of VELTRA_GetDeviceStatus)."""

    status1: int
    status2: int
    status3: int
    reserved: Tuple[int, int, int]
    status4: int
    status5: int
    anyError: bool


@dataclass(frozen=True)
class CommonBuffer:
    """A common buffer of the card: its value (on the simulated driver its
    bus address) and the key that maps it."""

    index: int
    value: int
    key: int


@dataclass(frozen=True)
class ProdTestInfo:
    """KESTA_PROD_TEST_INFO: the card's production-test record."""

    testValue0: int
    testByte0: int
    testByte1: int
    testByte2: int
    reserved: int
    testValue1: int
    testValue2: int


@dataclass(frozen=True)
class IprogStatus:
    """The state of an IPROG slot, as KESTA_StatusIPROG reports it."""

    status: int
    address: int
    value: int


@dataclass(frozen=True)
class CardSummary:
    """One card as veltra.cards() lists it; `serial` is its serial number
    (the card information's cardValue3) and `path` its device path, by
    either of which :func:`veltra.open` can also find it."""

    index: int
    version: VersionInfo
    info: CardInfoEx
    path: str = ""  # the device path the library opens (SetupAPI's)

    @property
    def serial(self) -> int:
        """The card's serial number (cardValue3 of its card information)."""
        return self.info.cardValue3


@dataclass(frozen=True)
class BusRange:
    """A range of bus addresses (for instance inside a common buffer), the
    host side of the bus forms of DMA."""

    address: int
    length: int


@dataclass(frozen=True)
class Identity:
    """A card in plain words (Card.identity), from its card information and
    the version information, as the tool's `veltra info` shows it: the
    board id (cardValue2), board revision (cardValue0), serial number
    (cardValue3), PCIe link width and generation (cardValue10, cardValue11),
    and the driver's and the library's versions."""

    board_id: int
    revision: int
    serial: int
    pcie_width: int
    pcie_generation: int
    driver_version: str
    library_version: str


@dataclass(frozen=True)
class Fpga:
    """An FPGA in plain words (Card.fpgas()): its part `name` as a bitstream
    names it ("7vx690tffg1157"), `device` and `package`, `speed_grade`
    ("-2") and `temperature_grade` ("I"), and whether it is `configured`."""

    index: int
    name: str
    device: str
    package: str
    speed_grade: str
    temperature_grade: str
    configured: bool


@dataclass(frozen=True)
class BlockRun:
    """Blocks of one size in a row: `count` blocks of `size` bytes from
    `start`; `parameter` blocks are the small ones of a boot area."""

    start: int
    size: int
    count: int
    parameter: bool


@dataclass(frozen=True)
class Flash:
    """A flash chip in plain words (Card.flash()): its `name`, `size` in
    bytes, `bus_width` in bits, and its blocks from offset 0 to the end as
    runs of equal blocks, as the tool's `veltra flash info` shows them."""

    bank: int
    name: str
    size: int
    block_size: int
    bus_width: int
    blocks: Tuple[BlockRun, ...]

