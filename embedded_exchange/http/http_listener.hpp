#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// Bounds on what one client may send and how long it may take, so that no client holds the
// server or another client back.
struct HttpLimits {
  std::size_t body = std::size_t{1} << 20;        // larger: refused 413 before it is read
  std::size_t header = std::size_t{16} << 10;     // larger: refused 431
  std::chrono::milliseconds read_deadline{5000};  // for a request, or an answer, to pass whole
  std::chrono::milliseconds idle{10000};          // for the next request on a kept-alive connection
  // Beyond it a new connection closes the one that has waited longest for a whole request (or
  // idled longest between requests), or is itself closed when every one is being answered.
  std::size_t connections = 64;
};

// `text` of a query or form body with %XX escapes and '+' decoded.
std::string percent_decoded(std::string_view text);

class UpgradeHandler;

struct HttpRequest {
  std::string method;                                       // "GET"
  std::string target;                                       // path and query, as sent
  std::map<std::string, std::string, std::less<>> headers;  // lower-case names; the first kept
  std::string body;

  std::string_view path() const;
  // The header `name` (lower case), empty when absent.
  std::string header(std::string_view name) const;
  // The query parameter `name`, percent-decoded; nullopt when absent.
  std::optional<std::string> param(std::string_view name) const;
};

struct HttpAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};  // held back this long while other requests go on
};

// Serves HTTP/1.1 with keep-alive on one background thread, every connection asynchronous
// under HttpLimits. The handlers all run on that thread, one at a time, and must not block.
class HttpListener {
 public:
  using Handler = std::function<HttpAnswer(const HttpRequest&)>;
  // The answer to a request refused before it was read whole (413, 431, 400), or for which the
  // handler failed (500).
  using Refusal = std::function<HttpAnswer(int status, std::string_view message)>;

  HttpListener(HttpLimits limits, Handler handler, Refusal refusal);
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Listens on `host` (an IP address; port 0: any free one) and returns the port. Throws
  // std::runtime_error when it cannot, std::logic_error when already serving.
  int start(const std::string& host, int port);
  // Hands the upgrade requests `handler` wants over to it (http_upgrade.hpp). Before start();
  // `handler` must outlive serving.
  void upgrade_with(UpgradeHandler& handler);
  // Runs `task` on the serving thread, after whatever runs there now; false, and dropped unrun,
  // when not serving. Any thread; tasks posted from one thread run in the order posted.
  bool post(std::function<void()> task);
  // Ends every connection, whatever its client is doing, and returns once the thread has
  // ended; an answer held back is not sent. Safe to call more than once.
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
