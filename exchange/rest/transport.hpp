#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace rest {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using Answer = boost::beast::http::response<boost::beast::http::string_body>;

// A connection that could not be made: nothing was sent, so the try may be repeated.
struct Unreached {
  std::string reason;
};

// How one try of a request reaches the exchange and its answer comes back: over the network
// (network_transport.hpp), or to the embedded exchange in the same process.
class Transport {
 public:
  virtual ~Transport() = default;

  // The exchange's host and port as the Host header names them.
  virtual const std::string& authority() const = 0;
  // The answer to `request`, or why no connection was made. Throws "Timed out" (timed_out_text)
  // when the answer is not whole `within` from now, "Broken answer" for a connection that breaks
  // or an answer that is not HTTP, and stoploss::ValueError for an answer over the size cap.
  // `name` names the request in those texts ("GET https://...").
  virtual std::variant<Answer, Unreached> exchange(const HttpRequest& request,
                                                   std::string_view name,
                                                   std::chrono::milliseconds within) = 0;
};

}  // namespace rest
