#include "Core/Rest/rest_client.hpp"

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
#include <charconv>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <variant>

#include "Core/Rest/exchange_url.hpp"
#include "Core/Rest/failure_texts.hpp"
#include "Core/Rest/http_answer.hpp"
#include "Core/Rest/tls_context.hpp"
#include "Core/auth/signature.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/utils/unix_time.hpp"

namespace rest {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;  // the stream's clock
using Request = http::request<http::string_body>;

constexpr std::string_view kApi = "/api/v1";

// A connection that could not be made: nothing was sent, so the try may be repeated.
struct Unreached {
  std::string reason;
};

}  // namespace

// One connection per try on a private io_context. The stream's expiry, set once, bounds connect,
// handshake, send and the whole answer together; every byte goes through Asio, which sends with
// MSG_NOSIGNAL, and OpenSSL only ever sees memory buffers.
class RestClient::Transport {
 public:
  explicit Transport(const RestSettings& settings)
      : origin_(parse_exchange_url(settings.base_url)),
        max_answer_bytes_(settings.max_answer_bytes) {
    if (origin_.tls) tls_.emplace(exchange_tls_context(settings.ca_file));
  }

  const std::string& authority() const { return origin_.authority; }

  // The answer to `request`, or why no connection was made. Throws "Timed out" when the answer is
  // not whole `within` from now, "Broken answer" for a connection that breaks or an answer that is
  // not HTTP, and stoploss::ValueError for an answer over the size cap.
  std::variant<Answer, Unreached> exchange(const Request& request, std::string_view name,
                                           std::chrono::milliseconds within) {
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
                                       const Request& request, std::string_view name,
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

std::string url_encode(std::string_view text) {
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded += fmt::format("%{:02X}", c);
    }
  }
  return encoded;
}

RestClient::RestClient(RestSettings settings, std::optional<auth::Credentials> credentials,
                       Pause pause, Clocks clocks)
    : settings_(std::move(settings)),
      credentials_(std::move(credentials)),
      pause_(pause ? std::move(pause)
                   : [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); }),
      clocks_{
          clocks.steady ? std::move(clocks.steady) : [] { return Clock::now(); },
          clocks.unix_seconds ? std::move(clocks.unix_seconds) : [] { return utils::unix_now(); }},
      transport_(std::make_unique<Transport>(settings_)) {}

RestClient::~RestClient() = default;

RestClient::CallDeadline::CallDeadline(RestClient& client)
    : client_(client), outermost_(!client.call_ends_) {
  if (outermost_) client_.call_ends_ = client_.clocks_.steady() + client_.settings_.total_deadline;
}

RestClient::CallDeadline::~CallDeadline() {
  if (outermost_) client_.call_ends_.reset();
}

stoploss::Value RestClient::get(std::string_view path, const Query& query) {
  std::string target = std::string(kApi).append(path);
  for (std::size_t i = 0; i < query.size(); ++i) {
    target += fmt::format("{}{}={}", i ? '&' : '?', url_encode(query[i].first),
                          url_encode(query[i].second));
  }
  return request("GET", target, "");
}

stoploss::Value RestClient::send(std::string_view verb, std::string_view path,
                                 const stoploss::Value& body) {
  std::string json;
  try {
    json = body.dump();
  } catch (const stoploss::Value::type_error& error) {  // a text that is not UTF-8
    throw stoploss::ValueError(
        fmt::format("{} {}: the body cannot be sent: {}", verb, path, error.what()));
  }
  return request(verb, std::string(kApi).append(path), json);
}

stoploss::Value RestClient::request(std::string_view verb, const std::string& target,
                                    const std::string& body) {
  const http::verb method = http::string_to_verb({verb.data(), verb.size()});
  if (method == http::verb::unknown) {
    throw std::invalid_argument("not an HTTP verb: " + std::string(verb));
  }
  const std::string route = std::string(verb) + " " + target.substr(0, target.find('?'));
  const std::string url = settings_.base_url + target;
  const std::string name = fmt::format("{} {}", verb, url);
  const CallDeadline call(*this);  // a request outside any call is a call of its own
  const auto left = [this] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(*call_ends_ - clocks_.steady());
  };
  for (int attempt = 0;; ++attempt) {
    if (left() <= std::chrono::milliseconds(0)) {
      throw std::runtime_error(max_retries_text(name, no_time_left(settings_.total_deadline)));
    }
    Request message(method, target, 11);
    message.set(http::field::host, transport_->authority());
    message.set(http::field::user_agent, "stoploss");
    message.set(http::field::connection, "close");
    if (credentials_) {
      const long long expires = clocks_.unix_seconds() + settings_.expires_after.count();
      message.set("api-expires", std::to_string(expires));
      message.set("api-key", credentials_->key);
      message.set("api-signature",
                  auth::signature(credentials_->secret, verb, target, expires, body));
    }
    if (method != http::verb::get) {
      message.set(http::field::content_type, "application/json");
      message.body() = body;
    }
    message.prepare_payload();
    ++requests_[route];
    auto tried = transport_->exchange(message, name, std::min(settings_.deadline, left()));
    const TryContext context{
        verb, url, attempt, settings_.backoff, settings_.max_wait, clocks_.unix_seconds()};
    Retry retry{backoff_wait(context), ""};
    if (const auto* unreached = std::get_if<Unreached>(&tried)) {
      retry.reason = unreached->reason;
    } else {
      const Answer& answer = std::get<Answer>(tried);
      rate_limit_ = rate_limit_of(answer, rate_limit_);
      auto verdict = interpret(answer, context);
      if (auto* value = std::get_if<stoploss::Value>(&verdict)) return std::move(*value);
      retry = std::get<Retry>(std::move(verdict));
    }
    if (attempt >= settings_.max_retries) {
      throw std::runtime_error(max_retries_text(name, retry.reason));
    }
    // Compared in whole seconds: no reset a peer sends can overflow.
    if (retry.rate_limit_reset > std::chrono::duration_cast<std::chrono::seconds>(left()).count()) {
      throw std::runtime_error(max_retries_text(
          name, retry.reason + "; " + rate_limit_after_deadline(retry.rate_limit_reset)));
    }
    if (retry.wait >= left()) {
      throw std::runtime_error(
          max_retries_text(name, retry.reason + "; " + wait_after_deadline(retry.wait)));
    }
    pause_(retry.wait);
  }
}

}  // namespace rest
