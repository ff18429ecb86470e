#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Core/auth/credentials.hpp"
#include "Core/collaborators/record.hpp"

namespace httplib {
class Client;
}

namespace rest {

struct RestSettings {
  std::string base_url = "https://testnet.bitmex.com";  // scheme, host and optional port
  std::chrono::milliseconds timeout{10000};             // connect, read and write
  int max_retries = 4;                                  // for 503, 429 and refused connections
  std::chrono::milliseconds backoff{250};               // the first wait between tries; doubles
  std::chrono::seconds expires_after{5};                // validity of a signed request
};

// The exchange's rate-limit headers of the latest answer (-1 until one carried them).
struct RateLimit {
  long limit = -1;
  long remaining = -1;
  long long reset = -1;  // UNIX seconds
};

using Query = std::vector<std::pair<std::string, std::string>>;
// How the client waits between tries; tests record instead of sleeping.
using Pause = std::function<void(std::chrono::milliseconds)>;

// The exchange's REST API under /api/v1, signed when credentials are given. TLS certificates
// are verified. Failures, as the module expects them:
// - an answer other than 2xx: stoploss::HTTPError with its status and body (a refusal of a
//   further stop order carries "Max Stop orders" in its text);
// - 503 and 429 are tried again with a doubling backoff, waiting at least until the rate
//   limit resets; then, like a refused connection, a failure whose text has "Max retries hit";
// - a read or write time-out (the request may have been acted on): "Timed out", not retried;
// - a 2xx answer that is not JSON: stoploss::ValueError.
// Not thread-safe: one request at a time.
class RestClient {
 public:
  RestClient(RestSettings settings, std::optional<auth::Credentials> credentials, Pause pause = {});
  ~RestClient();
  RestClient(const RestClient&) = delete;
  RestClient& operator=(const RestClient&) = delete;

  stoploss::Value get(std::string_view path, const Query& query);
  // POST, PUT or DELETE with a JSON body.
  stoploss::Value send(std::string_view verb, std::string_view path, const stoploss::Value& body);

  const RateLimit& rate_limit() const { return rate_limit_; }
  // Requests sent, tries included, by "VERB /api/v1/path".
  const std::map<std::string, int>& requests() const { return requests_; }

 private:
  stoploss::Value request(std::string_view verb, const std::string& target,
                          const std::string& body);

  RestSettings settings_;
  std::optional<auth::Credentials> credentials_;
  Pause pause_;
  std::unique_ptr<httplib::Client> client_;
  RateLimit rate_limit_;
  std::map<std::string, int> requests_;
};

// Percent-encodes everything but the unreserved characters.
std::string url_encode(std::string_view text);

}  // namespace rest
