#!/usr/bin/env python3
"""`stoploss guard` over time, against `stoploss serve-sim` on loopback with faults on and eight
positions whose prices all move:

  guard_runs.py STOPLOSS kill-restart [ROUNDS]   SIGKILL at a random moment, then a restart
  guard_runs.py STOPLOSS soak [SECONDS]          one long run: memory, requests, time exposed

Prints what it measured, one line each."""
import hashlib
import hmac
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

STOPLOSS = sys.argv[1]
KEY, SECRET = "bench-key", "bench-secret-not-shown"
POSITIONS = ["XBTUSD:1000", "ETHUSD:-500", "XBTUSDT:1000", "ETHUSDT:2000", "SOLUSDT:-3000",
             "XRPUSDT:-1000", "LTCUSDT:4000", "ADAUSDT:-5000"]
TAG = "stoploss trail"


def signed_get(url, path):
    """The answer, tried again through the exchange's faults (503, 429, cut or held answers)."""
    for _ in range(20):
        expires = str(int(time.time()) + 10)
        signature = hmac.new(SECRET.encode(), ("GET" + path + expires).encode(),
                             hashlib.sha256).hexdigest()
        request = urllib.request.Request(url + path, headers={
            "api-key": KEY, "api-expires": expires, "api-signature": signature})
        try:
            return json.load(urllib.request.urlopen(request, timeout=10))
        except (urllib.error.URLError, ValueError, ConnectionError, TimeoutError):
            time.sleep(0.5)
    raise SystemExit("the exchange did not answer " + path)


def book(url):
    """Per open position: (contracts, the guard's tightest stop for it, the guard's stops, whether
    any reduce-only stop guards it)."""
    positions = {p["symbol"]: p["currentQty"] for p in signed_get(url, "/api/v1/position")}
    own, guarded = {}, set()
    query = urllib.request.quote('{"open":true}')
    for order in signed_get(url, f"/api/v1/order?filter={query}&count=500"):
        if order.get("ordType") != "Stop" or "ReduceOnly" not in (order.get("execInst") or ""):
            continue
        size = positions.get(order["symbol"], 0)
        if (order["side"] == "Sell") == (size > 0):
            guarded.add(order["symbol"])
        if TAG in (order.get("text") or ""):
            own.setdefault(order["symbol"], []).append(order["stopPx"])
    shown = {}
    for symbol, size in positions.items():
        if size:
            stops = own.get(symbol, [])
            tightest = (max(stops) if size > 0 else min(stops)) if stops else None
            shown[symbol] = (size, tightest, stops, symbol in guarded)
    return shown


def serve(folder, *faults, pace_ms=200):
    credentials = folder / "credentials"
    credentials.write_text(f"{KEY}\n{SECRET}\n")
    credentials.chmod(0o600)
    out = open(folder / "serve.out", "w")
    arguments = [STOPLOSS, "serve-sim", "--credentials", credentials, "--pace-ms", str(pace_ms),
                 "--rate-limit", "120", *faults]
    for position in POSITIONS:
        arguments += ["--position", position]
    server = subprocess.Popen(arguments, stdout=out, stderr=subprocess.STDOUT)
    for _ in range(100):
        found = re.search(r"http://[0-9.:]+", (folder / "serve.out").read_text())
        if found:
            return server, found.group(0), credentials
        time.sleep(0.1)
    raise SystemExit("serve-sim did not start")


def start_guard(url, credentials, log, *more, percent=3):
    return subprocess.Popen([STOPLOSS, "guard", "--exchange", url, "--credentials", credentials,
                             "--all", "--percent", str(percent), "--min-interval", "0.5",
                             "--feed-wait", "2", "--log", log, *more],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def events(log):
    try:
        return [json.loads(line) for line in Path(log).read_text().splitlines()]
    except FileNotFoundError:
        return []


def first_requests(log, pairs, seconds=60):
    """The first request event of each pair in the log, waited for."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        found = {}
        for event in events(log):
            if event["event"] == "request" and event["pair"] not in found:
                found[event["pair"]] = event
        if set(found) >= set(pairs):
            return found
        time.sleep(0.1)
    return found


def kill_restart(rounds):
    faults = ["--overload", "0.05", "--stall", "0.03", "--truncated", "0.03"]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        server, url, credentials = serve(folder, *faults)
        lost = bare = looser = surplus = not_true = 0
        try:
            guard = start_guard(url, credentials, folder / "log.0")
            for round_ in range(1, rounds + 1):
                time.sleep(random.uniform(1, 8))
                guard.send_signal(signal.SIGKILL)
                guard.wait()
                before = book(url)
                log = folder / f"log.{round_}"
                guard = start_guard(url, credentials, log)
                firsts = first_requests(log, before)
                time.sleep(1)  # the clean-up after the first request
                after = book(url)
                for pair, (size, tightest, _, covered_before) in before.items():
                    if pair not in after:
                        continue  # closed meanwhile: a stop triggered
                    not_true += firsts.get(pair, {}).get("result") != "true"
                    _, now, _, covered = after[pair]
                    lost += covered_before and not covered
                    bare += not covered_before and not covered
                    if tightest is not None and (now is None or (now - tightest) * size < 0):
                        looser += 1
                surplus += sum(max(0, len(own) - 1) for _, _, own, _ in after.values())
            time.sleep(60)
            left = sum(max(0, len(own) - 1) for _, _, own, _ in book(url).values())
            guard.send_signal(signal.SIGTERM)
            guard.wait(timeout=30)
        finally:
            server.send_signal(signal.SIGINT)
            server.wait(timeout=30)
    print(f"kill-restart: {rounds} SIGKILLs; positions whose stop was lost: {lost}; positions "
          f"with no stop before the kill and none after the first request: {bare}; first requests "
          f"that did not end true (faults): {not_true}; the guard's "
          f"stops looser than before: {looser}; surplus stops a second after the first requests: "
          f"{surplus} in all; surplus left a minute after the last restart: {left}")


def resident_kib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1))


def soak(seconds):
    faults = ["--overload", "0.05", "--stall", "0.02", "--truncated", "0.02"]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        # Slower prices and a wider stop, so that the positions outlast the run.
        server, url, credentials = serve(folder, *faults, pace_ms=1000)
        port = 19000 + random.randrange(1000)
        guard = start_guard(url, credentials, folder / "log", "--metrics", f"127.0.0.1:{port}",
                            percent=5)
        try:
            time.sleep(10)
            start = resident_kib(guard.pid)
            time.sleep(max(0, seconds - 10))
            end = resident_kib(guard.pid)
            page = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics").read().decode()
            logged = events(folder / "log")
        finally:
            guard.send_signal(signal.SIGTERM)
            guard.wait(timeout=30)
            server.send_signal(signal.SIGINT)
            server.wait(timeout=30)
    results = {}
    for event in logged:
        if event["event"] == "request":
            results[event["result"]] = results.get(event["result"], 0) + 1
    exposed = dict(re.findall(r'exposed_seconds_total\{pair="(\w+)"\} (\S+)', page))
    print(f"soak: {seconds} s, {len(POSITIONS)} pairs; resident memory {start} KiB after 10 s, "
          f"{end} KiB at the end; requests by result {results}; seconds exposed per pair "
          + ", ".join(f"{pair} {float(value):.1f}" for pair, value in sorted(exposed.items())))


if __name__ == "__main__":
    random.seed(int(os.environ.get("SEED", "1")))
    if sys.argv[2] == "kill-restart":
        kill_restart(int(sys.argv[3]) if len(sys.argv) > 3 else 20)
    else:
        soak(int(sys.argv[3]) if len(sys.argv) > 3 else 600)
