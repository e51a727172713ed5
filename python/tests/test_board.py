"""Information, configuration and board services of the default simulated
machine, with the values its README documents."""

from __future__ import annotations

import ctypes
import dataclasses
from pathlib import Path
from typing import Callable, List, Tuple

import pytest

import veltra
from conftest import SYNC_WORD, bitstream_file, raises

MiB = 1 << 20


def test_cards_are_found_by_serial() -> None:
    assert [summary.serial for summary in veltra.cards()] == [0x00A1B2C3, 0x00A1B2C4]
    with veltra.open(serial=0x00A1B2C4, read_only=True) as second:
        assert second.index == 1 and second.read_only
    with veltra.open(serial=0x00A1B2C3) as first:
        assert first.index == 0
    # A wrong serial or path is a card not found, as a wrong index is.
    with pytest.raises(veltra.DeviceNotFound) as missing:
        veltra.open(serial=0xDEADBEEF)
    assert missing.value.code == 261
    assert str(missing.value).startswith(
        "no card has serial 0xDEADBEEF (the cards: 0x00A1B2C3, 0x00A1B2C4): "
        "VELTRA_DEVICE_NOT_FOUND ("
    )
    # By device path, as the library opens it (letter case does not count).
    paths = [summary.path for summary in veltra.cards()]
    assert len(set(paths)) == 2
    assert all(p.endswith("#{4a8924e1-a143-44c2-8ec1-64ec73f90f96}") for p in paths)
    with veltra.open(path=paths[1].upper()) as second:
        assert second.index == 1
    with pytest.raises(veltra.DeviceNotFound, match="no card is at"):
        veltra.open(path="\\\\?\\root#nothing#0000")
    for wrong in ({}, {"index": 0, "serial": 0x00A1B2C3}, {"serial": 1, "path": paths[0]}):
        with pytest.raises(TypeError):
            veltra.open(**wrong)
    with pytest.raises(ValueError):
        veltra.open(serial=-1)


def test_the_card_in_plain_words(card: veltra.Card) -> None:
    assert card.identity == veltra.Identity(
        board_id=0x7038, revision=2, serial=0x00A1B2C3, pcie_width=8, pcie_generation=3,
        driver_version="2.1.3", library_version="1.4.16",
    )
    sensors = card.sensors()
    assert [(s.name, s.unit, s.nominal, s.low, s.high) for s in sensors] == [
        ("FPGA die temperature (C)", "C", 45.0, 0.0, 100.0),
        ("VCCINT supply voltage (V)", "V", 0.95, 0.9, 1.0),
        ("Fan speed (RPM)", "RPM", 4200.0, 1000.0, 10000.0),
        ("Alarm flags", "", 0.0, None, None),
    ]
    temperature, fan, alarms = sensors[0].read(), sensors[2].read(), sensors[3].read()
    assert isinstance(temperature, float) and 45.0 <= temperature <= 45.875
    assert isinstance(fan, int) and isinstance(alarms, int)
    assert [s.state() for s in sensors] == ["ok", "ok", "ok", "ok"]
    assert isinstance(card.read_sensor_value(2), float) and card.read_sensor_flags(3) == alarms
    with pytest.raises(TypeError):
        card.read_sensor_value(3)
    with pytest.raises(TypeError):
        card.read_sensor_flags(0)
    assert (sensors[0].state(120.0), sensors[1].state(0.5), sensors[3].state(4)) == (
        "HIGH", "LOW", "ALARM")
    assert card.clocks() == [100e6, card.clock_frequency(1)]
    assert card.fpgas() == [
        veltra.Fpga(0, "7vx690tffg1157", "7VX690T", "FFG1157", "-2", "I", False)
    ]
    # A Numonyx P30 of 64 MiB: 128 KiB blocks, four 32 KiB parameter blocks
    # at the top.
    (flash,) = card.flash()
    assert (flash.name, flash.size, flash.block_size, flash.bus_width) == (
        "Numonyx Axcell P30 (Top boot)", 64 << 20, 128 << 10, 16)
    assert flash.blocks == (
        veltra.BlockRun(0, 128 << 10, 511, False),
        veltra.BlockRun((64 << 20) - (128 << 10), 32 << 10, 4, True),
    )
    windows = [(w.index, w.kind, w.size, w.bus_address, w.local_address, w.prefetchable)
               for w in card.windows()]
    assert windows == [
        (0, "memory", 1 << 20, 0xF0000000, 0, True),
        (1, "card memory", 64 << 20, 0xF4000000, 0, True),
        (2, "doorbell", 4096, 0xF0100000, 0x80000000, False),
        (3, "memory", 256 << 10, 0xF0200000, 0x90000000, True),
    ]


def test_cards_and_their_records(card: veltra.Card) -> None:
    listed = veltra.cards()
    assert [c.index for c in listed] == [0, 1]
    board1 = listed[1].info
    assert (board1.cardValue2, board1.cardValue0, board1.cardValue3) == (0x8115, 3, 0x00A1B2C4)

    version = card.version_info()
    assert (version.apiMajor, version.apiMinor, version.apiBugfix) == (1, 4, 16)
    assert (version.driverMajor, version.driverMinor, version.driverBugfix) == (2, 1, 3)
    info = card.card_info_ex()
    assert (info.cardValue2, info.cardValue0, info.cardValue3) == (0x7038, 2, 0x00A1B2C3)
    assert (info.windowCount, info.cardValue7, info.cardValue10, info.cardValue11) == (4, 2, 8, 3)
    assert info.reserved1 == info.reserved12 == 0
    assert card.card_info().windowCount == 4

    fpga = card.fpga_info(0)
    assert (fpga.name, fpga.typeCode, fpga.family) == ("7vx690tffg1157", 260, 7)
    assert (fpga.deviceName, fpga.packageName, fpga.text1, fpga.text2) == (
        "7VX690T", "FFG1157", "-2", "I")
    assert fpga.packageCode & 0xFFFF == 1157
    bank = card.bank_info(1)
    assert (bank.bankValue1, bank.bankValue2, bank.bBankFlag) == (2 << 30, 2400, 1)
    assert bank.bankHalfSum == (bank.bankHalf0 + bank.bankHalf1) % 65536
    module = card.module_info(1)
    assert (module.moduleText1, module.moduleFixed, module.bModuleFlag) == (
        "QSFP28-100G-SR4", 36.25, 1)
    window = card.window(3).info()
    assert (window.windowValue0, window.windowValue2) == (256 * 1024, 0x90000000)
    assert [(b.index, b.key) for b in card.common_buffers()] == [(0, 0xCB000000), (1, 0xCB000001)]
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.fpga_info(1)
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.module_info(2)
    with pytest.raises(dataclasses.FrozenInstanceError):
        info.windowCount = 3  # type: ignore[misc]


def test_configuration_from_files_buffers_and_loaded_bitstreams(
    card: veltra.Card, card1: veltra.Card, tmp_path: Path
) -> None:
    data = b"\xff" * 32 + SYNC_WORD + bytes(range(256)) * 16
    good = tmp_path / "design.bit"
    good.write_bytes(bitstream_file("7vx690tffg1157", data))
    cut = tmp_path / "cut.bit"  # ends inside the part name's field
    cut.write_bytes(bitstream_file("7vx690tffg1157", data)[:50])
    short = tmp_path / "short.bit"  # ends 100 bytes before the data length it gives
    short.write_bytes(bitstream_file("7vx690tffg1157", data)[:-100])

    with veltra.load_bitstream(good) as loaded:
        assert (loaded.fpgaName, loaded.length) == ("7vx690tffg1157", len(data))
        whole = loaded.data
        assert whole == data and whole.readonly
        held = whole[:4]
        with pytest.raises(BufferError):
            loaded.close()  # a view of its data is still alive
        assert (loaded.closed, whole[32:36]) == (False, SYNC_WORD)  # the first view still works
        del held
        card.configure(loaded)
    assert loaded.closed
    with pytest.raises(ValueError):
        whole[0]  # released with the bitstream
    with veltra.load_bitstream(short) as partial:  # the 'e' length is not consulted
        assert partial.length == len(data) - 100 and partial.data == data[:-100]
    assert card.fpga_info(0).attribute3 == 1
    card.unconfigure(0)
    assert card.fpga_info(0).attribute3 == 0

    card.configure(str(good))
    assert card.fpga_info(0).attribute3 == 1
    with veltra.open_bridge(0) as bridge:  # a finished configuration raises the interrupt
        assert bridge.service_irq() is True
        assert bridge.service_irq() is False

    with raises(264, "VELTRA_FPGA_MISMATCH"):
        card1.configure(good)
    with veltra.load_bitstream(good) as loaded, raises(264, "VELTRA_FPGA_MISMATCH"):
        card1.configure(loaded)  # loaded first, checked all the same
    assert card1.fpga_info(0).attribute3 == 0
    # The part's long form, with the family prefix, dashes and grades, is
    # the same device and package; another package is not.
    card.unconfigure(0)
    for part, same in (("XC7VX690T-FFG1157-2-I", True), ("xc7vx690tffg1157-2", True),
                       ("7vx690tffg1761", False), ("xc7vx690t-ffg1157-2-e-x", False)):
        long_form = tmp_path / "long.bit"
        long_form.write_bytes(bitstream_file(part, data))
        with veltra.load_bitstream(long_form) as loaded:
            if same:
                card.configure(loaded)
                assert card.fpga_info(0).attribute3 == 1
                card.unconfigure(0)
            else:
                with raises(264, "VELTRA_FPGA_MISMATCH"):
                    card.configure(loaded)
        if same:
            card.configure(str(long_form))  # the library's own check agrees
            card.unconfigure(0)
        else:
            with raises(264, "VELTRA_FPGA_MISMATCH"):
                card.configure(str(long_form))
    with raises(262, "VELTRA_FILE_NOT_FOUND"):
        card.configure(tmp_path / "missing.bit")
    with raises(265, "VELTRA_INVALID_BITSTREAM"):
        veltra.load_bitstream(cut)
    with raises(263, "VELTRA_HARDWARE_ERROR"):
        card1.configure_data(bytearray(64))  # no sync word
    card1.configure_data(memoryview(data))

    # Paths are text, data goes through configure_data: nothing is taken for the other.
    with pytest.raises(ValueError, match="NUL"):
        card.configure(str(good) + "\0.txt")  # would be cut at the NUL
    with pytest.raises(ValueError, match="NUL"):
        veltra.load_bitstream(str(good) + "\0")
    for wrong in (bytes(good), str(good).encode(), bytearray(data)):
        with pytest.raises(TypeError):
            card.configure(wrong)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        veltra.load_bitstream(str(good).encode())  # type: ignore[arg-type]


def test_flash_behaves_as_nor_flash(card: veltra.Card, card1: veltra.Card) -> None:
    info = card.flash_info()
    assert (info.name, info.attribute1, info.attribute2, info.attribute3) == (
        "Numonyx Axcell P30 (Top boot)", 64 * MiB, 128 * 1024, 16)
    assert card1.flash_info().name == "Vendor 0x0020 Device 0x227E"
    top = card.flash_block_info(64 * MiB - 1)
    assert (top.attribute1, top.attribute2, top.attribute3 & 1) == (64 * MiB - 32 * 1024, 32 * 1024, 1)
    assert card.flash_block_info(0).attribute3 & 1 == 0

    block = 128 * 1024
    card.erase_flash(block, block)
    assert card.read_flash(block, 8) == b"\xff" * 8
    card.write_flash(block, b"\x0f\xf0\x55\xaa")
    card.write_flash(block, bytearray(b"\xff\x0f\xff\x0f"))  # programming clears bits only
    card.sync_flash()
    target = bytearray(4)
    card.read_flash_into(block, memoryview(target))
    assert target == b"\x0f\x00\x55\x0a"
    with raises(271, "VELTRA_INVALID_REGION"):
        card.erase_flash(block + 1, block)
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.flash_info(1)
    with raises(267, "VELTRA_INVALID_FLAG"):
        card.read_flash(0, 4, flags=1)


def test_vpd_clocks_sensors_and_device_status(card: veltra.Card) -> None:
    assert card.read_vpd(0, 35) == b"VPD1\nMODEL=VELTRA V690 Accelerator\n"
    card.write_vpd(8 * 1024 - 4, b"TAIL")
    assert card.read_vpd(8 * 1024 - 4, 4) == b"TAIL"
    with raises(271, "VELTRA_INVALID_REGION"):
        card.read_vpd(8 * 1024 - 2, 4)

    assert card.clock_frequency(0) == 100e6
    assert card.set_clock_frequency(1, 156_250_300.0) == 156_250_000.0
    assert card.clock_frequency(1) == 156_250_000.0
    with raises(285, "VELTRA_NOT_SUPPORTED"):
        card.set_clock_frequency(0, 50e6)
    with raises(268, "VELTRA_INVALID_FREQUENCY"):
        card.set_clock_frequency(1, 5e6)
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.clock_frequency(2)

    descriptions = [card.sensor_info(i).description for i in range(4)]
    assert descriptions == ["FPGA die temperature (C)", "VCCINT supply voltage (V)",
                            "Fan speed (RPM)", "Alarm flags"]
    temperature, fan = card.read_sensor(0), card.read_sensor(2)
    assert isinstance(temperature, float) and 45.0 <= temperature <= 45.875
    assert isinstance(fan, int) and 4200 <= fan <= 4260
    with raises(270, "VELTRA_INVALID_INDEX"):
        card.read_sensor(4)

    card.clear_device_errors()
    assert card.device_status() == veltra.DeviceStatus(0, 0, 0, (0, 0, 0), 0, 0, False)
    # A faulted local range sets the DMA word. The package refuses such a
    # range itself, so the request goes to the library straight.
    library = veltra._library.libraries.veltra()
    byte = ctypes.create_string_buffer(1)
    assert library.VELTRA_WriteDMA(card.handle, 0, 0, byte, 1, 64 * MiB) == 283
    status = card.device_status()
    assert (status.status2 & 1, status.anyError) == (1, True)
    card.clear_device_errors()
    assert card.device_status().anyError is False


def test_bridge_device() -> None:
    with veltra.open_bridge(0) as bridge0, veltra.open_bridge(1) as bridge1:
        assert bridge0.unique_id() == 0x56450000A1B2C342
        assert bridge1.unique_id() == 0x56450000A1B2C443
        assert bridge1.prod_test_info() == veltra.ProdTestInfo(
            20261108, 3, 1, 1, 0, 0x00010203, 0x5A5A0001)

        bridge0.schedule_iprog(1, 0x400000, flags=0x3, value=7)
        assert bridge0.iprog_status(1) == veltra.IprogStatus(1, 0x400000, 7)
        with pytest.raises(veltra.KestaError) as twice:
            bridge0.schedule_iprog(1, 0x400000)
        assert (twice.value.code, twice.value.message) == (
            529, "The device was not in the proper mode")
        bridge0.abort_iprog(1)
        assert bridge0.iprog_status(1).status == 2
        cases: List[Tuple[Callable[[], object], int]] = [
            (lambda: bridge0.schedule_iprog(0, 0x400002), 531),  # not 4-byte aligned
            (lambda: bridge0.schedule_iprog(0, 64 * MiB), 531),  # past the flash
            (lambda: bridge0.schedule_iprog(0, 0, flags=0x4), 520),
            (lambda: bridge0.iprog_status(2), 522),
            (lambda: bridge0.abort_iprog(0), 529),
        ]
        for call, code in cases:
            with pytest.raises(veltra.KestaError) as caught:
                call()
            assert caught.value.code == code
    assert bridge0.closed
    with pytest.raises(ValueError):
        bridge0.unique_id()
