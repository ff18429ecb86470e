#include "exchange/net/exchange_url.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <stdexcept>

#include "Core/collaborators/record.hpp"

namespace rest {
namespace {

bool is_loopback(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return host == "localhost";
}

}  // namespace

ExchangeUrl parse_exchange_url(std::string_view url) {
  const auto refuse = [url](std::string_view why) {
    return std::invalid_argument("not an exchange URL: " + stoploss::excerpt(url) + " (" +
                                 std::string(why) + ")");
  };
  ExchangeUrl parsed;
  std::string_view rest;
  if (url.starts_with("https://")) {
    rest = url.substr(8);
  } else if (url.starts_with("http://")) {
    parsed.tls = false;
    rest = url.substr(7);
  } else {
    throw refuse("it must start with https://");
  }
  if (rest.ends_with('/')) rest.remove_suffix(1);
  if (rest.find_first_of("/?#@ ") != std::string_view::npos) {
    throw refuse("scheme, host and port only");
  }
  parsed.authority = rest;
  std::string_view port;
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) throw refuse("an IPv6 address without its ]");
    parsed.host = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) throw refuse("text after the address");
    port = rest.empty() ? rest : rest.substr(1);
  } else {
    const std::size_t colon = rest.find(':');
    parsed.host = rest.substr(0, colon);
    port = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  if (parsed.host.empty()) throw refuse("no host");
  if (port.empty()) {
    parsed.port = parsed.tls ? "443" : "80";
  } else {
    int number = 0;
    const auto [read_to, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc{} || read_to != port.data() + port.size() || number < 1 ||
        number > 65535) {
      throw refuse("the port must be a number from 1 to 65535");
    }
    parsed.port = std::string(port);
  }
  if (!parsed.tls && !is_loopback(parsed.host)) {
    throw refuse("plain http:// is for a loopback address only; use https://");
  }
  return parsed;
}

}  // namespace rest
