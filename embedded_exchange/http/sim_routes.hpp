#pragma once

#include <string_view>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/request_fields.hpp"

namespace sim {

// One of the exchange's REST routes under /api/v1: answers a record or a list from the
// request's fields, or throws what the exchange refuses.
struct ExchangeRoute {
  std::string_view method;
  std::string_view path;
  stoploss::Value (*answer)(SimExchange& exchange, const stoploss::Value& fields);
  bool is_public;  // served without a signature
};

// The route for "VERB /api/v1/path", or nullptr.
const ExchangeRoute* find_route(std::string_view method, std::string_view path);

}  // namespace sim
