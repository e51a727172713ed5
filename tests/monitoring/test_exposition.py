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

from conftest import (ALARM_AND_REMOVED, TOOL, TREE, Exporter, Machine, get, stop, system_path,
                      wait_for)

# Every family the exporter writes, with its type.
FAMILIES = {
    "veltra_card_info": "gauge",
    "veltra_card_up": "gauge",
    "veltra_card_down_reason": "gauge",
    "veltra_cards": "gauge",
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
    "veltra_flash_update_pending": "gauge",
    "veltra_flash_size_bytes": "gauge",
    "veltra_card_memory_bytes": "gauge",
    "veltra_dma_channels": "gauge",
    "veltra_scrape_duration_seconds": "gauge",
    "veltra_scrape_errors": "counter",  # the parser names a counter without _total
    "veltra_exporter_build_info": "gauge",
}

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
    assert value(before, "veltra_card_up", serial="0x00A1B2C4") == 1
    assert value(before, "veltra_cards") == 2
    machine.faults(ALARM_AND_REMOVED)
    exposition = exporter.scrape()
    promtool_check(exposition)
    after = samples(exposition)
    assert value(after, "veltra_card_up", serial="0x00A1B2C4") == 0
    assert value(after, "veltra_card_up", serial="0x00A1B2C3") == 1
    assert value(after, "veltra_cards") == 1
    # The card gone keeps its identity as last read, and says why it is down.
    assert value(after, "veltra_card_info", card="1", serial="0x00A1B2C4", board_id="0x8115") == 1
    assert [(l, v) for l, v in after["veltra_card_down_reason"]] == [
        ({"serial": "0x00A1B2C4", "reason": "went away"}, 1.0)]
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


# The default machine's two cards, as its description gives them.
DEFAULT_CARDS = [
    {"serial": "0x00A1B2C3", "board_id": "0x7038", "revision": "2", "part": "7vx690tffg1157",
     "flash": 64 * 2**20, "memory": 64 * 2**20},
    {"serial": "0x00A1B2C4", "board_id": "0x8115", "revision": "3", "part": "ku115flvb2104",
     "flash": 32 * 2**20, "memory": 32 * 2**20},
]
# Each card's sensors: description, unit label, nominal reading, limits.
DEFAULT_SENSORS = [
    ("FPGA die temperature (C)", "celsius", 45.0, (0.0, 100.0)),
    ("VCCINT supply voltage (V)", "volts", 0.95, (0.9, 1.0)),
    ("Fan speed (RPM)", "rpm", 4200.0, (1000.0, 10000.0)),
    ("Alarm flags", "", 0.0, None),
]


def test_values_of_the_default_machine(machine: Machine) -> None:
    exposition = machine.tool("metrics")
    families = {f.name: f for f in text_string_to_metric_families(exposition)}
    assert {name: f.type for name, f in families.items()} == FAMILIES
    assert all(f.documentation for f in families.values())
    found = samples(exposition)
    assert value(found, "veltra_exporter_build_info") == 1

    assert value(found, "veltra_cards") == 2
    assert "veltra_card_down_reason" not in found
    # A card's series are known by its serial; its index is in
    # veltra_card_info alone.
    assert [l for l, _ in found["veltra_card_up"]] == [
        {"serial": "0x00A1B2C3"}, {"serial": "0x00A1B2C4"}]
    for index, expected in enumerate(DEFAULT_CARDS):
        key = {"serial": expected["serial"]}
        labels = [l for l, _ in found["veltra_card_info"] if l["serial"] == expected["serial"]]
        assert labels == [{"card": str(index), **key, "board_id": expected["board_id"],
                           "revision": expected["revision"], "driver_version": "2.1.3",
                           "library_version": "1.4.16"}]
        assert value(found, "veltra_card_up", **key) == 1
        assert value(found, "veltra_pcie_link_width", **key) == 8
        assert value(found, "veltra_pcie_link_generation", **key) == 3
        assert value(found, "veltra_dma_channels", **key) == 2
        assert value(found, "veltra_fpga_configured", **key, fpga="0", part=expected["part"]) == 0
        assert value(found, "veltra_flash_size_bytes", **key, flash="0") == expected["flash"]
        assert value(found, "veltra_card_memory_bytes", **key) == expected["memory"]
        assert value(found, "veltra_flash_update_pending", **key) == 0
        assert value(found, "veltra_clock_frequency_hertz", **key, clock="0") == 100e6
        assert value(found, "veltra_clock_frequency_hertz", **key, clock="1") == 250e6
        for word in ["configuration", "dma", "flash", "bus", "sensor"]:
            assert value(found, "veltra_device_status", **key, word=word) == 0
            assert value(found, "veltra_device_error", **key, kind=word) == 0
        for sensor, (description, unit, nominal, limits) in enumerate(DEFAULT_SENSORS):
            labels = dict(key, sensor=str(sensor), description=description, unit=unit)
            # Within the sensors' noise.
            assert value(found, "veltra_sensor_value", **labels) == pytest.approx(nominal, rel=0.03)
            assert value(found, "veltra_sensor_alarm", **labels) == 0
            if limits is None:
                assert not [l for l, _ in found["veltra_sensor_limit_low"] if l == labels]
            else:
                assert value(found, "veltra_sensor_limit_low", **labels) == limits[0]
                assert value(found, "veltra_sensor_limit_high", **labels) == limits[1]
        assert value(found, "veltra_scrape_duration_seconds", **key) < 5


def test_values_follow_the_cards(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    """What changes on a card shows at the next scrape of a running
    exporter, as the library reports it."""
    exporter = exporters()
    exporter.scrape()
    machine.tool("sim", "bitstream", system_path(machine.folder / "design.bit"), "--part",
                 "ku115flvb2104", "--size", "64K")
    machine.tool("program", "-c", "1", system_path(machine.folder / "design.bit"))
    machine.tool("clock", "set", "-c", "1", "--clock", "1", "156.25MHz")
    machine.faults('[[fault]]\ncard = 1\nkind = "sensor-alarm"\nsensor = 2\n')
    found = samples(exporter.scrape())
    info = machine.json("info", "-c", "1")
    key = {"serial": "0x00A1B2C4"}
    assert value(found, "veltra_fpga_configured", **key) == 1
    assert value(found, "veltra_clock_frequency_hertz", **key, clock="1") == 156.25e6
    assert info["clocks"][1]["frequency"] == 156.25e6
    # The alarm: a tenth over the fan's upper limit, the sensor word's bit 0
    # and bit 1 + 2, and the flags sensor reading that word.
    assert value(found, "veltra_sensor_value", **key, sensor="2") == 11000
    assert value(found, "veltra_sensor_alarm", **key, sensor="2") == 1
    assert value(found, "veltra_sensor_alarm", **key, sensor="3") == 1
    assert value(found, "veltra_sensor_alarm", **key, sensor="0") == 0
    assert value(found, "veltra_device_status", **key, word="sensor") == 0b1001
    assert info["deviceStatus"]["status5"] == 0b1001
    assert value(found, "veltra_sensor_value", **key, sensor="3") == 0b1001
    assert value(found, "veltra_device_error", **key, kind="sensor") == 1
    assert value(found, "veltra_sensor_alarm", serial="0x00A1B2C3", sensor="2") == 0


def test_cards_chosen_and_labels_escaped(machine: Machine) -> None:
    only = samples(machine.tool("metrics", "-c", "1"))
    assert [l for l, _ in only["veltra_card_up"]] == [{"serial": "0x00A1B2C4"}]
    by_serial = samples(machine.tool("metrics", "-c", "serial:0x00A1B2C3"))
    assert [l["serial"] for l, _ in by_serial["veltra_card_up"]] == ["0x00A1B2C3"]
    path = machine.json("list")["cards"][1]["path"]
    by_path = samples(machine.tool("metrics", "-c", path))
    assert [l["serial"] for l, _ in by_path["veltra_card_up"]] == ["0x00A1B2C4"]
    # A serial no card has: down, once however often it is named.
    missing = machine.tool("metrics", "-c", "serial:0x12345678", "-c", "serial:0x12345678",
                           "-c", "0")
    promtool_check(missing)
    assert samples(missing)["veltra_card_up"] == [
        ({"serial": "0x00A1B2C3"}, 1.0), ({"serial": "0x12345678"}, 0.0)]
    assert samples(missing)["veltra_card_down_reason"] == [
        ({"serial": "0x12345678", "reason": "not found"}, 1.0)]
    # No card that answers is a failure, as for veltra list; the
    # exposition is still written.
    alone = subprocess.run(TOOL + ["metrics", "-c", "serial:0x12345678"], env=machine.env,
                           capture_output=True, text=True, timeout=60)
    assert alone.returncode == 1 and "veltra_card_up{serial=\"0x12345678\"} 0" in alone.stdout
    assert alone.stderr == "veltra: no card answered\n"
    machine.faults('[[fault]]\ncard = 0\nkind = "removed"\n[[fault]]\ncard = 1\nkind = "removed"\n')
    none = subprocess.run(TOOL + ["metrics"], env=machine.env, capture_output=True, text=True,
                          timeout=60)
    listed = subprocess.run(TOOL + ["list"], env=machine.env, capture_output=True, text=True,
                            timeout=60)
    assert (none.returncode, listed.returncode) == (1, 1)
    assert none.stderr == listed.stderr and none.stderr.startswith("veltra: no cards: ")
    assert "veltra_cards 0" in none.stdout
    machine.tool("sim", "clear-faults")

    # A sensor whose description has a quote and a backslash.
    description = machine.folder / "quoted.toml"
    description.write_text(
        '[[card]]\nserial = 0x00000042\n[[card.fpga]]\ntype = 260\n'
        '[[card.sensor]]\ndescription = \'Inlet "A"\\B (C)\'\ndatatype = "fixed"\n'
        'unit = "celsius"\nnominal = 30.0\nlimits = [0, 70]\nreading = { constant = 31.5 }\n')
    quoted = Machine(machine.folder / "quoted", description)
    (machine.folder / "quoted").mkdir()
    exposition = quoted.tool("metrics")
    assert 'description="Inlet \\"A\\"\\\\B (C)"' in exposition
    promtool_check(exposition)
    assert value(samples(exposition), "veltra_sensor_value", serial="0x00000042",
                 description='Inlet "A"\\B (C)', unit="celsius") == 31.5


def test_the_help_lists_every_metric(machine: Machine) -> None:
    help_text = machine.tool("metrics", "--help")
    for name, kind in FAMILIES.items():
        name = name + "_total" if kind == "counter" else name
        assert f"{name} ({kind})" in help_text, name


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
        stop(process)
    # Said once at the start, where and how often.
    assert process.stderr is not None
    said = process.stderr.read().decode().replace("\r\n", "\n")
    assert said.startswith(f"veltra exporter: writing {system_path(folder / 'veltra.prom')} every "
                           "0.05 s\n"), said
    # Nothing else a textfile collector would read: each write renamed its
    # temporary file over the last.
    assert [p.name for p in folder.iterdir() if p.suffix == ".prom"] == ["veltra.prom"]
    with pytest.raises(subprocess.CalledProcessError):
        subprocess.run(TOOL + ["exporter", "--interval", "1"], env=machine.env, check=True,
                       capture_output=True, timeout=60)
    # A folder that is not there is an error at the start, not a retry.
    absent = system_path(machine.folder / "absent")
    done = subprocess.run(TOOL + ["exporter", "--textfile", absent], env=machine.env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.startswith(f"veltra: the folder {absent} cannot be used: "), done.stderr


def test_a_textfile_that_cannot_be_written_is_tried_again(machine: Machine) -> None:
    folder = machine.folder / "blocked"
    (folder / "veltra.prom").mkdir(parents=True)  # nothing can be renamed over it
    log = machine.folder / "blocked.log"
    with open(log, "w") as errors:
        process = subprocess.Popen(
            TOOL + ["exporter", "--textfile", system_path(folder), "--interval", "0.1"],
            env=machine.env, stdout=subprocess.DEVNULL, stderr=errors)
    try:
        wait_for("the failure said", lambda: "trying again" in log.read_text(), 60)
        (folder / "veltra.prom").rmdir()
        wait_for("the file written", lambda: (folder / "veltra.prom").is_file(), 60)
        assert process.poll() is None
        said = log.read_text()
        assert said.count("trying again every 0.1 s") == 1, said
        wait_for("the recovery said", lambda: "is written again" in log.read_text(), 60)
    finally:
        stop(process)


def test_a_card_that_does_not_answer(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    exporter = exporters("--timeout", "0.5")
    exporter.scrape()
    # Each request of card 0 takes a second: its reading cannot end in time.
    machine.faults('[[fault]]\ncard = 0\nkind = "slow"\nlatency_us = 1000000\n')
    start = time.monotonic()
    found = samples(exporter.scrape())
    assert time.monotonic() - start < 3
    assert value(found, "veltra_card_up", serial="0x00A1B2C3") == 0
    assert value(found, "veltra_card_down_reason", serial="0x00A1B2C3", reason="timed out") == 1
    assert value(found, "veltra_card_up", serial="0x00A1B2C4") == 1
    assert value(found, "veltra_scrape_errors_total", serial="0x00A1B2C3", status="timeout") == 1
    assert value(found, "veltra_sensor_alarm", serial="0x00A1B2C4", sensor="0") == 0
    machine.tool("sim", "clear-faults", "0")
    wait_for("the card up again", lambda: value(
        samples(exporter.scrape()), "veltra_card_up", serial="0x00A1B2C3") == 1, 60)
    wait_for("the log of both", lambda: "is up again" in exporter.log.read_text(), 10)
    log = exporter.log.read_text()
    assert log.count("veltra exporter: card 0x00A1B2C3 (index 0) is down: timed out\n") == 1, log
    assert log.count("veltra exporter: card 0x00A1B2C3 (index 0) is up again\n") == 1, log


def test_a_reading_slower_than_the_timeout_is_not_up(machine: Machine,
                                                      exporters: Callable[..., Exporter]) -> None:
    exporter = exporters("--timeout", "0.5")
    exporter.scrape()
    # A reading of card 0 now takes about 0.8 s (nine requests of 90 ms):
    # past the first scrape's timeout, within the second's.
    machine.faults('[[fault]]\ncard = 0\nkind = "slow"\nlatency_us = 90000\n')
    first = samples(exporter.scrape())
    assert value(first, "veltra_card_up", serial="0x00A1B2C3") == 0
    second = samples(exporter.scrape())
    assert value(second, "veltra_card_up", serial="0x00A1B2C3") == 0
    assert value(second, "veltra_card_down_reason", serial="0x00A1B2C3", reason="timed out") == 1
    assert value(second, "veltra_scrape_duration_seconds", serial="0x00A1B2C3") > 0.5
    assert "veltra_sensor_value" not in second or not [
        l for l, _ in second["veltra_sensor_value"] if l["serial"] == "0x00A1B2C3"]
    machine.tool("sim", "clear-faults", "0")


def test_scrapes_at_once_share_one_reading(machine: Machine, exporters: Callable[..., Exporter]) -> None:
    trace = machine.folder / "trace.log"
    exporter = exporters(trace=trace)
    exporter.scrape()
    # A reading of card 0 now takes about half a second (nine requests of
    # 60 ms): the four scrapes all come while it is under way.
    machine.faults('[[fault]]\ncard = 0\nkind = "slow"\nlatency_us = 60000\n')
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
