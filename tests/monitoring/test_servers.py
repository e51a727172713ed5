"""The exporter as a fleet sees it: a real Prometheus scrapes it and
evaluates the shipped alert rules, a real Alertmanager receives the alerts,
and every query of the shipped dashboard returns data."""

from __future__ import annotations

import json
import re
import subprocess
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

from conftest import (ALARM_AND_REMOVED, MONITORING, Exporter, Machine, Server, free_port, get,
                      wait_for)

@pytest.fixture
def servers(machine: Machine) -> Iterator[Callable[[Exporter], tuple[Server, Server]]]:
    started: list[Server] = []

    def start(exporter: Exporter) -> tuple[Server, Server]:
        folder = machine.folder
        alertmanager_port, prometheus_port = free_port(), free_port()
        (folder / "alertmanager.yml").write_text(
            "route:\n  receiver: nobody\n  group_wait: 0s\nreceivers:\n  - name: nobody\n")
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
        return prometheus, alertmanager

    try:
        yield start
    finally:
        for server in reversed(started):
            server.stop()


def query(prometheus: Server, expression: str) -> list[dict[str, Any]]:
    answer = prometheus.api("/api/v1/query", query=expression)
    assert answer["status"] == "success", answer
    return list(answer["data"]["result"])


def values(prometheus: Server, expression: str) -> dict[str, float]:
    """Each series' serial and value."""
    return {r["metric"].get("serial", ""): float(r["value"][1]) for r in query(prometheus, expression)}


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
                                            servers: Callable[[Exporter], tuple[Server, Server]]) -> None:
    exporter = exporters()
    prometheus, alertmanager = servers(exporter)
    wait_for("both cards up in Prometheus",
             lambda: values(prometheus, "veltra_card_up") == {"0x00A1B2C3": 1, "0x00A1B2C4": 1}, 60)
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

    def received() -> set[tuple[str, str]]:
        alerts = json.loads(get(alertmanager.url + "/api/v2/alerts"))
        return {(a["labels"]["alertname"], a["labels"].get("serial", "")) for a in alerts}

    expected = {("VeltraCardDown", "0x00A1B2C4"), ("VeltraSensorAlarm", "0x00A1B2C3"),
                ("VeltraSensorOutsideLimits", "0x00A1B2C3"), ("VeltraDeviceError", "0x00A1B2C3")}
    wait_for("the alerts in Alertmanager", lambda: expected <= received(), 60)
    # Prometheus fires nothing else: no card is slow to read, no FPGA was
    # configured, the links are as trained.
    firing = {(r["metric"]["alertname"], r["metric"].get("serial", ""))
              for r in query(prometheus, 'ALERTS{alertstate="firing"}')}
    assert firing == expected
