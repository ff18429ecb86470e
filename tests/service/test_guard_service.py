"""`stoploss guard` as systemd runs it: the unit's command with a notify socket and a watchdog,
the metrics page and the JSON log while it runs, a reload, and the stop."""
import json
import os
import re
import signal
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

import pytest

STOPLOSS = os.environ["STOPLOSS_BIN"]
PACKAGING = Path(os.environ["STOPLOSS_PACKAGING"])


def unit_settings():
    settings = {}
    for line in (PACKAGING / "stoploss-guard.service").read_text().splitlines():
        if "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings.setdefault(key, value)
    return settings


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds=15):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        found = condition()
        if found:
            return found
        time.sleep(0.05)
    return None


@pytest.fixture
def notify_socket(tmp_path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(str(tmp_path / "notify"))
    listener.setblocking(False)
    yield listener
    listener.close()


def received(listener, messages):
    try:
        while True:
            messages.extend(listener.recv(4096).decode().split("\n"))
    except BlockingIOError:
        return messages


def test_the_example_config_is_usable():
    checked = subprocess.run([STOPLOSS, "guard", "--config", PACKAGING / "guard.toml", "--check"],
                             capture_output=True, text=True, timeout=30)
    assert checked.returncode == 0, checked.stderr
    assert "1 pairs listed, a default rule" in checked.stdout


def test_the_unit_runs_ready_watched_reloaded_and_stopped(tmp_path, notify_socket):
    unit = unit_settings()
    assert unit["Type"] == "notify" and unit["Restart"] == "on-failure"
    command = unit["ExecStart"].split()
    assert command[:4] == ["/usr/bin/stoploss", "guard", "--config", "/etc/stoploss/guard.toml"]
    port = free_port()
    config = tmp_path / "guard.toml"
    log = tmp_path / "guard.jsonl"
    config.write_text(f'metrics = "127.0.0.1:{port}"\n[log]\nfile = "{log}"\n'
                      '[default]\npercent = 1\nmin_interval = 0.2\n')
    environment = dict(os.environ, NOTIFY_SOCKET=str(tmp_path / "notify"),
                       WATCHDOG_USEC=str(int(unit["WatchdogSec"]) * 10_000))  # a hundredth
    guard = subprocess.Popen([STOPLOSS, "guard", "--config", config, "--pace-ms", "100"],
                             env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
    messages = []
    try:
        assert wait_for(lambda: "READY=1" in received(notify_socket, messages)), messages
        assert wait_for(lambda: "WATCHDOG=1" in received(notify_socket, messages)), messages
        page = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode()
        positions = dict(re.findall(r'^stoploss_guard_position_contracts\{pair="(\w+)"\} (\S+)$',
                                    page, re.MULTILINE))
        assert positions == {"XBTUSD": "1000", "ETHUSD": "-500", "ETHUSDT": "2000",
                             "SOLUSDT": "-3000"}
        config.write_text("[pairs.XBTUSD]\ndistanse = 100\n")
        guard.send_signal(signal.SIGHUP)
        assert wait_for(lambda: any(json.loads(line).get("refused") for line in
                                    log.read_text().splitlines()))
        assert guard.poll() is None  # the config running is kept
    finally:
        guard.send_signal(signal.SIGTERM)
        output = guard.communicate(timeout=30)[0]
    assert guard.returncode == 0, output
    assert "ended: interrupted" in output
    assert "STOPPING=1" in received(notify_socket, messages)
    events = [json.loads(line) for line in log.read_text().splitlines()]
    assert {e["pair"] for e in events if e["event"] == "request"} == set(positions)
    assert all("secret" not in json.dumps(e) for e in events)
    assert events[0]["event"] == "start" and events[-1]["event"] == "stop"
