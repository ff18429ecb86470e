#include "embedded_exchange/in_process/in_process_transport.hpp"

#include <cctype>
#include <stdexcept>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/in_process/busy_time.hpp"
#include "exchange/rest/failure_texts.hpp"

namespace sim {
namespace {

namespace http = boost::beast::http;

HttpRequest served(const rest::HttpRequest& request) {
  HttpRequest req{.method = std::string(request.method_string()),
                  .target = std::string(request.target()),
                  .headers = {},
                  .body = request.body()};
  for (const auto& field : request) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    req.headers.emplace(std::move(name), std::string(field.value()));
  }
  return req;
}

rest::Answer answered(const HttpAnswer& answer) {
  rest::Answer message(static_cast<http::status>(answer.status), 11, answer.body);
  for (const auto& [name, value] : answer.headers) message.set(name, value);
  message.prepare_payload();
  return message;
}

}  // namespace

InProcessTransport::InProcessTransport(ExchangeService& service, SimExchange& exchange,
                                       std::string authority)
    : service_(service), exchange_(exchange), authority_(std::move(authority)) {}

std::variant<rest::Answer, rest::Unreached> InProcessTransport::exchange(
    const rest::HttpRequest& request, std::string_view name, std::chrono::milliseconds within) {
  const BusyTime busy(exchange_);
  const Fault fault = exchange_.next_call();
  if (fault == Fault::kMaxRetries) return rest::Unreached{"connection refused"};
  if (fault == Fault::kOverloaded) {
    return answered(json_answer(503, error_body(kOverloaded, "HTTPError")));
  }
  const HttpAnswer answer = service_.serve(served(request));
  if (fault == Fault::kTimedOut || answer.delay >= within) {
    throw std::runtime_error(rest::timed_out_text(name, within));
  }
  return answered(answer);
}

}  // namespace sim
