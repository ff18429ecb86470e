#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "exchange/auth/credentials.hpp"
#include "exchange/rest/transport.hpp"

namespace rest {

struct RestSettings {
  std::string base_url = "https://testnet.bitmex.com";  // scheme, host and optional port
  std::chrono::milliseconds deadline{5000};         // one try: connect, send and the whole answer
  std::chrono::milliseconds total_deadline{30000};  // one call: every request, try and wait
  std::uint64_t max_answer_bytes = 32 << 20;        // the answer's body; its header block: 64 KiB
  int max_retries = 4;                              // for 503, 429 and failed connections
  std::chrono::milliseconds backoff{250};           // the first wait between tries; doubles
  std::chrono::milliseconds max_wait{60000};  // the longest wait between tries, whatever 429 says
  std::chrono::seconds expires_after{5};      // validity of a signed request
  std::string ca_file{};  // PEM certificates to trust instead of the system's, when set
};

// The exchange's rate-limit headers of the latest answer (-1 until one carried them).
struct RateLimit {
  long limit = -1;
  long remaining = -1;
  long long reset = -1;    // UNIX seconds
  long remaining_1s = -1;  // of the order routes' budget for one second, as the last of them said
};

using Query = std::vector<std::pair<std::string, std::string>>;
// How the client waits between tries; tests record instead of sleeping.
using Pause = std::function<void(std::chrono::milliseconds)>;
// Where the client reads the time: a steady clock for its deadlines, UNIX seconds for api-expires
// and the rate limit's reset. Tests pass clocks that their Pause moves on; one left empty reads
// the system's.
struct Clocks {
  std::function<std::chrono::steady_clock::time_point()> steady{};
  std::function<long long()> unix_seconds{};
};

// The exchange's REST API under /api/v1 over http:// or https:// (certificates verified against
// the system's or `ca_file`'s authorities, host name checked), signed when credentials are given.
// A fresh connection per try, each signed anew (api-expires from the time of the try) over the
// same body. One call, with every try and wait, ends within total_deadline: a request on its own,
// or every request made while a CallDeadline lives; each try within the smaller of `deadline` and
// what is left of the call. Failures, as the module expects them:
// - an answer other than 2xx: stoploss::HTTPError with its status and body; its text is the status
//   line, "(Max Stop orders)" when the exchange refuses a further stop order, then the exchange's
//   own message, bounded and cleaned, naming a refused key, signature or expiry (http_error_text);
// - 503 and 429 are tried again with a doubling backoff, on 429 waiting for Retry-After or the
//   rate limit's reset, never longer than max_wait; then, like a connection that could not be
//   made, a failure whose text has "Max retries hit". It comes at once, with no wait, when the
//   next try could not start within the call's total deadline (a 429 saying when the rate limit
//   resets);
// - no whole answer within the try's deadline once the request is under way (the exchange may
//   have acted): "Timed out", not tried again;
// - an answer that is not HTTP, or a connection that breaks after it is made: "Broken answer",
//   not tried again;
// - a 2xx answer that is not JSON, or an answer over max_answer_bytes: stoploss::ValueError.
// Nothing a peer does raises SIGPIPE. Not thread-safe: one request at a time.
class RestClient {
 public:
  // Every request made while one lives shares one total deadline, from its opening: a collaborator
  // operation that makes several requests (a bulk amend) ends within it. Opened while another
  // lives, it changes nothing.
  class [[nodiscard]] CallDeadline {
   public:
    explicit CallDeadline(RestClient& client);
    ~CallDeadline();
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

   private:
    RestClient& client_;
    bool outermost_;
  };

  // Throws std::invalid_argument for a base_url that is not http(s)://host[:port]. Requests go
  // over the network to base_url unless another `transport` is given.
  RestClient(RestSettings settings, std::optional<auth::Credentials> credentials, Pause pause = {},
             Clocks clocks = {}, std::unique_ptr<Transport> transport = {});
  ~RestClient();
  RestClient(const RestClient&) = delete;
  RestClient& operator=(const RestClient&) = delete;

  stoploss::Value get(std::string_view path, const Query& query);
  // POST, PUT or DELETE with a JSON body. Throws stoploss::ValueError, before anything is sent,
  // for a body holding text that is not UTF-8.
  stoploss::Value send(std::string_view verb, std::string_view path, const stoploss::Value& body);

  const RateLimit& rate_limit() const { return rate_limit_; }
  // Requests sent, tries included, by "VERB /api/v1/path".
  const std::map<std::string, int>& requests() const { return requests_; }
  // Answers received, tries included, by HTTP status.
  const std::map<int, int>& statuses() const { return statuses_; }

 private:
  stoploss::Value request(std::string_view verb, const std::string& target,
                          const std::string& body);

  RestSettings settings_;
  std::optional<auth::Credentials> credentials_;
  Pause pause_;
  Clocks clocks_;
  std::optional<std::chrono::steady_clock::time_point> call_ends_;  // while a CallDeadline lives
  std::unique_ptr<Transport> transport_;
  RateLimit rate_limit_;
  std::map<std::string, int> requests_;
  std::map<int, int> statuses_;
};

// Percent-encodes everything but the unreserved characters.
std::string url_encode(std::string_view text);

}  // namespace rest
