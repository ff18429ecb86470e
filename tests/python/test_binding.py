"""The module from Python: the keyword call, failures raised by Python collaborators, records
crossing both ways, a request against the embedded exchange, and the GIL."""
import functools
import json
import logging
import os
import subprocess
import sys
import threading
from types import SimpleNamespace

import pytest

import stoploss

MID = 9100.0  # the pair's mid price: a stop below it sells


def stop(order_id, price, quantity=-999):
    return {"orderID": order_id, "symbol": "XBTUSD", "side": "Sell", "orderQty": quantity,
            "stopPx": price, "ordType": "Stop", "execInst": "LastPrice,ReduceOnly",
            "ordStatus": "New"}


class Exchange:
    """The pair's book in memory, answering as each collaborator the module calls; keeps the
    calls, the log, and raises what `raising` names for a method."""

    def __init__(self, stops=()):
        self.book = [stop(f"s{i}", price) for i, price in enumerate(stops)]
        self.calls, self.log, self.raising = [], [], {}
        self.WS_Status = True
        self.ReturnTicker = lambda pair: 0.5
        self.instrument = lambda pair: {"symbol": pair, "maxOrderQty": 1000}
        self.get_portfolio = lambda pair: {"symbol": pair, "impactMidPrice": MID}
        self.toNearest = lambda price, step: round(price / step) * step
        for method, kind in {"info_log": "info", "info_warn": "warning",
                             "info_critical": "critical"}.items():
            setattr(self, method, lambda text, level=None, kind=kind: self.log.append((kind, text)))

    def _called(self, method, *args, **keywords):
        self.calls.append((method, args, keywords))
        if method in self.raising:
            raise self.raising[method]

    def called(self, method):
        return [(args, keywords) for name, args, keywords in self.calls if name == method]

    def CLEAN_Stops(self, pair):
        self._called("CLEAN_Stops", pair)
        self.book.clear()

    def open_orders(self, pair, **keywords):
        self._called("open_orders", pair, **keywords)
        return [dict(order) for order in self.book]

    def STOP_order(self, pair, stopPx, orderQty, **keywords):
        self._called("STOP_order", pair, stopPx, orderQty, **keywords)
        order = dict(stop(f"new-{len(self.calls)}", stopPx, orderQty), clOrdID="c-1")
        self.book.append(order)
        return order


class Bulk:
    """Amend_bulk or Cancel_bulk over an Exchange; a cancel empties the list it was given."""

    def __init__(self, exchange, method):
        self.exchange, self.method = exchange, method

    def orders(self, pair, records, **keywords):
        self.exchange._called(self.method, pair, json.loads(json.dumps(records)), **keywords)
        ids = {record["orderID"] for record in records}
        if self.method == "Cancel_bulk":
            self.exchange.book = [o for o in self.exchange.book if o["orderID"] not in ids]
            records.clear()
        else:
            for order in self.exchange.book:
                if order["orderID"] in ids:
                    order["stopPx"] = records[0]["stopPx"]


def host_of(exchange):
    slots = {}
    return {"sleep": lambda seconds: None, "GetDir": SimpleNamespace(Dir=lambda: "/opt/bot"),
            "Bitmex_Wrapper": exchange, "HouseLog": exchange, "QuorCalls": exchange,
            "ModuleHandler": SimpleNamespace(Store=slots.__setitem__, SERVE=slots.get),
            "RiskManager": exchange, "Amend_bulk": Bulk(exchange, "Amend_bulk"),
            "Cancel_bulk": Bulk(exchange, "Cancel_bulk")}


def armed(exchange):
    stoploss.load(host_of(exchange))
    stoploss.ARM(stoploss.Aux(["XBTUSD"]))
    return exchange


@pytest.mark.parametrize("keywords, price, placed_keywords", [
    ({}, 9000.5, {"Text": ""}),
    ({"CLID": "link-1"}, 9000.5, {"clOrdLinkID": "link-1", "Text": ""}),
    ({"Text": "trail", "Verification": True, "CleanStops": False}, 9000.5, {"Text": "trail"}),
    ({"REPLACE": True}, 9000.5, {"Text": ""}),  # the pair's stops removed first
])
def test_keyword_call_places_one_reduce_only_stop(keywords, price, placed_keywords):
    exchange = armed(Exchange())
    assert stoploss.Call("XBTUSD", price, **keywords) is True
    assert exchange.called("STOP_order") == [(("XBTUSD", 9000.5, -999), placed_keywords)]
    assert len(exchange.called("CLEAN_Stops")) == int(keywords.get("REPLACE", False))


# Whatever the module returns reaches the caller as it is: False and None are not one another.
@pytest.mark.parametrize("placed, expected", [
    (False, False),              # the placement refused: reported in the log
    ({"ordStatus": "New"}, None),  # not accepted and never seen in the listing
])
def test_results_other_than_true_keep_their_kind(placed, expected):
    exchange = armed(Exchange())
    exchange.STOP_order = lambda pair, stopPx, orderQty, **keywords: placed
    assert stoploss.Call("XBTUSD", 9000.5) is expected


def test_the_version_and_a_log_record_without_colour_codes(caplog):
    assert stoploss.__version__ == os.environ["STOPLOSS_VERSION"]
    with caplog.at_level(logging.INFO, logger="stoploss"):
        stoploss.Log().info_warn("\x1b[95m Stop_Loss.Module\x1b[0m E.f3 Failed to place")
    assert caplog.messages == [" Stop_Loss.Module E.f3 Failed to place"]


# A failure of the listing reaches the caller as its own kind; an HTTPError keeps its status
# and body.
@pytest.mark.parametrize("raised, expected, text", [
    (KeyError("orderID"), KeyError, "orderID"),
    (TypeError("not a list"), TypeError, "not a list"),
    (ValueError("not a number"), ValueError, "not a number"),
    (RuntimeError("gone"), RuntimeError, "RuntimeError: gone"),
    (stoploss.HTTPError(503, json.dumps({"error": {"message": "overloaded"}}),
                        "503 Service Unavailable"), stoploss.HTTPError, "503 Service"),
    (KeyboardInterrupt(), KeyboardInterrupt, ""),  # an interruption passes through the module
])
def test_listing_failures_reach_the_caller_as_their_kind(raised, expected, text):
    exchange = armed(Exchange())
    exchange.raising["open_orders"] = raised
    with pytest.raises(expected, match=text) as caught:
        stoploss.Call("XBTUSD", 9000.5)
    if expected is stoploss.HTTPError:
        assert caught.value.status == 503
        assert json.loads(caught.value.body) == {"error": {"message": "overloaded"}}


def test_a_missing_collaborator_is_named():
    host = host_of(Exchange())
    del host["RiskManager"]
    with pytest.raises(ImportError, match="RiskManager"):
        stoploss.load(host)


@pytest.mark.parametrize("value", [
    {"big": 2**63 - 1, "small": -2**63, "unsigned": 2**64 - 1, "int": 7},
    {"floats": [0.1, 1e-300, 5e-324, -0.0, 1.7976931348623157e308]},
    {"nested": [{"a": [None, True, False, {"b": []}]}], "empty": {}},
    {"text": "ümlaut € 𝄞 \u0000 end"},
])
def test_records_cross_without_loss(value):
    assert typed(stoploss.record(value)) == typed(value)


def typed(value):
    """The value with every leaf's type, and floats to the last bit and sign."""
    if isinstance(value, dict):
        return {key: typed(item) for key, item in value.items()}
    if isinstance(value, list):
        return [typed(item) for item in value]
    return type(value).__name__, value.hex() if isinstance(value, float) else value


# Out of range, keys that are not texts, sets, and nesting past the records' limit.
@pytest.mark.parametrize("value, expected", [
    (2**64, ValueError), (-2**63 - 1, ValueError), ({1: "x"}, TypeError), (object(), TypeError),
    ({1.5}, TypeError), (functools.reduce(lambda inner, _: [inner], range(200), []), ValueError),
])
def test_what_cannot_cross_is_refused(value, expected):
    with pytest.raises(expected):
        stoploss.record(value)


def test_records_from_the_module_keep_their_values():
    exchange = Exchange()
    exchange.book = [stop("ордер-✓", 9000.5), stop("второй", 9000.5)]  # a surplus at the price
    armed(exchange)
    assert stoploss.Call("XBTUSD", 9000.5) is True
    [(args, keywords)] = exchange.called("Cancel_bulk")
    assert [(r["orderID"], r["orderQty"], r["stopPx"]) for r in args[1]] == [("второй", -999, 9000.5)]
    assert type(args[1][0]["orderQty"]) is int and keywords == {"Quiet": True}


def test_requests_against_the_embedded_exchange_leave_one_stop_and_let_the_gil_go():
    exchange = stoploss.EmbeddedExchange()
    host = stoploss.rest_components(exchange.url, key=exchange.key, secret=exchange.secret,
                                    pairs=["XBTUSD"])
    host["sleep"] = lambda seconds: None
    stoploss.load(host)
    stoploss.ARM(stoploss.Aux(["XBTUSD"]))
    counted, running = [0], threading.Event()

    def count():
        running.set()
        while running.is_set():
            counted[0] += 1

    switch = sys.getswitchinterval()
    sys.setswitchinterval(0.05)  # the counter runs only while the request lets the GIL go
    worker = threading.Thread(target=count)
    worker.start()
    try:
        running.wait()
        before = counted[0]
        assert stoploss.Call("XBTUSD", 8900.3) is True
        during = counted[0] - before
        assert stoploss.Call("XBTUSD", 8850) is True  # moved, not added
    finally:
        running.clear()
        worker.join()
        sys.setswitchinterval(switch)
    assert during > 0
    assert exchange.stops("XBTUSD") == [8850]


def test_a_call_from_inside_a_request_fails_at_once_and_the_request_goes_on():
    exchange = armed(Exchange())
    inner = []
    listing = exchange.open_orders

    def open_orders(pair, **keywords):
        try:
            stoploss.Call("XBTUSD", 8000.5)
        except RuntimeError as refused:
            inner.append(str(refused))
        return listing(pair, **keywords)

    exchange.open_orders = open_orders
    assert stoploss.Call("XBTUSD", 9000.5) is True
    assert inner and all("inside a stop request" in text for text in inner)


# A listing too large for the memory left ends the request with MemoryError, in a process of its
# own whose address space is cut to what it uses plus 64 MiB; the address sanitizer cannot run so.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="needs its address space")
def test_a_listing_too_large_for_memory_raises_memory_error():
    script = f"""
import resource, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from test_binding import Exchange, armed, stop, stoploss
exchange = armed(Exchange())
listing = [stop(f"s{{i}}", 100.0 + i) for i in range(150000)]
exchange.open_orders = lambda pair, **keywords: listing
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
try:
    stoploss.Call("XBTUSD", 9000.5)
except MemoryError:
    print("MemoryError")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr[-500:]


def test_two_threads_calling_at_once_do_not_deadlock():
    exchange = armed(Exchange())
    results = []

    def requests(price):
        for _ in range(20):
            results.append(stoploss.Call("XBTUSD", price))

    threads = [threading.Thread(target=requests, args=(p,)) for p in (9000.5, 8990.5)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=20)
    assert not any(thread.is_alive() for thread in threads)
    assert len(results) == 40 and all(result is True for result in results)
