#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>

#include "embedded_exchange/http/http_listener.hpp"

namespace sim {

// Takes over the connections whose request asks to upgrade them (a websocket handshake) from
// an HttpListener. Called on the listener's thread; must not block.
class UpgradeHandler {
 public:
  using Message = boost::beast::http::request<boost::beast::http::string_body>;

  virtual ~UpgradeHandler() = default;
  // Whether the upgrade `request` asks for is this handler's; if not, it is served as any other.
  virtual bool wants(const HttpRequest& request) const = 0;
  // Either moves `socket` away and answers the handshake itself, or leaves it and returns the
  // answer that refuses the request.
  virtual std::optional<HttpAnswer> take(const HttpRequest& request,
                                         boost::asio::ip::tcp::socket& socket,
                                         Message& message) = 0;
};

}  // namespace sim
