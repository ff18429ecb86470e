#include "exchange/net/network_transport.hpp"

#include <fmt/format.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>
#include <type_traits>

#include "exchange/net/exchange_url.hpp"
#include "exchange/net/tls_context.hpp"
#include "exchange/rest/failure_texts.hpp"
#include "exchange/rest/http_answer.hpp"

namespace rest {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;  // the stream's clock

// One connection per try on a private io_context. The stream's expiry, set once, bounds connect,
// handshake, send and the whole answer together; every byte goes through Asio, which sends with
// MSG_NOSIGNAL, and OpenSSL only ever sees memory buffers.
class NetworkTransport final : public Transport {
 public:
  NetworkTransport(const std::string& base_url, std::uint64_t max_answer_bytes,
                   const std::string& ca_file)
      : origin_(parse_exchange_url(base_url)), max_answer_bytes_(max_answer_bytes) {
    if (origin_.tls) tls_.emplace(exchange_tls_context(ca_file));
  }

  const std::string& authority() const override { return origin_.authority; }

  std::variant<Answer, Unreached> exchange(const HttpRequest& request, std::string_view name,
                                           std::chrono::milliseconds within) override {
    const Clock::time_point deadline = Clock::now() + within;
    tcp::resolver resolver(io_);
    tcp::resolver::results_type addresses;
    const auto resolved = finish([&](auto done) {
      resolver.async_resolve(origin_.host, origin_.port,
                             [&addresses, done](const beast::error_code& error, auto found) {
                               addresses = std::move(found);
                               done(error);
                             });
    });
    if (resolved) return Unreached{"cannot resolve " + origin_.host + ": " + resolved.message()};
    if (!tls_) {
      beast::tcp_stream stream(io_);
      return over(stream, addresses, request, name, deadline, within);
    }
    ssl::stream<beast::tcp_stream> stream(io_, *tls_);
    return over(stream, addresses, request, name, deadline, within);
  }

 private:
  // Runs the asynchronous operation `start` begins to its end and returns its error.
  template <class Start>
  beast::error_code finish(Start start) {
    beast::error_code result;
    start([&result](const beast::error_code& error, auto&&...) { result = error; });
    io_.restart();
    io_.run();
    return result;
  }

  template <class Stream>
  std::variant<Answer, Unreached> over(Stream& stream, const tcp::resolver::results_type& addresses,
                                       const HttpRequest& request, std::string_view name,
                                       Clock::time_point deadline,
                                       std::chrono::milliseconds within) {
    const auto timed_out = [deadline](const beast::error_code& error) {
      return error == beast::error::timeout || Clock::now() >= deadline;
    };
    beast::tcp_stream& tcp = beast::get_lowest_layer(stream);
    tcp.expires_at(deadline);
    if (const auto error = finish([&](auto done) { tcp.async_connect(addresses, done); })) {
      return Unreached{timed_out(error) ? "no connection within the deadline" : error.message()};
    }
    if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
      beast::error_code not_ip;
      asio::ip::make_address(origin_.host, not_ip);
      // Server name indication takes a host name only, never an address.
      if (not_ip && !SSL_set_tlsext_host_name(stream.native_handle(), origin_.host.c_str())) {
        return Unreached{"cannot set the TLS server name"};
      }
      stream.set_verify_callback(ssl::host_name_verification(origin_.host));
      const auto error =
          finish([&](auto done) { stream.async_handshake(ssl::stream_base::client, done); });
      if (error) {
        return Unreached{timed_out(error) ? "no TLS session within the deadline"
                                          : "TLS: " + error.message()};
      }
    }
    // From here on the exchange may have the request and act on it: no failure is retried.
    const auto fail = [&](const beast::error_code& error, std::string_view during) {
      if (timed_out(error)) {
        throw std::runtime_error(timed_out_text(name, within));
      }
      refuse_unreadable(error, during);
    };
    if (const auto error = finish([&](auto done) { http::async_write(stream, request, done); })) {
      fail(error, fmt::format("{}, while sending", name));
    }
    beast::flat_buffer buffer = answer_buffer();
    // The header block on its own first (see bound()), past any interim 1xx answer ("100
    // Continue"): their header blocks and the final answer's share one bound and the deadline.
    std::optional<AnswerParser> parser;
    std::uint32_t header_left = kMaxHeaderBytes;
    do {
      parser.emplace();
      bound(*parser, max_answer_bytes_, header_left);
      std::size_t used = 0;
      const auto header = finish([&](auto done) {
        http::async_read_header(stream, buffer, *parser,
                                [&used, done](const beast::error_code& error, std::size_t bytes) {
                                  used = bytes;
                                  done(error);
                                });
      });
      if (header) fail(header, name);
      header_left -= static_cast<std::uint32_t>(std::min<std::size_t>(used, header_left));
    } while (parser->get().result_int() / 100 == 1);
    if (!parser->is_done()) {
      const auto rest = finish([&](auto done) { http::async_read(stream, buffer, *parser, done); });
      if (rest) fail(rest, name);
    }
    return parser->release();
  }

  ExchangeUrl origin_;
  std::uint64_t max_answer_bytes_;
  asio::io_context io_;
  std::optional<ssl::context> tls_;
};

}  // namespace

std::unique_ptr<Transport> network_transport(const std::string& base_url,
                                             std::uint64_t max_answer_bytes,
                                             const std::string& ca_file) {
  return std::make_unique<NetworkTransport>(base_url, max_answer_bytes, ca_file);
}

}  // namespace rest
