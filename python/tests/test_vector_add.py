"""The example FPGA design (examples/vector_add_model.c) driven from Python
on the machine of vector_add.toml: configure from a .bit file, DMA the
inputs, program the registers, start the design by the doorbell and by a
register written through a mapping, wait for its notification, DMA the
result back. The machine is chosen when the library loads, so the design
runs in a process of its own."""

from __future__ import annotations

import os
import subprocess
import sys
from array import array
from pathlib import Path

import pytest

import veltra
from conftest import BUILD, PYTHON_FOLDER, SYNC_WORD, bitstream_file

COUNT = 65536
BYTES = COUNT * 4
PLACE_A, PLACE_B, PLACE_C = 0x000000, 0x100000, 0x200000
DOORBELL, REGISTERS = 2, 3  # the windows of vector_add.toml
# The register map of examples/vector_add.h.
REG_ID, REG_CONTROL, REG_STATUS, REG_NOTIFY = 0x00, 0x04, 0x08, 0x0C
REG_A, REG_B, REG_C, REG_COUNT, REG_RESULT, REG_DMA_IN = 0x10, 0x18, 0x20, 0x28, 0x2C, 0x30
VADD_ID = 0x56414444
STATUS_DONE = 0x1


def _machine() -> Path | None:
    paths = os.environ.get("VELTRA_LIBRARY_PATH", "").split(os.pathsep)
    folders = [Path(p).parent / "bin" for p in paths if p]
    for folder in folders + [BUILD / "bin"]:
        if (folder / "vector_add.toml").is_file() and (folder / "vector_add_model.so").is_file():
            return folder / "vector_add.toml"
    return None


def _check_result(card: veltra.Card, a: "array[int]", b: "array[int]") -> int:
    c = array("I", bytes(BYTES))
    card.read_dma_into(c, PLACE_C, channel=1)
    expected = [(x + y) & 0xFFFFFFFF for x, y in zip(a, b)]
    assert c.tolist() == expected
    return sum(expected) & 0xFFFFFFFF


def drive(bit_file: str) -> None:
    """Runs in the child process, on the vector adder's machine."""
    a = array("I", ((i * 2654435761) & 0xFFFFFFFF for i in range(COUNT)))
    b = array("I", ((~i ^ (i << 7)) & 0xFFFFFFFF for i in range(COUNT)))
    with veltra.open(0) as card:
        registers, doorbell = card.window(REGISTERS), card.window(DOORBELL)
        assert registers.read32(REG_ID) == 0
        card.configure(bit_file)
        assert registers.read32(REG_ID) == VADD_ID
        card.write_dma(a, PLACE_A)
        assert card.start_write_dma(b, PLACE_B, channel=1).wait(10) is True
        for offset, value in [(REG_A, PLACE_A), (REG_B, PLACE_B), (REG_C, PLACE_C),
                              (REG_COUNT, COUNT)]:
            registers.write(offset, value.to_bytes(8 if offset != REG_COUNT else 4, "little"))

        # 1. Started by the doorbell, whose notification says it is done.
        done = card.start_notification_wait(7)
        doorbell.write32(0, 7)
        assert done.wait(10)
        assert registers.read32(REG_RESULT) == _check_result(card, a, b)
        print("doorbell: C = A + B")

        # 2. Started by CONTROL written through a mapping; it raises NOTIFY.
        b = array("I", range(COUNT))
        card.write_dma(b, PLACE_B)
        with registers.map(0, 4096) as mapping:
            words = mapping.view.cast("I")
            done = card.start_notification_wait(8)
            words[REG_STATUS // 4] = 0
            words[REG_NOTIFY // 4] = 8
            words[REG_CONTROL // 4] = 1
            assert done.wait(10)
            assert words[REG_STATUS // 4] & STATUS_DONE
            assert words[REG_RESULT // 4] == _check_result(card, a, b)
            assert words[REG_DMA_IN // 4] == 3 * BYTES
            del words
        print("mapping: C = A + B")


def test_vector_add_design(tmp_path: Path) -> None:
    machine = _machine()
    if machine is None:
        pytest.skip("the example design is not built (vector_add.toml, vector_add_model.so)")
    bit_file = tmp_path / "vector_add.bit"
    bit_file.write_bytes(bitstream_file("7vx690tffg1157", b"\xff" * 16 + SYNC_WORD + b"vadd"))
    env = dict(os.environ, VELTRA_SIM_MACHINE=str(machine), VELTRA_SIM_STATE="private",
               PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), str(PYTHON_FOLDER)]))
    child = subprocess.run(
        [sys.executable, "-c", f"import test_vector_add; test_vector_add.drive({str(bit_file)!r})"],
        env=env, capture_output=True, text=True, timeout=300,
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["doorbell: C = A + B", "mapping: C = A + B"]
