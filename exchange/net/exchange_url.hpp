#pragma once

#include <string>
#include <string_view>

namespace rest {

// Where the exchange is: "https://HOST[:PORT]", or "http://HOST[:PORT]" to a loopback address
// only (127.0.0.0/8, localhost, [::1]), such as the embedded exchange: over plain HTTP the key
// and every signature would cross the network in clear.
struct ExchangeUrl {
  bool tls = true;
  std::string host;       // without the brackets of an IPv6 address
  std::string port;       // "443" or "80" when not given
  std::string authority;  // host and port as written, for the Host header
};

// Throws std::invalid_argument, naming what is wrong, for a URL without a scheme, with
// another scheme, user information, a path, a bad port, or plain HTTP to a host that is not
// a loopback address.
ExchangeUrl parse_exchange_url(std::string_view url);

}  // namespace rest
