"""The exporter as a fleet sees it: a real Prometheus scrapes it and
evaluates the shipped alert rules, a real Alertmanager receives the alerts,
and every query of the shipped dashboard returns data."""

from __future__ import annotations

import http.server
import json
import re
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

from conftest import (ALARM_AND_REMOVED, MONITORING, Exporter, Machine, Server, free_port, get,
                      wait_for)

class Webhook:
    """The receiver Alertmanager notifies: each notification it posts."""

    def __init__(self) -> None:
        received: list[dict[str, Any]] = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                length = int(self.headers["Content-Length"])
                received.append({"path": self.path, **json.loads(self.rfile.read(length))})
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args: Any) -> None:
                pass

        self.received = received
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def servers(machine: Machine) -> Iterator[Callable[[Exporter], tuple[Server, Server, Webhook]]]:
    started: list[Server] = []
    hooks: list[Webhook] = []

    def start(exporter: Exporter) -> tuple[Server, Server, Webhook]:
        folder = machine.folder
        alertmanager_port, prometheus_port = free_port(), free_port()
        webhook = Webhook()
        hooks.append(webhook)
        # The shipped routes and inhibit rules, notifying the test's webhook
        # a second after an alert comes.
        shipped = (MONITORING / "alertmanager.yml").read_text()
        assert shipped.count("http://127.0.0.1:5001/") == 2
        (folder / "alertmanager.yml").write_text(
            re.sub(r"(?m)^(\s+group_wait:) \S+$", r"\1 1s",
                   shipped.replace("http://127.0.0.1:5001", webhook.url)))
        alertmanager = Server(
            ["prometheus-alertmanager", f"--config.file={folder / 'alertmanager.yml'}",
             f"--storage.path={folder / 'alertmanager'}",
             f"--web.listen-address=127.0.0.1:{alertmanager_port}", "--cluster.listen-address="],
            alertmanager_port, folder / "alertmanager.log", "/-/ready")
        started.append(alertmanager)
        # The shipped rules with their waits cut to a second.
        rules = re.sub(r"(?m)^(\s+for:) \S+$", r"\1 1s",
                       (MONITORING / "veltra-alerts.yml").read_text())
        (folder / "rules.yml").write_text(rules)
        (folder / "prometheus.yml").write_text(json.dumps({
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
            "rule_files": [str(folder / "rules.yml")],
            "alerting": {"alertmanagers": [
                {"static_configs": [{"targets": [f"127.0.0.1:{alertmanager_port}"]}]}]},
            "scrape_configs": [{"job_name": "veltra", "scrape_timeout": "1s",
                                "static_configs": [{"targets": [exporter.address]}]}],
        }))
        prometheus = Server(
            ["prometheus", f"--config.file={folder / 'prometheus.yml'}",
             f"--storage.tsdb.path={folder / 'prometheus'}",
             f"--web.listen-address=127.0.0.1:{prometheus_port}"],
            prometheus_port, folder / "prometheus.log", "/-/ready")
        started.append(prometheus)
        return prometheus, alertmanager, webhook

    try:
        yield start
    finally:
        for server in reversed(started):
            server.stop()
        for webhook in hooks:
            webhook.stop()


def query(prometheus: Server, expression: str) -> list[dict[str, Any]]:
    answer = prometheus.api("/api/v1/query", query=expression)
    assert answer["status"] == "success", answer
    return list(answer["data"]["result"])


def values(prometheus: Server, expression: str) -> dict[str, float]:
    """Each series' serial and value."""
    return {r["metric"].get("serial", ""): float(r["value"][1]) for r in query(prometheus, expression)}


def both_cards_up(prometheus: Server) -> None:
    wait_for("both cards up in Prometheus",
             lambda: values(prometheus, "veltra_card_up") == {"0x00A1B2C3": 1, "0x00A1B2C4": 1}, 60)


def dashboard_queries(instance: str) -> tuple[list[str], list[str]]:
    """The dashboard's panel queries and variable queries, with the
    variables as a user who chose this host and every card has them."""
    dashboard = json.loads((MONITORING / "grafana-dashboard.json").read_text())

    # A regular expression in a PromQL string: its backslashes escaped, as
    # Grafana writes a chosen value into it.
    host = re.escape(instance).replace("\\", "\\\\")

    def substitute(text: str) -> str:
        return text.replace("$instance", host).replace("$serial", ".*")

    panels = [substitute(t["expr"]) for p in dashboard["panels"] for t in p.get("targets", [])]
    variables = [substitute(v["definition"]) for v in dashboard["templating"]["list"]
                 if v["type"] == "query"]
    return panels, variables


def test_prometheus_scrapes_alerts_and_draws(machine: Machine, exporters: Callable[..., Exporter],
                                            servers: Callable[..., tuple[Server, Server, Webhook]]) -> None:
    exporter = exporters()
    prometheus, alertmanager, _ = servers(exporter)
    both_cards_up(prometheus)
    assert values(prometheus, 'veltra_sensor_value{sensor="0"}') == {
        "0x00A1B2C3": 45, "0x00A1B2C4": 45}
    assert values(prometheus, 'up{job="veltra"}') == {"": 1}

    panels, variables = dashboard_queries(exporter.address)
    assert len(panels) >= 10 and any("unit=\"celsius\"" in p for p in panels)
    for expression in panels:
        assert query(prometheus, expression), f"no data for the dashboard's {expression}"
    for definition in variables:
        match = re.fullmatch(r"label_values\((.*), (\w+)\)", definition)
        assert match, definition
        found = prometheus.api(f"/api/v1/label/{match.group(2)}/values", **{"match[]": match.group(1)})
        assert found["data"], f"no values for the dashboard's {definition}"

    machine.faults(ALARM_AND_REMOVED)
    wait_for("the faults in Prometheus", lambda: (
        values(prometheus, "veltra_card_up") == {"0x00A1B2C3": 1, "0x00A1B2C4": 0}
        and values(prometheus, 'veltra_sensor_alarm{sensor="0"}') == {"0x00A1B2C3": 1}
        and values(prometheus, 'veltra_device_error{kind="sensor"}') == {"0x00A1B2C3": 1}), 60)

    # The sensor error of card 0's device status is said by its sensor
    # alerts, not by an alert of its own.
    expected = {("VeltraCardDown", "0x00A1B2C4"), ("VeltraSensorAlarm", "0x00A1B2C3"),
                ("VeltraSensorOutsideLimits", "0x00A1B2C3")}
    wait_for("the alerts in Alertmanager", lambda: expected <= {
        (a["labels"]["alertname"], a["labels"].get("serial", "")) for a in alerts(alertmanager)}, 60)
    # Prometheus fires nothing else: no card is slow to read, no FPGA was
    # configured, the links are as trained.
    firing = {(r["metric"]["alertname"], r["metric"].get("serial", ""))
              for r in query(prometheus, 'ALERTS{alertstate="firing"}')}
    assert firing == expected
    # Every text as an operator reads it.
    host = exporter.address
    descriptions = {(a["labels"]["alertname"], a["labels"].get("sensor", "")): a["annotations"]["description"]
                    for a in alerts(alertmanager)}
    assert descriptions == {
        ("VeltraCardDown", ""): f"Card 0x00A1B2C4 on {host} has been down for 2 minutes: went away.",
        ("VeltraSensorOutsideLimits", "0"): "Sensor 0 (FPGA die temperature (C)) of card 0x00A1B2C3 "
        f"on {host} reads 110 celsius, outside its limits, for 3 minutes.",
        ("VeltraSensorAlarm", "0"): "Sensor 0 (FPGA die temperature (C)) of card 0x00A1B2C3 on "
        f"{host} has been in alarm for 3 minutes.",
        ("VeltraSensorAlarm", "3"): f"Sensor 3 (Alarm flags) of card 0x00A1B2C3 on {host} has been "
        "in alarm for 3 minutes.",
    }


def alerts(alertmanager: Server) -> list[dict[str, Any]]:
    return list(json.loads(get(alertmanager.url + "/api/v2/alerts")))


def test_one_hot_fpga_pages_once(machine: Machine, exporters: Callable[..., Exporter],
                                 servers: Callable[..., tuple[Server, Server, Webhook]]) -> None:
    exporter = exporters()
    prometheus, alertmanager, webhook = servers(exporter)
    both_cards_up(prometheus)
    # The FPGA of card 0 at 110 C, over its limit of 100 C: the sensor is
    # outside its limits and in alarm, the flags sensor flags it, and the
    # device status has its sensor error.
    machine.faults('[[fault]]\ncard = 0\nkind = "sensor-alarm"\nsensor = 0\n')
    wait_for("a notification", lambda: webhook.received, 60)
    # Long enough for Prometheus to have sent every alert it fires, and for
    # Alertmanager to have sent any notification more.
    time.sleep(8)
    assert len(webhook.received) == 1, webhook.received
    notification = webhook.received[0]
    assert notification["path"] == "/pager" and notification["status"] == "firing"
    assert [(a["labels"]["alertname"], a["labels"]["serial"], a["labels"]["sensor"])
            for a in notification["alerts"]] == [("VeltraSensorOutsideLimits", "0x00A1B2C3", "0")]
    # The other alarms came, and wait behind the one that paged.
    held = {(a["labels"]["alertname"], a["labels"].get("sensor", "")): a["status"]["state"]
            for a in alerts(alertmanager)}
    assert held == {("VeltraSensorOutsideLimits", "0"): "active",
                    ("VeltraSensorAlarm", "0"): "suppressed",
                    ("VeltraSensorAlarm", "3"): "suppressed"}


def test_alerts_stay_when_cards_and_exporters_vanish(
        machine: Machine, exporters: Callable[..., Exporter],
        servers: Callable[..., tuple[Server, Server, Webhook]]) -> None:
    port = free_port()
    exporter = exporters(port=port)
    prometheus, alertmanager, _ = servers(exporter)
    both_cards_up(prometheus)

    def firing(name: str) -> list[dict[str, Any]]:
        return [a for a in alerts(alertmanager)
                if a["labels"]["alertname"] == name and a["status"]["state"] == "active"]

    machine.faults('[[fault]]\ncard = 1\nkind = "removed"\n')
    wait_for("the card down", lambda: [a["labels"]["serial"] for a in firing("VeltraCardDown")]
             == ["0x00A1B2C4"], 60)

    # Restarted, the exporter never saw the card: the card is still alerted,
    # by its serial and board.
    exporter.stop()
    restarted = exporters(port=port)
    missing = wait_for("the card missing", lambda: firing("VeltraCardMissing"), 60)
    assert [(a["labels"]["serial"], a["labels"]["board_id"]) for a in missing] == [
        ("0x00A1B2C4", "0x8115")]
    assert missing[0]["annotations"]["description"] == (
        f"Card 0x00A1B2C4 (board 0x8115, revision 3, last at index 1) was on {exporter.address} "
        "within the last hour and is no longer listed.")

    # Killed, the exporter is an alert of the highest severity the rules use.
    restarted.kill()
    down = wait_for("the exporter down", lambda: firing("VeltraExporterDown"), 60)
    assert [a["labels"]["severity"] for a in down] == ["critical"]
    severities = set(re.findall(r"(?m)^\s+severity: (\w+)$",
                                (MONITORING / "veltra-alerts.yml").read_text()))
    assert severities == {"critical", "warning"}
    # The card missing is not said again while its exporter is gone.
    assert not query(prometheus, 'ALERTS{alertname="VeltraCardMissing", alertstate="firing"}')
