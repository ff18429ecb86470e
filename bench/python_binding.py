#!/usr/bin/env python3
"""The binding's own cost per Call: the module's already-placed request over a book of N open
orders, with Python collaborators answering from prebuilt objects (no work of their own), timed
per request; compare with BM_AlreadyPlaced/N of stoploss_bench, the same request with C++
collaborators answering from memory. Run by scripts/bench.sh."""
import time
import tracemalloc

import stoploss

WANTED = 9000.5


def book(size):
    resting = [{"orderID": f"limit-{i}", "symbol": "XBTUSD", "side": "Buy", "orderQty": 100,
                "price": 8000.0 + i % 500, "stopPx": None, "ordType": "Limit", "execInst": "",
                "ordStatus": "New"} for i in range(size - 1)]
    return resting + [{"orderID": "stop-0", "symbol": "XBTUSD", "side": "Sell",
                       "orderQty": -9999999, "stopPx": WANTED, "ordType": "Stop",
                       "execInst": "LastPrice,ReduceOnly", "ordStatus": "New"}]


class Memory:
    """Every collaborator, answering from prebuilt objects; counts the calls that cross."""

    def __init__(self, orders):
        self.orders, self.crossings = orders, 0
        self.instrument_record = {"symbol": "XBTUSD", "maxOrderQty": 10000000}
        self.portfolio = {"symbol": "XBTUSD", "impactMidPrice": 9100.0}
        self.slots = {}
        self.WS_Status = True

    def ReturnTicker(self, pair):
        self.crossings += 1
        return 0.5

    def instrument(self, pair):
        self.crossings += 1
        return self.instrument_record

    def get_portfolio(self, pair):
        self.crossings += 1
        return self.portfolio

    def toNearest(self, price, step):
        self.crossings += 1
        return round(price / step) * step

    def open_orders(self, pair, Force=False):
        self.crossings += 1
        return self.orders

    def Store(self, slot, manager):
        self.slots[slot] = manager

    def SERVE(self, slot):
        self.crossings += 1
        return self.slots.get(slot)

    def info_log(self, message, level=1):
        self.crossings += 1

    info_warn = info_critical = info_log

    def Dir(self):
        return "/opt/bot"


def run(size, requests):
    memory = Memory(book(size))
    names = ("GetDir", "Bitmex_Wrapper", "HouseLog", "QuorCalls", "ModuleHandler", "RiskManager",
             "Amend_bulk", "Cancel_bulk")
    host = {name: memory for name in names}
    host["sleep"] = lambda seconds: None
    stoploss.load(host)
    stoploss.ARM(stoploss.Aux(["XBTUSD"]))
    assert stoploss.Call("XBTUSD", WANTED) is True  # learns the contract quantity once
    memory.crossings = 0
    started = time.perf_counter()
    for _ in range(requests):
        stoploss.Call("XBTUSD", WANTED)
    seconds = time.perf_counter() - started
    tracemalloc.start()
    stoploss.Call("XBTUSD", WANTED)
    kept = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return seconds / requests * 1e6, memory.crossings / requests, kept


def main():
    print(f"{'book':>6} {'us per Call':>12} {'crossings':>10} {'Python bytes kept':>18}")
    for size, requests in ((1, 20000), (10, 20000), (100, 2000), (1000, 200)):
        micros, crossings, kept = run(size, requests)
        print(f"{size:>6} {micros:>12.2f} {crossings:>10.1f} {kept:>18}")


if __name__ == "__main__":
    main()
