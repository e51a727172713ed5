"""Statuses become exceptions with the library's code, name and message."""

from __future__ import annotations

import pickle
from typing import Any

import pytest

import veltra

# The status codes of veltra.h and kesta.h, without their prefixes.
VELTRA_CODES = {
    256: "INTERNAL_ERROR", 257: "UNEXPECTED_ERROR", 258: "BAD_DRIVER", 259: "NO_MEMORY",
    260: "ACCESS_DENIED", 261: "DEVICE_NOT_FOUND", 262: "FILE_NOT_FOUND",
    263: "HARDWARE_ERROR", 264: "FPGA_MISMATCH", 265: "INVALID_BITSTREAM",
    266: "INVALID_BUFFER", 267: "INVALID_FLAG", 268: "INVALID_FREQUENCY",
    269: "INVALID_HANDLE", 270: "INVALID_INDEX", 271: "INVALID_REGION", 272: "NULL_POINTER",
    273: "BUSY", 274: "CANCEL_FAILED", 275: "CANCELLED", 276: "RESOURCE_LIMIT",
    277: "REGION_TOO_LARGE", 278: "MUST_WAIT", 279: "NOT_OWNER", 280: "PENDING",
    281: "NONBLOCK_IDLE", 282: "INVALID_BUFFER_HANDLE", 283: "INVALID_LOCAL_REGION",
    284: "DATATYPE_MISMATCH", 285: "NOT_SUPPORTED",
}
KESTA_CODES = {
    512: "INTERNAL_ERROR", 513: "UNEXPECTED_ERROR", 514: "BAD_DRIVER", 515: "NO_MEMORY",
    516: "ACCESS_DENIED", 517: "DEVICE_NOT_FOUND", 518: "HARDWARE_ERROR",
    519: "INVALID_BUFFER", 520: "INVALID_FLAG", 521: "INVALID_HANDLE", 522: "INVALID_INDEX",
    523: "INVALID_REGION", 524: "NULL_POINTER", 525: "CANCELLED", 526: "RESOURCE_LIMIT",
    527: "REGION_TOO_LARGE", 528: "DATATYPE_MISMATCH", 529: "WRONG_MODE",
    530: "NOT_SUPPORTED", 531: "INVALID_PARAMETER",
}


def test_bad_card_index_raises_device_not_found() -> None:
    with pytest.raises(veltra.VeltraError) as caught:
        veltra.open(7)
    error = caught.value
    assert error.code == 261
    assert error.status is veltra.Status.DEVICE_NOT_FOUND
    assert error.name == "VELTRA_DEVICE_NOT_FOUND"
    assert error.message == "Failed to open the device with specified CardID"
    assert str(error) == (
        "VELTRA_Open: VELTRA_DEVICE_NOT_FOUND (Failed to open the device with specified CardID)"
    )
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.code, copy.name, copy.message) == (error.code, error.name, error.message)


def test_common_statuses_have_their_own_exceptions_named_by_the_package() -> None:
    with pytest.raises(veltra.DeviceNotFound) as caught:
        veltra.open(7)
    assert isinstance(caught.value, veltra.VeltraError) and caught.value.code == 261
    assert "veltra.DeviceNotFound" in repr(type(caught.value))
    kinds = {
        260: veltra.AccessDenied, 261: veltra.DeviceNotFound, 263: veltra.HardwareError,
        264: veltra.FpgaMismatch, 265: veltra.InvalidBitstream, 271: veltra.InvalidRegion,
        283: veltra.InvalidRegion, 273: veltra.Busy, 275: veltra.Cancelled,
        285: veltra.NotSupported,
    }
    for code, kind in kinds.items():
        error = veltra.VeltraError.from_code(code, "VELTRA_Call")
        assert type(error) is kind and error.name == "VELTRA_" + VELTRA_CODES[code]
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is kind and str(again) == str(error)
    assert type(veltra.VeltraError.from_code(270)) is veltra.VeltraError
    for kind in (veltra.Error, veltra.VeltraError, veltra.KestaError, veltra.Cancelled):
        assert kind.__module__ == "veltra"


def test_bad_bridge_index_raises_kesta_error() -> None:
    with pytest.raises(veltra.KestaError) as caught:
        veltra.open_bridge(7)
    assert caught.value.code == 517
    assert caught.value.name == "KESTA_DEVICE_NOT_FOUND"
    assert caught.value.message == "Failed to open the device with specified CardID"


def test_open_flags_the_driver_refuses() -> None:
    # Bit 0 sends the flags to the driver, which takes bit 0 alone.
    with pytest.raises(veltra.VeltraError) as caught:
        veltra.open(0, flags=0x3)
    assert (caught.value.code, caught.value.name, caught.value.message) == (
        267, "VELTRA_INVALID_FLAG", "A flag was invalid or not recognized")
    with pytest.raises(veltra.KestaError) as kesta:
        veltra.open_bridge(0, flags=0x3)
    assert (kesta.value.code, kesta.value.name) == (520, "KESTA_INVALID_FLAG")
    with veltra.open(0, flags=0x1) as card:
        assert card.card_info().windowCount == 4


def test_status_texts_of_the_headers() -> None:
    # Name and message as the headers write them beside each code.
    assert veltra.status_text(269, short=True) == "VELTRA_INVALID_HANDLE"
    assert veltra.status_text(269) == "The device handle was invalid"
    assert veltra.status_text(280) == "The non-blocking operation is now in progress"
    assert veltra.status_text(285) == "The hardware does not support the requested operation"
    assert veltra.status_text(999) == "Unknown status code 999(0x3e7)"
    assert veltra.kesta_status_text(529, short=True) == "KESTA_WRONG_MODE"
    assert veltra.kesta_status_text(531) == "A parameter had an illegal value"
    # Every code of the headers: the library's name and the package's enumeration.
    for code, name in VELTRA_CODES.items():
        assert veltra.status_text(code, short=True) == "VELTRA_" + name
        assert veltra.Status(code).name == name
    for code, name in KESTA_CODES.items():
        assert veltra.kesta_status_text(code, short=True) == "KESTA_" + name
        assert veltra.KestaStatus(code).name == name
    assert len(veltra.Status) == len(VELTRA_CODES) + 1  # and VELTRA_SUCCESS, 0
    assert len(veltra.KestaStatus) == len(KESTA_CODES) + 1


def test_closed_objects_and_bad_arguments_are_refused_before_any_call(
    card: veltra.Card,
) -> None:
    with pytest.raises(ValueError):
        card.read_dma(-1, 4)
    with pytest.raises(ValueError):
        card.window(1 << 32)
    card.close()
    card.close()  # a second close does nothing
    with pytest.raises(ValueError, match="closed"):
        card.card_info()


def test_a_close_on_another_thread_waits_for_calls_in_flight() -> None:
    # A call held inside the library (by a gate in front of it) while
    # another thread closes the card: the close waits for it, and the call
    # ends as it would have, never with a handle closed under it.
    import threading

    class Gate:
        def __init__(self, library: Any) -> None:
            self.library = library
            self.entered = threading.Event()
            self.go = threading.Event()

        def __getattr__(self, name: str) -> Any:
            function = getattr(self.library, name)
            if name != "VELTRA_ReadSensor":
                return function

            def gated(*arguments: Any) -> Any:
                self.entered.set()
                self.go.wait(10)
                return function(*arguments)

            return gated

    card = veltra.open(0)
    gate = Gate(card._state.library)
    card._state.library = gate
    outcome: list[object] = []
    caller = threading.Thread(target=lambda: outcome.append(card.read_sensor(0)))
    caller.start()
    assert gate.entered.wait(10)
    closer = threading.Thread(target=card.close)
    closer.start()
    closer.join(0.3)
    assert closer.is_alive(), "the close did not wait for the call in flight"
    with pytest.raises(ValueError):
        card.read_sensor(0)  # no new call once the close has begun
    gate.go.set()
    closer.join(10)
    caller.join(10)
    assert card.closed and len(outcome) == 1 and isinstance(outcome[0], float)
