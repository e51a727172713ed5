"""The shipped alert rules pass their unit tests, and the shipped
Prometheus configuration loads them."""

from __future__ import annotations

import subprocess

import pytest

from conftest import MONITORING, WINDOWS

pytestmark = pytest.mark.skipif(WINDOWS, reason="the same files on both platforms: tested once")


def promtool(*words: str) -> str:
    done = subprocess.run(["promtool", *words], cwd=MONITORING, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_every_rule_has_its_tests() -> None:
    assert "SUCCESS" in promtool("test", "rules", "veltra-alerts.test.yml")
    rules = (MONITORING / "veltra-alerts.yml").read_text()
    tests = (MONITORING / "veltra-alerts.test.yml").read_text()
    names = [line.split(":", 1)[1].strip() for line in rules.splitlines()
             if line.strip().startswith("- alert:")]
    assert len(names) == 11
    for name in names:
        assert f"alertname: {name}\n" in tests or f"alertname: {name}," in tests, name


def test_the_configuration_loads_the_rules() -> None:
    assert "SUCCESS: 11 rules found" in promtool("check", "config", "prometheus.yml")


def test_alertmanager_takes_the_routes_and_inhibit_rules() -> None:
    done = subprocess.run(["amtool", "check-config", "alertmanager.yml"], cwd=MONITORING,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert " - 3 inhibit rules\n" in done.stdout and " - 2 receivers\n" in done.stdout
