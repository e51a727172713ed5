"""VELTRA FPGA accelerator cards from Python.

A layer over the VELTRA and KESTA libraries (ctypes, no compiled code)::

    import veltra

    for summary in veltra.cards():
        print(summary.index, hex(summary.serial), summary.path)
    with veltra.open(0) as card:
        identity = card.identity()
        print(hex(identity.board_id), identity.pcie_width, identity.driver_version)
        card.write_dma(b"hello", 0x1000)
        assert card.read_dma(0x1000, 5) == b"hello"
        window = card.window(0)
        window.write(0x10, 5)          # a 32-bit register, as PYNQ's MMIO writes it
        assert window.read(0x10) == 5  # and reads it

Every failing status raises :class:`VeltraError` (or :class:`KestaError`
from the bridge device) with the code, and the name and message that the
library gives for it. Cards, bridges, mappings, locked buffers, event
registrations and loaded bitstreams close at the end of a ``with`` block.
Host memory travels by address, never copied: any object with the buffer
protocol can be the source or destination of DMA, flash, VPD and window
transfers.

The libraries are found in the package's folder, in the folders of
``VELTRA_LIBRARY_PATH``, or on the system's library path; ``VELTRA_CHECKED=1``
picks the checked builds. On Linux they run on the simulated machine
(``VELTRA_SIM_STATE``, ``VELTRA_SIM_MACHINE``: see the package's README).
"""

from __future__ import annotations

from typing import List, Optional

from ._board import Sensor
from ._bridge import Bridge
from ._board import CardBoard
from ._card import Card, cards
from ._dma import CardDma
from ._fpga import CardFpga
from ._handle import CardHandle
from ._information import CardInformation
from ._notifications import CardNotifications
from ._windows import CardWindows
from ._common import _u32, card_paths
from ._dma import LockedBuffer, LockedRange
from ._fpga import Bitstream, load_bitstream
from ._notifications import Registration
from ._windows import Mapping, Window
from ._errors import (
    AccessDenied,
    Busy,
    Cancelled,
    DeviceNotFound,
    Error,
    FpgaMismatch,
    HardwareError,
    InvalidBitstream,
    InvalidRegion,
    KestaError,
    KestaStatus,
    NotSupported,
    Status,
    VeltraError,
    kesta_status_text,
    status_text,
)
from ._events import Event, NotificationWait, Operation, Transfer
from ._library import LibraryError
from ._records import (
    BankInfo,
    BusRange,
    CardInfo,
    CardInfoEx,
    CardSummary,
    CommonBuffer,
    DeviceStatus,
    FlashBlockInfo,
    FlashInfo,
    BlockRun,
    Flash,
    Fpga,
    FpgaInfo,
    Identity,
    IprogStatus,
    ModuleInfo,
    ProdTestInfo,
    SensorInfo,
    VersionInfo,
    WindowInfo,
)

__version__ = "1.4.16"

__all__ = [
    "AccessDenied",
    "CardBoard",
    "CardDma",
    "CardFpga",
    "CardHandle",
    "CardInformation",
    "CardNotifications",
    "CardWindows",
    "BankInfo",
    "Bitstream",
    "BlockRun",
    "Bridge",
    "BusRange",
    "Busy",
    "Cancelled",
    "Card",
    "CardInfo",
    "CardInfoEx",
    "CardSummary",
    "CommonBuffer",
    "DeviceNotFound",
    "DeviceStatus",
    "Error",
    "Event",
    "Flash",
    "FlashBlockInfo",
    "FlashInfo",
    "Fpga",
    "FpgaInfo",
    "FpgaMismatch",
    "HardwareError",
    "Identity",
    "InvalidBitstream",
    "InvalidRegion",
    "IprogStatus",
    "KestaError",
    "KestaStatus",
    "LibraryError",
    "LockedBuffer",
    "LockedRange",
    "Mapping",
    "ModuleInfo",
    "NotSupported",
    "NotificationWait",
    "Operation",
    "ProdTestInfo",
    "Registration",
    "Sensor",
    "SensorInfo",
    "Status",
    "Transfer",
    "VeltraError",
    "VersionInfo",
    "Window",
    "WindowInfo",
    "cards",
    "kesta_status_text",
    "load_bitstream",
    "open",
    "open_bridge",
    "status_text",
]


def open(  # noqa: A001
    index: Optional[int] = None,
    *,
    serial: Optional[int] = None,
    path: Optional[str] = None,
    read_only: bool = False,
    flags: int = 0,
) -> Card:
    """Opens card `index`, or the card whose serial number is `serial`
    (VELTRA_Open; VELTRA_OpenEx with `read_only` or `flags`); use it in a
    ``with`` block. By serial the cards are opened in index order and the
    serial is read from the open card, so the card returned is the one
    named even if indexes shifted meanwhile (the tool's ``serial:`` rule);
    :class:`DeviceNotFound`, naming the serials there are, when no card
    has it. By `path`, the card at that device path (as :func:`cards`
    lists them), checked again once it is open; :class:`DeviceNotFound`
    when no card is there or it moved meanwhile.

    A card opened `read_only` is read only by the package too: what would
    change it (writes to windows, card memory, flash or VPD, configuration,
    clocks, clearing its errors) raises PermissionError before anything is
    sent, and its mappings are read-only views. Raises TypeError unless
    exactly one of `index` and `serial` is given; VeltraError:
    VELTRA_DEVICE_NOT_FOUND (261) when no card has that index,
    VELTRA_ACCESS_DENIED (260), VELTRA_NO_MEMORY (259),
    VELTRA_UNEXPECTED_ERROR (257), VELTRA_INVALID_FLAG (267) for open flags
    the driver refuses; LibraryError when the library cannot be loaded."""
    if sum(x is not None for x in (index, serial, path)) != 1:
        raise TypeError("open() takes a card index, serial= or path=, one of them")
    if index is not None:
        return Card(index, read_only=read_only, flags=flags)
    if path is not None:
        return _open_path(path, read_only, flags)
    assert serial is not None
    wanted = _u32(serial, "serial")
    seen: List[str] = []
    at = 0
    while True:
        try:
            card = Card(at, read_only=read_only, flags=flags)
        except VeltraError as error:
            if error.code != Status.DEVICE_NOT_FOUND:
                raise
            break
        try:
            found = card.card_info_ex().cardValue3
        except BaseException:
            card.close()
            raise
        if found == wanted:
            return card
        card.close()
        seen.append(f"0x{found:08X}")
        at += 1
    there = f"the cards: {', '.join(seen)}" if seen else "there is no card"
    raise _not_found(f"no card has serial 0x{wanted:08X} ({there})")


def _not_found(what: str) -> VeltraError:
    """VELTRA_DEVICE_NOT_FOUND, as a wrong index raises it, saying what
    was looked for."""
    error = VeltraError.from_code(Status.DEVICE_NOT_FOUND, "veltra.open")
    error.args = (f"{what}: {error.name} ({error.message})",)
    return error


def _open_path(path: str, read_only: bool, flags: int) -> Card:
    """The card at a device path: found by its index, opened, and the path
    checked again once it is open, so that a card that moved in between is
    not taken for it (the tool's rule). Windows compares paths without
    regard to case."""
    before = card_paths()
    for at, known in enumerate(before):
        if known.lower() != path.lower():
            continue
        card = Card(at, read_only=read_only, flags=flags)
        after = card_paths()
        if at >= len(after) or after[at].lower() != path.lower():
            card.close()
            raise _not_found(f"the card at {path} moved while it was opened")
        return card
    raise _not_found(f"no card is at {path}")


def open_bridge(index: int, *, read_only: bool = False, flags: int = 0) -> Bridge:
    """Opens the bridge device of card `index` (KESTA_Open). Raises
    KestaError: KESTA_DEVICE_NOT_FOUND (517), KESTA_ACCESS_DENIED (516),
    KESTA_NO_MEMORY (515), KESTA_UNEXPECTED_ERROR (513), KESTA_INVALID_FLAG
    (520); LibraryError when the library cannot be loaded."""
    return Bridge(index, read_only=read_only, flags=flags)


def __getattr__(name: str) -> object:
    # The array class of Card.allocate needs numpy, which the rest of the
    # package does not.
    if name == "LockedArray":
        from ._locked_array import LockedArray

        return LockedArray
    raise AttributeError(f"module 'veltra' has no attribute {name!r}")


# The public classes as users name them (veltra.Card, veltra.CardDma), in
# help(), reprs and messages, rather than by the module that defines them.
for _name in __all__:
    _object = globals()[_name]
    if isinstance(_object, type) and _object.__module__.startswith("veltra."):
        _object.__module__ = "veltra"
del _name, _object
