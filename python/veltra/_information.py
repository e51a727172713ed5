"""What a card says of itself."""

from __future__ import annotations

from ctypes import byref
from typing import List

from . import _records as R
from ._common import _u32
from ._handle import CardHandle


class CardInformation(CardHandle):
    """The card's version, card, bank, module and FPGA information."""

    @property
    def identity(self) -> R.Identity:
        """The card's :class:`Identity`: board id, revision, serial, PCIe
        link, driver and library versions, read from the card now."""
        info = self.card_info_ex()
        version = self.version_info()
        return R.Identity(
            board_id=info.cardValue2,
            revision=info.cardValue0,
            serial=info.cardValue3,
            pcie_width=info.cardValue10,
            pcie_generation=info.cardValue11,
            driver_version=f"{version.driverMajor}.{version.driverMinor}.{version.driverBugfix}",
            library_version=f"{version.apiMajor}.{version.apiMinor}.{version.apiBugfix}",
        )

    def fpgas(self) -> List[R.Fpga]:
        """Every FPGA in plain words, as many as the card information says
        (cardValue4)."""
        found: List[R.Fpga] = []
        for index in range(self.card_info().cardValue4):
            f = self.fpga_info(index)
            found.append(R.Fpga(index, f.name, f.deviceName, f.packageName, f.text1, f.text2,
                                f.attribute3 != 0))
        return found

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
