"""The bridge device of a card, through the KESTA library."""

from __future__ import annotations

import weakref
from ctypes import byref, c_uint32, c_uint64
from typing import Any, Optional

from . import _records as R
from ._common import _u32, _u64
from ._errors import check_kesta
from ._library import HANDLE, libraries


def _close(library: Any, handle: int) -> int:
    status: int = library.KESTA_Close(handle)
    return status


class Bridge:
    """An open bridge device (KESTA_Open): the card's unique identifier,
    production-test information, interrupt servicing and FPGA
    self-reconfiguration (IPROG). Close it with :meth:`close` or a ``with``
    block; a bridge that is collected is closed too. Besides the statuses
    each method names, every method may raise KestaError with
    KESTA_INVALID_HANDLE (521), KESTA_CANCELLED (525), KESTA_NO_MEMORY (515),
    KESTA_UNEXPECTED_ERROR (513, for instance a removed card) or another
    status of the driver. Raises ValueError for a closed bridge."""

    def __init__(self, index: int, *, read_only: bool = False, flags: int = 0) -> None:
        """Opens the bridge device of card `index`. Raises KestaError:
        KESTA_DEVICE_NOT_FOUND (517) when no card has that index,
        KESTA_ACCESS_DENIED (516), KESTA_NO_MEMORY (515),
        KESTA_UNEXPECTED_ERROR (513), and with bit 0 of `flags` set the
        driver's verdict on them (KESTA_INVALID_FLAG, 520)."""
        library = libraries.kesta()
        index = _u32(index, "card index")
        handle = HANDLE()
        check_kesta(
            library.KESTA_Open(index, int(read_only), _u32(flags, "flags"), byref(handle)),
            "KESTA_Open",
        )
        assert handle.value is not None
        self.index = index
        self._library = library
        self._handle: Optional[int] = handle.value
        self._finalizer = weakref.finalize(self, _close, library, handle.value)

    @property
    def closed(self) -> bool:
        """True once the bridge device is closed."""
        return self._handle is None

    @property
    def handle(self) -> int:
        """The KESTA_HANDLE. Raises ValueError once the bridge is closed."""
        if self._handle is None:
            raise ValueError(f"the bridge of card {self.index} is closed")
        return self._handle

    def _call(self, name: str, *arguments: Any) -> None:
        check_kesta(getattr(self._library, name)(self.handle, *arguments), name)

    def close(self) -> None:
        """Closes the handle (KESTA_Close); nothing happens the second time.
        Raises KestaError: KESTA_INVALID_HANDLE (521),
        KESTA_UNEXPECTED_ERROR (513)."""
        if self._handle is None:
            return
        self._handle = None
        status: Optional[int] = self._finalizer()
        check_kesta(status or 0, "KESTA_Close")

    def __enter__(self) -> "Bridge":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<veltra.Bridge {self.index}{' closed' if self.closed else ''}>"

    def unique_id(self) -> int:
        """The card's 64-bit unique identifier (KESTA_GetUniqueId). Raises
        KestaError with the statuses of any request (see :class:`Bridge`)."""
        value = c_uint64()
        self._call("KESTA_GetUniqueId", byref(value))
        return int(value.value)

    def prod_test_info(self) -> R.ProdTestInfo:
        """The production-test record (KESTA_GetProdTestInfo). Raises
        KestaError with the statuses of any request (see :class:`Bridge`)."""
        raw = R.PROD_TEST_INFO()
        self._call("KESTA_GetProdTestInfo", byref(raw))
        return R.record(R.ProdTestInfo, raw)

    def service_irq(self) -> bool:
        """Services the bridge's interrupt (KESTA_ServiceIRQ): True if there
        was one to service. Raises KestaError with the statuses of any
        request (see :class:`Bridge`)."""
        serviced = c_uint32()
        self._call("KESTA_ServiceIRQ", byref(serviced))
        return bool(serviced.value)

    def schedule_iprog(self, slot: int, address: int, *, flags: int = 0, value: int = 0) -> None:
        """Schedules a reconfiguration of the FPGA from flash `address` in
        IPROG slot `slot` (KESTA_ScheduleIPROG). Raises KestaError:
        KESTA_INVALID_INDEX (522), KESTA_INVALID_FLAG (520),
        KESTA_INVALID_PARAMETER (531) for an address the driver refuses,
        KESTA_WRONG_MODE (529) when the slot is already scheduled."""
        self._call(
            "KESTA_ScheduleIPROG", _u32(slot, "slot"), _u32(flags, "flags"),
            _u64(address, "address"), _u32(value, "value"),
        )

    def abort_iprog(self, slot: int) -> None:
        """Aborts the scheduled reconfiguration of slot `slot`
        (KESTA_AbortIPROG). Raises KestaError: KESTA_INVALID_INDEX (522),
        KESTA_WRONG_MODE (529) when the slot is not scheduled."""
        self._call("KESTA_AbortIPROG", _u32(slot, "slot"))

    def iprog_status(self, slot: int) -> R.IprogStatus:
        """The state of IPROG slot `slot` (KESTA_StatusIPROG). Raises
        KestaError: KESTA_INVALID_INDEX (522)."""
        status, address, value = c_uint32(), c_uint64(), c_uint32()
        self._call(
            "KESTA_StatusIPROG", _u32(slot, "slot"), byref(status), byref(address), byref(value)
        )
        return R.IprogStatus(int(status.value), int(address.value), int(value.value))
