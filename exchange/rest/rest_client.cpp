#include "exchange/rest/rest_client.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <variant>

#include "Core/collaborators/failures.hpp"
#include "Core/utils/unix_time.hpp"
#include "exchange/auth/signature.hpp"
#include "exchange/net/network_transport.hpp"
#include "exchange/rest/failure_texts.hpp"
#include "exchange/rest/http_answer.hpp"

namespace rest {
namespace {

namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kApi = "/api/v1";

}  // namespace

std::string url_encode(std::string_view text) {
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded += fmt::format("%{:02X}", c);
    }
  }
  return encoded;
}

RestClient::RestClient(RestSettings settings, std::optional<auth::Credentials> credentials,
                       Pause pause, Clocks clocks, std::unique_ptr<Transport> transport)
    : settings_(std::move(settings)),
      credentials_(std::move(credentials)),
      pause_(pause ? std::move(pause)
                   : [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); }),
      clocks_{
          clocks.steady ? std::move(clocks.steady) : [] { return Clock::now(); },
          clocks.unix_seconds ? std::move(clocks.unix_seconds) : [] { return utils::unix_now(); }},
      transport_(transport ? std::move(transport)
                           : network_transport(settings_.base_url, settings_.max_answer_bytes,
                                               settings_.ca_file)) {}

RestClient::~RestClient() = default;

RestClient::CallDeadline::CallDeadline(RestClient& client)
    : client_(client), outermost_(!client.call_ends_) {
  if (outermost_) client_.call_ends_ = client_.clocks_.steady() + client_.settings_.total_deadline;
}

RestClient::CallDeadline::~CallDeadline() {
  if (outermost_) client_.call_ends_.reset();
}

stoploss::Value RestClient::get(std::string_view path, const Query& query) {
  std::string target = std::string(kApi).append(path);
  for (std::size_t i = 0; i < query.size(); ++i) {
    target += fmt::format("{}{}={}", i ? '&' : '?', url_encode(query[i].first),
                          url_encode(query[i].second));
  }
  return request("GET", target, "");
}

stoploss::Value RestClient::send(std::string_view verb, std::string_view path,
                                 const stoploss::Value& body) {
  std::string json;
  try {
    json = body.dump();
  } catch (const stoploss::Value::type_error& error) {  // a text that is not UTF-8
    throw stoploss::ValueError(
        fmt::format("{} {}: the body cannot be sent: {}", verb, path, error.what()));
  }
  return request(verb, std::string(kApi).append(path), json);
}

stoploss::Value RestClient::request(std::string_view verb, const std::string& target,
                                    const std::string& body) {
  const http::verb method = http::string_to_verb({verb.data(), verb.size()});
  if (method == http::verb::unknown) {
    throw std::invalid_argument("not an HTTP verb: " + std::string(verb));
  }
  const std::string route = std::string(verb) + " " + target.substr(0, target.find('?'));
  const std::string url = settings_.base_url + target;
  const std::string name = fmt::format("{} {}", verb, url);
  const CallDeadline call(*this);  // a request outside any call is a call of its own
  const auto left = [this] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(*call_ends_ - clocks_.steady());
  };
  for (int attempt = 0;; ++attempt) {
    if (left() <= std::chrono::milliseconds(0)) {
      throw std::runtime_error(max_retries_text(name, no_time_left(settings_.total_deadline)));
    }
    HttpRequest message(method, target, 11);
    message.set(http::field::host, transport_->authority());
    message.set(http::field::user_agent, "stoploss");
    message.set(http::field::connection, "close");
    if (credentials_) {
      const long long expires = clocks_.unix_seconds() + settings_.expires_after.count();
      message.set("api-expires", std::to_string(expires));
      message.set("api-key", credentials_->key);
      message.set("api-signature",
                  auth::signature(credentials_->secret, verb, target, expires, body));
    }
    if (method != http::verb::get) {
      message.set(http::field::content_type, "application/json");
      message.body() = body;
    }
    message.prepare_payload();
    ++requests_[route];
    auto tried = transport_->exchange(message, name, std::min(settings_.deadline, left()));
    const TryContext context{
        verb, url, attempt, settings_.backoff, settings_.max_wait, clocks_.unix_seconds()};
    Retry retry{backoff_wait(context), ""};
    if (const auto* unreached = std::get_if<Unreached>(&tried)) {
      retry.reason = unreached->reason;
    } else {
      const Answer& answer = std::get<Answer>(tried);
      ++statuses_[answer.result_int()];
      rate_limit_ = rate_limit_of(answer, rate_limit_);
      auto verdict = interpret(answer, context);
      if (auto* value = std::get_if<stoploss::Value>(&verdict)) return std::move(*value);
      retry = std::get<Retry>(std::move(verdict));
    }
    if (attempt >= settings_.max_retries) {
      throw std::runtime_error(max_retries_text(name, retry.reason));
    }
    // Compared in whole seconds: no reset a peer sends can overflow.
    if (retry.rate_limit_reset > std::chrono::duration_cast<std::chrono::seconds>(left()).count()) {
      throw std::runtime_error(max_retries_text(
          name, retry.reason + "; " + rate_limit_after_deadline(retry.rate_limit_reset)));
    }
    if (retry.wait >= left()) {
      throw std::runtime_error(
          max_retries_text(name, retry.reason + "; " + wait_after_deadline(retry.wait)));
    }
    pause_(retry.wait);
  }
}

}  // namespace rest
