#pragma once

#include <stdexcept>
#include <string_view>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/http_listener.hpp"

namespace sim {

// A request the exchange would not take as it is written; answered 400 ValidationError.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

// The request's fields: the query's parameters, then the body's, a JSON object or a form
// (application/x-www-form-urlencoded), whose values are texts.
stoploss::Value request_fields(const HttpRequest& req);

}  // namespace sim
