"""Statuses become exceptions with the library's code, name and message."""

from __future__ import annotations

import pickle

import pytest

import veltra


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
    # The package's enumerations agree with the libraries' own tables.
    for member in veltra.Status:
        assert veltra.status_text(member, short=True) == "VELTRA_" + member.name
    for kesta_member in veltra.KestaStatus:
        assert veltra.kesta_status_text(kesta_member, short=True) == "KESTA_" + kesta_member.name


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
