"""What the exporter writes: valid for promtool and the official parser,
equal to what the library reports, complete in every file it writes, and
in time when a card does not answer."""

from __future__ import annotations

import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable

import pytest
from prometheus_client.parser import text_string_to_metric_families

from conftest import TOOL, TREE, Exporter, Machine, get, system_path, wait_for

# Every family the exporter writes, with its type.
FAMILIES = {
    "veltra_card_info": "gauge",
    "veltra_card_up": "gauge",
    "veltra_pcie_link_width": "gauge",
    "veltra_pcie_link_generation": "gauge",
    "veltra_fpga_configured": "gauge",
    "veltra_sensor_value": "gauge",
    "veltra_sensor_limit_low": "gauge",
    "veltra_sensor_limit_high": "gauge",
    "veltra_sensor_alarm": "gauge",
    "veltra_clock_frequency_hertz": "gauge",
    "veltra_device_status": "gauge",
    "veltra_device_error": "gauge",
    "veltra_flash_size_bytes": "gauge",
    "veltra_card_memory_bytes": "gauge",
    "veltra_dma_channels": "gauge",
    "veltra_scrape_duration_seconds": "gauge",
    "veltra_scrape_errors": "counter",  # the parser names a counter without _total
    "veltra_exporter_build_info": "gauge",
}

ALARM_AND_REMOVED = """
[[fault]]
card = 0
kind = "sensor-alarm"
sensor = 0
[[fault]]
card = 1
kind = "removed"
"""


def samples(exposition: str) -> dict[str, list[tuple[dict[str, str], float]]]:
    found: dict[str, list[tuple[dict[str, str], float]]] = {}
    for family in text_string_to_metric_families(exposition):
        for sample in family.samples:
            found.setdefault(sample.name, []).append((sample.labels, sample.value))
    return found


def value(found: dict[str, Any], name: str, **labels: str) -> float:
    matching = [v for l, v in found.get(name, []) if all(l.get(k) == w for k, w in labels.items())]
    assert len(matching) == 1, f"{name}{labels}: {matching}"
    return float(matching[0])


def promtool_check(exposition: str) -> None:
    done = subprocess.run(["promtool", "check", "metrics"], input=exposition, text=True,
                          capture_output=True, timeout=60)
    assert (done.returncode, done.stdout + done.stderr) == (0, ""), exposition


def test_promtool_accepts_every_machine(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    promtool_check(machine.tool("metrics"))
    example = Machine(machine.folder / "example", TREE / "sim" / "machines" / "example.toml")
    (machine.folder / "example").mkdir()
    exposition = example.tool("metrics")
    assert 'serial="0x00C0FFEE"' in exposition
    promtool_check(exposition)

    # A removed card, a sensor alarm and the device error it sets, as a
    # running exporter reports them.
    exporter = exporters()
    before = samples(exporter.scrape())
    assert value(before, "veltra_card_up", card="1", serial="0x00A1B2C4") == 1
    machine.faults(ALARM_AND_REMOVED)
    exposition = exporter.scrape()
    promtool_check(exposition)
    after = samples(exposition)
    assert value(after, "veltra_card_up", serial="0x00A1B2C4") == 0
    assert value(after, "veltra_card_up", serial="0x00A1B2C3") == 1
    assert value(after, "veltra_sensor_alarm", serial="0x00A1B2C3", sensor="0") == 1
    assert value(after, "veltra_sensor_alarm", serial="0x00A1B2C3", sensor="1") == 0
    assert value(after, "veltra_device_error", serial="0x00A1B2C3", kind="sensor") == 1
    assert value(after, "veltra_device_error", serial="0x00A1B2C3", kind="dma") == 0
    # The sensor reads a tenth over its upper limit of 100 C.
    assert value(after, "veltra_sensor_value", serial="0x00A1B2C3", sensor="0") == 110
    assert not [l for l, _ in after.get("veltra_sensor_value", []) if l["serial"] == "0x00A1B2C4"]

    # Back, the card is read again (its handle is opened anew).
    machine.tool("sim", "clear-faults", "1")
    again = samples(exporter.scrape())
    assert value(again, "veltra_card_up", serial="0x00A1B2C4") == 1
    assert value(again, "veltra_pcie_link_width", serial="0x00A1B2C4") == 8


def test_values_are_the_library_s(machine: Machine) -> None:
    exposition = machine.tool("metrics")
    families = {f.name: f for f in text_string_to_metric_families(exposition)}
    assert {name: f.type for name, f in families.items()} == FAMILIES
    assert all(f.documentation for f in families.values())
    found = samples(exposition)
    assert value(found, "veltra_exporter_build_info") == 1

    for card in ("0", "1"):
        info = machine.json("info", "-c", card)
        identity = info["identity"]
        serial = identity["serial"]
        key = {"card": card, "serial": serial}
        labels = [l for l, _ in found["veltra_card_info"] if l["serial"] == serial][0]
        assert labels == {**key, "board_id": f"0x{identity['boardId']:04X}",
                          "revision": str(identity["revision"]),
                          "driver_version": info["version"]["driver"],
                          "library_version": info["version"]["library"]}
        assert value(found, "veltra_card_up", **key) == 1
        assert value(found, "veltra_pcie_link_width", **key) == identity["pcie"]["width"]
        assert value(found, "veltra_pcie_link_generation", **key) == identity["pcie"]["generation"]
        assert value(found, "veltra_dma_channels", **key) == info["cardInfo"]["cardValue7"]
        for fpga in info["fpgas"]:
            assert value(found, "veltra_fpga_configured", **key, fpga=str(fpga["index"]),
                         part=fpga["name"]) == (1 if fpga["attribute3"] else 0)
        for chip in info["flash"]:
            assert value(found, "veltra_flash_size_bytes", **key,
                         flash=str(chip["index"])) == chip["attribute1"]
        for clock in info["clocks"]:
            assert value(found, "veltra_clock_frequency_hertz", **key,
                         clock=str(clock["index"])) == clock["frequency"]
        for word, name in enumerate(["configuration", "dma", "flash", "bus", "sensor"]):
            status = info["deviceStatus"][f"status{word + 1}"]
            assert value(found, "veltra_device_status", **key, word=name) == status
            assert value(found, "veltra_device_error", **key, kind=name) == status & 1
        units = {"C": "celsius", "V": "volts", "RPM": "rpm", "": ""}
        for sensor in info["sensors"]:
            labels = dict(key, sensor=str(sensor["index"]), description=sensor["description"],
                          unit=units[sensor["unit"]])
            reading = value(found, "veltra_sensor_value", **labels)
            # Within the sensors' noise (a few thousandths of their nominal).
            assert reading == pytest.approx(sensor["value"], rel=0.02, abs=0.01)
            if sensor["limits"] is not None:
                assert value(found, "veltra_sensor_limit_low", **labels) == sensor["limits"]["low"]
                assert value(found, "veltra_sensor_limit_high", **labels) == sensor["limits"]["high"]
            assert value(found, "veltra_sensor_alarm", **labels) == 0

    # The default machine's first card, written out.
    assert value(found, "veltra_card_memory_bytes", serial="0x00A1B2C3") == 64 * 2**20
    assert value(found, "veltra_flash_size_bytes", serial="0x00A1B2C3") == 64 * 2**20
    assert value(found, "veltra_sensor_limit_high", serial="0x00A1B2C3", unit="volts") == 1


def test_a_textfile_is_whole_at_every_moment(machine: Machine) -> None:
    folder = machine.folder / "textfile"
    folder.mkdir()
    process = subprocess.Popen(
        TOOL + ["exporter", "--textfile", system_path(folder), "--interval", "0.05"],
        env=machine.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        path = folder / "veltra.prom"
        wait_for("the first file", path.exists, 60)
        reads, versions = 0, set()
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            text = path.read_text()
            reads += 1
            assert text.startswith("# HELP veltra_card_info ")
            assert text.endswith('veltra_exporter_build_info{version="' +
                                 text.rsplit('version="', 1)[1])
            assert text.count("veltra_card_up{") == 2
            versions.add(text)
        assert reads > 100 and len(versions) > 5, (reads, len(versions))
    finally:
        process.terminate()
        process.wait(timeout=20)
    # Nothing else a textfile collector would read: each write renamed its
    # temporary file over the last.
    assert [p.name for p in folder.iterdir() if p.suffix == ".prom"] == ["veltra.prom"]
    with pytest.raises(subprocess.CalledProcessError):
        subprocess.run(TOOL + ["exporter", "--interval", "1"], env=machine.env, check=True,
                       capture_output=True, timeout=60)


def test_a_card_that_does_not_answer(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    exporter = exporters("--timeout", "0.5")
    exporter.scrape()
    # Each request of card 0 takes a second: its reading cannot end in time.
    machine.faults('[[fault]]\ncard = 0\nkind = "slow"\nlatency_us = 1000000\n')
    start = time.monotonic()
    found = samples(exporter.scrape())
    assert time.monotonic() - start < 3
    assert value(found, "veltra_card_up", serial="0x00A1B2C3") == 0
    assert value(found, "veltra_card_up", serial="0x00A1B2C4") == 1
    assert value(found, "veltra_scrape_errors_total", serial="0x00A1B2C3", status="timeout") == 1
    assert value(found, "veltra_sensor_alarm", serial="0x00A1B2C4", sensor="0") == 0
    machine.tool("sim", "clear-faults", "0")


def test_scrapes_at_once_share_one_reading(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    trace = machine.folder / "trace.log"
    exporter = exporters(trace=trace)
    exporter.scrape()
    # A reading of card 0 now takes about a second (25 ms a request).
    machine.faults('[[fault]]\ncard = 0\nkind = "slow"\nlatency_us = 25000\n')
    before = trace.read_text().count("card 0 VELTRA READ_SENSOR")
    results: list[str] = []
    start = threading.Barrier(4)

    def scrape() -> None:
        start.wait()
        results.append(exporter.scrape())

    threads = [threading.Thread(target=scrape) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    machine.tool("sim", "clear-faults", "0")
    assert len(results) == 4
    for result in results:
        found = samples(result)
        assert value(found, "veltra_card_up", serial="0x00A1B2C3") == 1
        assert value(found, "veltra_card_up", serial="0x00A1B2C4") == 1
    # The default card's four sensors were read once for the four scrapes.
    assert trace.read_text().count("card 0 VELTRA READ_SENSOR") - before == 4


def test_the_page_and_a_port_already_taken(machine: Machine,
                                           exporters: Callable[..., Exporter]) -> None:
    exporter = exporters()
    assert '<a href="/metrics">' in get(exporter.url.replace("/metrics", "/"))
    taken = subprocess.run(TOOL + ["exporter", "--listen", exporter.address], env=machine.env,
                           capture_output=True, text=True, timeout=60)
    assert taken.returncode == 1
    assert taken.stderr.startswith(f"veltra: cannot listen on {exporter.address}: "), taken.stderr
