"""The C layouts of the records, with the sizes and member offsets that the
headers write beside them, and the values the default machine fills in."""

from __future__ import annotations

import ctypes
from typing import Dict, Tuple

import veltra
from veltra import _records as R

MiB = 1 << 20

# Record: (size, {member: offset}), from veltra.h and kesta.h.
LAYOUTS: Dict[str, Tuple[int, Dict[str, int]]] = {
    "VERSION_INFO": (12, {"apiBugfix": 4, "driverBugfix": 10}),
    "CARD_INFO": (40, {"cardValue2": 8, "windowCount": 32, "cardValue9": 36}),
    "CARD_INFO_EX": (52, {"windowCount": 32, "cardValue10": 40, "reserved12": 48}),
    "BANK_INFO": (48, {"bankValue2": 16, "bankHalf0": 24, "bankHalfSum": 28, "bankValue3": 32,
                       "bBankFlag": 40}),
    "MODULE_INFOW": (536, {"moduleText1": 128, "moduleText3": 384, "moduleFixed": 512,
                           "moduleValue0": 520, "bModuleFlag": 528}),
    "WINDOW_INFO": (40, {"windowValue1": 8, "windowValue3": 24, "windowValue4": 32}),
    "FPGA_INFOW": (184, {"typeCode": 64, "packageCode": 76, "deviceName": 80, "packageName": 112,
                         "attribute2": 144, "text1": 148, "text2": 164, "attribute3": 180}),
    "BITSTREAMW": (68, {"length": 64}),
    "FLASH_INFOW": (88, {"attribute1": 64, "attribute3": 80}),
    "FLASH_BLOCK_INFO": (24, {"attribute2": 8, "attribute3": 16}),
    "SENSOR_INFOW": (88, {"attribute1": 56, "attribute2": 64, "attribute3": 72,
                          "attribute5": 80}),
    "SENSOR_VALUE": (8, {"value32": 0, "doubleValue": 0}),
    "DEVICE_STATUS": (32, {"status3": 8, "reserved": 12, "status4": 24, "status5": 28}),
    "PROD_TEST_INFO": (16, {"testByte0": 4, "reserved": 7, "testValue1": 8, "testValue2": 12}),
}


def test_layouts_match_the_headers() -> None:
    for name, (size, offsets) in LAYOUTS.items():
        structure = getattr(R, name)
        assert ctypes.sizeof(structure) == size, name
        assert {member: getattr(structure, member).offset for member in offsets} == offsets, name


def test_values_the_default_machine_documents(card: veltra.Card) -> None:
    window = card.window(1).info()  # 64 MiB of card memory, local base 0
    assert (window.windowValue0, window.windowValue1, window.windowValue2) == (
        64 * MiB, 0xF4000000, 0)
    assert window.windowValue3 & 0b0110 == 0b0010  # card memory, not the doorbell
    assert card.window(0).info().windowValue1 == 0xF0000000

    module = card.module_info(0)
    assert (module.moduleText1, module.moduleFixed, module.bModuleFlag) == (
        "QSFP28-100G-SR4", 35.5, 1)
    assert module.moduleFixed * 65536 == 0x00238000  # 35.5 C in 16.16 fixed point

    sensor = card.sensor_info(0)
    assert (sensor.description, sensor.attribute1, sensor.attribute3) == (
        "FPGA die temperature (C)", 1, 1)  # datatype 1, unit degrees Celsius
    assert [card.sensor_info(i).attribute3 for i in (1, 2)] == [2, 3]  # volts, RPM
