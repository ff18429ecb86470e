// Where the REST client may send signed requests: TLS anywhere, plain HTTP to loopback only.
#include "Core/Rest/exchange_url.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TEST(ExchangeUrl, TakesTlsAnywhereAndPlainHttpToLoopbackOnly) {
  struct Case {
    const char* url;
    const char* read_as;  // "tls host port", or nullptr when refused
  };
  const Case cases[] = {
      {"https://testnet.bitmex.com", "tls testnet.bitmex.com 443"},
      {"https://www.bitmex.com:8443/", "tls www.bitmex.com 8443"},
      {"http://127.0.0.1:8080", "plain 127.0.0.1 8080"},
      {"http://127.1.2.3", "plain 127.1.2.3 80"},
      {"http://localhost:9", "plain localhost 9"},
      {"http://[::1]:8080", "plain ::1 8080"},
      {"http://testnet.bitmex.com", nullptr},  // the key and signatures in clear
      {"http://10.0.0.1:8080", nullptr},
      {"http://127.0.0.1.example.com", nullptr},
      {"http://[::2]:80", nullptr},
      {"testnet.bitmex.com", nullptr},  // no scheme
      {"ftp://testnet.bitmex.com", nullptr},
      {"https://", nullptr},
      {"https://user:pw@www.bitmex.com", nullptr},
      {"https://www.bitmex.com/api/v1", nullptr},
      {"https://www.bitmex.com:0", nullptr},
      {"https://www.bitmex.com:65536", nullptr},
      {"https://www.bitmex.com:44x", nullptr},
      {"https://[::1", nullptr},
  };
  for (const Case& c : cases) {
    try {
      const rest::ExchangeUrl url = rest::parse_exchange_url(c.url);
      EXPECT_EQ((url.tls ? "tls " : "plain ") + url.host + " " + url.port,
                c.read_as ? c.read_as : "refused")
          << c.url;
    } catch (const std::invalid_argument& refused) {
      EXPECT_EQ(c.read_as, nullptr) << c.url << ": " << refused.what();
    }
  }
}

}  // namespace
