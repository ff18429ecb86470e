#include "loopback_endpoint.hpp"

#include <boost/asio/ip/address.hpp>
#include <charconv>
#include <stdexcept>

namespace app::guard {

LoopbackEndpoint parse_loopback_endpoint(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    throw std::invalid_argument("give an address and a port, such as 127.0.0.1:9464");
  }
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(std::string(host), error);
  if (error || !address.is_loopback()) {
    throw std::invalid_argument("only a loopback address is served, such as 127.0.0.1:9464");
  }
  unsigned value = 0;
  const auto [end, failed] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (failed != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
    throw std::invalid_argument("the port must be a number from 1 to 65535");
  }
  return {.host = address.to_string(), .port = static_cast<unsigned short>(value)};
}

}  // namespace app::guard
