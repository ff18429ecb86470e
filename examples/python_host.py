#!/usr/bin/env python3
"""A Python host for the stop-loss module: it starts the embedded exchange on loopback, takes
the ready-made collaborators over its REST API and realtime feed, puts its own log and registry
in their place, and sends two stop requests. Against a real exchange, pass its URL and
credentials to rest_components() instead (https only):

    host = stoploss.rest_components("https://testnet.bitmex.com", "credentials", pairs=["XBTUSD"])
"""
import stoploss


class PrintedLog:
    """The bot's own log: here, lines on standard output."""

    def info_log(self, message, level=1):
        print("info:", message)

    def info_warn(self, message, level=None):
        print("warning:", message)

    def info_critical(self, message, level=1):
        print("critical:", message)


class Registry:
    """The bot's registry of module objects, by slot."""

    def __init__(self):
        self.slots = {}

    def Store(self, slot, obj):
        self.slots[slot] = obj

    def SERVE(self, slot):
        return self.slots.get(slot)


def main():
    exchange = stoploss.EmbeddedExchange()
    exchange.open_position(1000)  # a long position to protect
    host = stoploss.rest_components(exchange.url, key=exchange.key, secret=exchange.secret,
                                    pairs=["XBTUSD"])
    host["HouseLog"] = PrintedLog()
    host["ModuleHandler"] = Registry()
    stoploss.load(host)
    stoploss.ARM(stoploss.Aux(["XBTUSD"]))

    for price in (8900.3, 8950):
        result = stoploss.Call("XBTUSD", price, Text="python host")
        print(f"stop at {price}: {result}; stops on the book: {exchange.stops('XBTUSD')}")


if __name__ == "__main__":
    main()
