#pragma once

#include <pybind11/pybind11.h>

namespace stoploss_python {

// stoploss.rest_components(...): the ready-made collaborators over the exchange's REST API and
// realtime feed; stoploss.EmbeddedExchange: the embedded exchange served on loopback.
void add_exchange_bindings(pybind11::module_& module);

}  // namespace stoploss_python
