// Where the REST client may send signed requests: TLS anywhere, plain HTTP to loopback only.
#include "exchange/net/exchange_url.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "row_name.hpp"

namespace {

using Url = std::pair<const char*, const char*>;  // the URL, and how it reads
const Url kUrls[] = {
    {"https://testnet.bitmex.com", "tls testnet.bitmex.com 443"},
    {"https://www.bitmex.com:8443/", "tls www.bitmex.com 8443"},
    {"http://127.0.0.1:8080", "plain 127.0.0.1 8080"},
    {"http://127.1.2.3", "plain 127.1.2.3 80"},
    {"http://[::1]:8080", "plain ::1 8080"},
    {"http://localhost:8080", "plain localhost 8080"},
    {"http://testnet.bitmex.com", "refused"},  // the key and signatures in clear
    // Look-alikes of loopback, only parsed: none is ever resolved.
    {"http://127.0.0.1.example.com", "refused"},
    {"http://localhost.example.com", "refused"},
    {"http://[::2]:80", "refused"},
    {"http://128.0.0.1", "refused"},
    {"http://127.0.0.1@example.com", "refused"},  // user information: the host is example.com
    {"http://example.com@127.0.0.1", "refused"},
    {"https://user@www.bitmex.com", "refused"},
    {"testnet.bitmex.com", "refused"},  // no scheme
    {"https://", "refused"},
    {"https://www.bitmex.com/api/v1", "refused"},
    {"https://www.bitmex.com:0", "refused"},
    {"https://www.bitmex.com:65536", "refused"},
};

class ExchangeUrls : public testing::TestWithParam<Url> {};

TEST_P(ExchangeUrls, TakesTlsAnywhereAndPlainHttpToLoopbackOnly) {
  const auto& [text, read_as] = GetParam();
  std::string read = "refused";
  try {
    const rest::ExchangeUrl url = rest::parse_exchange_url(text);
    read = (url.tls ? "tls " : "plain ") + url.host + " " + url.port;
  } catch (const std::invalid_argument&) {
  }
  EXPECT_EQ(read, read_as) << text;
}
INSTANTIATE_TEST_SUITE_P(ExchangeUrl, ExchangeUrls, testing::ValuesIn(kUrls),
                         row_names(kUrls, &Url::first));

}  // namespace
