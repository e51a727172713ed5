"""A card's board services: flash, VPD, clocks, sensors and device status."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_double, c_uint32
from typing import Dict, List, Optional, Union

from . import _records as R
from ._buffers import ReadableBuffer, WriteableBuffer
from ._common import _Held, _u32, _u64
from ._errors import Status, VeltraError
from ._information import CardInformation


def _datatypes(card: CardInformation) -> Dict[int, int]:
    """The data type of each sensor read so far, by index."""
    made: Dict[int, int] = card._state.area("sensor datatypes", dict)
    return made


class CardBoard(CardInformation):
    """Flash, VPD, clocks, sensors and the device status."""

    def flash_info(self, bank: int = 0) -> R.FlashInfo:
        """Flash bank `bank`: its chip's name and the driver's values
        (VELTRA_GetFlashInfoW). Raises VeltraError: VELTRA_INVALID_INDEX (270)."""
        raw = R.FLASH_INFOW()
        self._call("VELTRA_GetFlashInfoW", _u32(bank, "bank"), byref(raw))
        return R.record(R.FlashInfo, raw)

    def flash_block_info(self, offset: int, *, bank: int = 0) -> R.FlashBlockInfo:
        """The block that holds `offset` (VELTRA_GetFlashBlockInfo). Raises
        VeltraError: VELTRA_INVALID_INDEX (270), VELTRA_INVALID_REGION (271)
        past the chip."""
        raw = R.FLASH_BLOCK_INFO()
        self._call(
            "VELTRA_GetFlashBlockInfo", _u32(bank, "bank"), _u64(offset, "offset"), byref(raw)
        )
        return R.record(R.FlashBlockInfo, raw)

    def erase_flash(self, offset: int, length: int, *, bank: int = 0, flags: int = 0) -> None:
        """Erases `length` bytes from `offset` (VELTRA_EraseFlash). Raises
        VeltraError: VELTRA_INVALID_REGION (271; the simulated driver takes
        whole blocks only), VELTRA_INVALID_INDEX (270), VELTRA_INVALID_FLAG
        (267), VELTRA_HARDWARE_ERROR (263)."""
        self._refuse_changes("VELTRA_EraseFlash")
        self._call(
            "VELTRA_EraseFlash", _u32(bank, "bank"), _u32(flags, "flags"),
            _u64(offset, "offset"), _u64(length, "length"),
        )

    def read_flash_into(
        self, offset: int, buffer: WriteableBuffer, *, bank: int = 0, flags: int = 0
    ) -> None:
        """Fills `buffer` from flash at `offset` (VELTRA_ReadFlash); raises
        VeltraError as :meth:`erase_flash`."""
        with _Held(buffer, True) as held:
            self._call(
                "VELTRA_ReadFlash", _u32(bank, "bank"), _u32(flags, "flags"),
                _u64(offset, "offset"), held.length, held.address,
            )

    def read_flash(self, offset: int, length: int, *, bank: int = 0, flags: int = 0) -> bytearray:
        """`length` bytes of flash from `offset`; as :meth:`read_flash_into`."""
        data = bytearray(_u64(length, "length"))
        self.read_flash_into(offset, data, bank=bank, flags=flags)
        return data

    def write_flash(
        self, offset: int, data: ReadableBuffer, *, bank: int = 0, flags: int = 0
    ) -> None:
        """Programs `data` at `offset` (VELTRA_WriteFlash); programming
        clears bits only, so erase first. Raises VeltraError as
        :meth:`erase_flash`."""
        self._refuse_changes("VELTRA_WriteFlash")
        with _Held(data, False) as held:
            self._call(
                "VELTRA_WriteFlash", _u32(bank, "bank"), _u32(flags, "flags"),
                _u64(offset, "offset"), held.length, held.address,
            )

    def sync_flash(self, *, bank: int = 0, flags: int = 0) -> None:
        """Waits until the bank has finished every write and erase
        (VELTRA_SyncFlash); raises VeltraError as :meth:`erase_flash`."""
        self._refuse_changes("VELTRA_SyncFlash")
        self._call("VELTRA_SyncFlash", _u32(bank, "bank"), _u32(flags, "flags"))

    # -- VPD, clocks, sensors, device status ------------------------------------

    def read_vpd_into(self, offset: int, buffer: WriteableBuffer, *, flags: int = 0) -> None:
        """Fills `buffer` with vital product data from `offset`
        (VELTRA_ReadVPD). Raises VeltraError: VELTRA_INVALID_REGION (271)
        past the end of the VPD, VELTRA_INVALID_FLAG (267)."""
        with _Held(buffer, True) as held:
            self._call(
                "VELTRA_ReadVPD", _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def read_vpd(self, offset: int, length: int, *, flags: int = 0) -> bytearray:
        """`length` bytes of vital product data; as :meth:`read_vpd_into`."""
        data = bytearray(_u64(length, "length"))
        self.read_vpd_into(offset, data, flags=flags)
        return data

    def write_vpd(self, offset: int, data: ReadableBuffer, *, flags: int = 0) -> None:
        """Writes vital product data at `offset` (VELTRA_WriteVPD); raises
        VeltraError as :meth:`read_vpd_into`."""
        self._refuse_changes("VELTRA_WriteVPD")
        with _Held(data, False) as held:
            self._call(
                "VELTRA_WriteVPD", _u32(flags, "flags"), _u64(offset, "offset"),
                held.length, held.address,
            )

    def clock_frequency(self, index: int) -> float:
        """Clock generator `index`'s frequency in Hz
        (VELTRA_GetClockFrequency). Raises VeltraError: VELTRA_INVALID_INDEX
        (270)."""
        frequency = c_double()
        self._call("VELTRA_GetClockFrequency", _u32(index, "clock index"), byref(frequency))
        return float(frequency.value)

    def set_clock_frequency(self, index: int, frequency: float, *, flags: int = 0) -> float:
        """Sets clock generator `index` to `frequency` Hz and returns the
        frequency it actually runs at (VELTRA_SetClockFrequency). Raises
        VeltraError: VELTRA_INVALID_FREQUENCY (268), VELTRA_NOT_SUPPORTED
        (285) for a fixed clock, VELTRA_INVALID_INDEX (270),
        VELTRA_HARDWARE_ERROR (263) when the generator did not lock."""
        self._refuse_changes("VELTRA_SetClockFrequency")
        actual = c_double()
        self._call(
            "VELTRA_SetClockFrequency", _u32(index, "clock index"), _u32(flags, "flags"),
            float(frequency), byref(actual),
        )
        return float(actual.value)

    def sensor_info(self, index: int) -> R.SensorInfo:
        """Sensor `index`'s description (VELTRA_GetSensorInfoW). Raises
        VeltraError: VELTRA_INVALID_INDEX (270)."""
        raw = R.SENSOR_INFOW()
        self._call("VELTRA_GetSensorInfoW", _u32(index, "sensor index"), byref(raw))
        info = R.record(R.SensorInfo, raw)
        _datatypes(self)[index] = info.attribute1
        return info

    def sensors(self) -> List["Sensor"]:
        """Every sensor of the card in plain words (:class:`Sensor`). The
        driver reports no count of sensors, so they are asked for in index
        order until it answers VELTRA_INVALID_INDEX, as the tool does."""
        found: List[Sensor] = []
        while True:
            try:
                info = self.sensor_info(len(found))
            except VeltraError as error:
                if error.code == Status.INVALID_INDEX:
                    return found
                raise
            found.append(Sensor(self, len(found), info))

    def flash(self) -> List[R.Flash]:
        """Every flash chip in plain words, as many as the card information
        says (cardValue5), with its blocks as runs of equal blocks (one
        block information request per block)."""
        chips: List[R.Flash] = []
        for bank in range(self.card_info().cardValue5):
            info = self.flash_info(bank)
            runs: List[List[int]] = []  # start, size, count, flags
            offset = 0
            while offset < info.attribute1:
                block = self.flash_block_info(offset, bank=bank)
                if block.attribute2 == 0 or not 0 <= offset - block.attribute1 < block.attribute2:
                    raise VeltraError.from_code(Status.UNEXPECTED_ERROR, "VELTRA_GetFlashBlockInfo")
                if runs and runs[-1][1] == block.attribute2 and runs[-1][3] == block.attribute3:
                    runs[-1][2] += 1
                else:
                    runs.append([block.attribute1, block.attribute2, 1, block.attribute3])
                offset = block.attribute1 + block.attribute2
            chips.append(R.Flash(bank, info.name, info.attribute1, info.attribute2, info.attribute3,
                                 tuple(R.BlockRun(r[0], r[1], r[2], bool(r[3] & 1)) for r in runs)))
        return chips

    def clocks(self) -> List[float]:
        """The frequency in Hz of each clock generator, as many as the card
        information says it has (cardValue9)."""
        return [self.clock_frequency(i) for i in range(self.card_info().cardValue9)]

    def read_sensor_value(self, index: int) -> float:
        """A reading of an analogue sensor (a temperature, a voltage, a fan
        speed) as a float in its unit, typed so; TypeError for a flags
        word (see :meth:`read_sensor_flags`)."""
        index = _u32(index, "sensor index")
        if self._datatype(index) == _FLAGS:
            raise TypeError(f"sensor {index} is a flags word: read it with read_sensor_flags()")
        return float(self.read_sensor(index))

    def read_sensor_flags(self, index: int) -> int:
        """A reading of a flags sensor as an int (a bit per alarm), typed
        so; TypeError for an analogue sensor."""
        index = _u32(index, "sensor index")
        if self._datatype(index) != _FLAGS:
            raise TypeError(f"sensor {index} is not a flags word: read it with "
                            "read_sensor_value()")
        return int(self.read_sensor(index))

    def _datatype(self, index: int) -> int:
        datatype = _datatypes(self).get(index)
        return datatype if datatype is not None else self.sensor_info(index).attribute1

    def read_sensor(self, index: int) -> Union[int, float]:
        """One reading of sensor `index` (VELTRA_ReadSensor): a float for
        datatype 1, else an int. The datatype comes from the sensor's
        information, asked for once per card. Raises VeltraError:
        VELTRA_INVALID_INDEX (270), VELTRA_UNEXPECTED_ERROR (257) for a
        datatype the library does not know."""
        index = _u32(index, "sensor index")
        datatype = self._datatype(index)
        value = R.SENSOR_VALUE()
        self._call("VELTRA_ReadSensor", index, byref(value))
        return float(value.doubleValue) if datatype == 1 else int(value.value32)

    def device_status(self, *, flags: int = 0) -> R.DeviceStatus:
        """The card's device-error status (VELTRA_GetDeviceStatus). Raises
        VeltraError: VELTRA_INVALID_FLAG (267)."""
        raw = R.DEVICE_STATUS()
        any_error = c_uint32()
        self._call("VELTRA_GetDeviceStatus", _u32(flags, "flags"), byref(raw), byref(any_error))
        return R.record(R.DeviceStatus, raw, anyError=bool(any_error.value))

    def clear_device_errors(self) -> None:
        """Clears the device-error status (VELTRA_ClearDeviceErrors). Raises
        VeltraError with the statuses of any request (see :class:`Card`)."""
        self._refuse_changes("VELTRA_ClearDeviceErrors")
        self._call("VELTRA_ClearDeviceErrors")


_UNITS = {0: "", 1: "C", 2: "V", 3: "RPM"}
_FIXED, _FLAGS = 1, 2


class Sensor:
    """A sensor in plain words, from its information: `name` (its
    description), `unit` ("C", "V", "RPM" or "" for a count), `nominal`,
    and the limits `low` and `high` in the unit (the driver gives them in
    thousandths; None when it gives none, and for a flags word, which is in
    alarm when any bit is set). :meth:`read` reads it; :meth:`state` judges
    a reading as the tool does."""

    def __init__(self, card: CardBoard, index: int, info: R.SensorInfo) -> None:
        self._card = card
        self.index = index
        self.info = info
        self.name: str = info.description
        self.unit: str = _UNITS.get(info.attribute3, f"unit {info.attribute3}")
        self.flags: bool = info.attribute1 == _FLAGS
        # The driver's nominal is 16.16 fixed point: good to four decimals.
        self.nominal: float = round(info.attribute2, 4)
        low = ctypes.c_int32(info.attribute4).value / 1000.0
        high = ctypes.c_int32(info.attribute5).value / 1000.0
        limited = not self.flags and (low != 0 or high != 0)
        self.low: Optional[float] = low if limited else None
        self.high: Optional[float] = high if limited else None

    def read(self) -> Union[int, float]:
        """One reading: a float for an analogue sensor, an int for a count
        or a flags word."""
        return self._card.read_sensor(self.index)

    def state(self, value: Optional[Union[int, float]] = None) -> str:
        """"ok", "LOW", "HIGH", "ALARM" (a flags word with a bit set), or "-"
        for a sensor without limits; of `value`, or of a reading now."""
        if value is None:
            value = self.read()
        if self.flags:
            return "ALARM" if value != 0 else "ok"
        if self.low is None or self.high is None:
            return "-"
        return "LOW" if value < self.low else "HIGH" if value > self.high else "ok"

    def __repr__(self) -> str:
        return f"<veltra.Sensor {self.index} {self.name!r} {self.unit}>"

