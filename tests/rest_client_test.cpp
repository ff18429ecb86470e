// The REST client against a hostile server of the test's own on loopback: every answer that
// could hang it, grow its memory, kill the process or be taken for a time-out ends as the
// failure the module expects, in words a log can show, within about one deadline and the call's
// total, with the waits clamped and every try renewed.
#include "exchange/rest/rest_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/utils/unix_time.hpp"
#include "exchange/auth/refusals.hpp"
#include "exchange/auth/signature.hpp"
#include "exchange/rest/rest_components.hpp"
#include "loopback_acceptor.hpp"
#include "row_name.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto kDeadline = 200ms;
constexpr std::size_t kFlood = 64 << 20;  // the most any endless answer sends
const auth::Credentials kCredentials{"test-key", "test-secret"};

// One accepted connection, plain or TLS.
class Peer {
 public:
  Peer(tcp::socket socket, ssl::context* tls) : socket_(std::move(socket)) {
    if (tls) tls_.emplace(socket_, *tls);
  }
  // The TLS handshake if any, then the request's header block.
  bool read_head() {
    boost::system::error_code error;
    if (tls_) tls_->handshake(ssl::stream_base::server, error);
    std::string head;
    return !error && io([&](auto& s, auto& e) {
      asio::read_until(s, asio::dynamic_buffer(head), "\r\n\r\n", e);
    });
  }
  // The whole request over plain TCP; none when the client went.
  std::optional<beast::http::request<beast::http::string_body>> read_request() {
    beast::http::request<beast::http::string_body> request;
    beast::flat_buffer buffer;
    boost::system::error_code error;
    beast::http::read(socket_, buffer, request, error);
    return error ? std::nullopt : std::optional(std::move(request));
  }
  bool read(std::size_t bytes) {
    std::string part(bytes, '\0');
    return io([&](auto& s, auto& e) { asio::read(s, asio::buffer(part), e); });
  }
  bool write(std::string_view bytes) {
    return io([&](auto& s, auto& e) { asio::write(s, asio::buffer(bytes), e); });
  }
  void reset() {  // SO_LINGER 0: the close sends a TCP reset
    boost::system::error_code ignored;
    socket_.set_option(tcp::socket::linger(true, 0), ignored);
    socket_.close(ignored);
  }

 private:
  template <class Op>
  bool io(Op op) {
    boost::system::error_code error;
    tls_ ? op(*tls_, error) : op(socket_, error);
    return !error;
  }
  tcp::socket socket_;
  std::optional<ssl::stream<tcp::socket&>> tls_;
};

using Behaviour = std::function<void(Peer&)>;

int closed_port() {  // a port nothing listens on
  asio::io_context io;
  return tcp::acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}).local_endpoint().port();
}

// `bytes` once the request is read and `after` has passed.
Behaviour answers(std::string bytes, std::chrono::milliseconds after = 0ms) {
  return [bytes = std::move(bytes), after](Peer& peer) {
    if (!peer.read_head()) return;
    std::this_thread::sleep_for(after);
    peer.write(bytes);
  };
}

// `head`, then `piece` again and again until the client goes or kFlood bytes went.
Behaviour floods(std::string head, std::string piece) {
  return [head = std::move(head), piece = std::move(piece)](Peer& peer) {
    bool going = peer.read_head() && peer.write(head);
    for (std::size_t sent = 0; going && sent < kFlood; sent += piece.size())
      going = peer.write(piece);
  };
}

// Reads the request's head and `bytes` more (until the client goes when it sends no more), then
// closes with a TCP reset or not.
Behaviour reads(std::size_t bytes, bool reset) {
  return [=](Peer& peer) {
    if (peer.read_head()) peer.read(bytes);
    if (reset) peer.reset();
  };
}

// The header late, then the body a byte every 10 ms: each part comes within the deadline, the
// whole does not.
void drips(Peer& peer) {
  if (!peer.read_head()) return;
  std::this_thread::sleep_for(kDeadline * 3 / 5);
  if (!peer.write("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n")) return;
  for (int i = 0; i < 12 && peer.write("1"); ++i) std::this_thread::sleep_for(10ms);
}

std::string http(const std::string& head, const std::string& body) {
  return "HTTP/1.1 " + head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// A self-signed certificate for 127.0.0.1: served by `tls`, trusted through `ca_file`.
void self_signed(ssl::context& tls, const std::string& ca_file) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_EXTENSION* names =
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "IP:127.0.0.1");
  X509_add_ext(cert, names, -1);
  X509_EXTENSION_free(names);
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX_use_certificate(tls.native_handle(), cert);
  SSL_CTX_use_PrivateKey(tls.native_handle(), key);
  FILE* out = std::fopen(ca_file.c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

std::string error_body(const std::string& message) {
  return stoploss::Value{{"error", {{"message", message}, {"name", "HTTPError"}}}}.dump();
}

// Answers 429 (Retry-After: 1) while each try is signed anew, over a later api-expires than the
// try before and the same body; otherwise 400 saying what was not renewed. Each copy keeps what
// it saw.
Behaviour demands_renewal() {
  struct Seen {
    long long expires = 0;
    std::optional<std::string> body;
  };
  return [seen = Seen{}](Peer& peer) mutable {
    const auto request = peer.read_request();
    if (!request) return;
    const long long expires = std::atoll(std::string((*request)["api-expires"]).c_str());
    const std::string signature =
        auth::signature(kCredentials.secret, std::string(request->method_string()),
                        std::string(request->target()), expires, request->body());
    std::string stale;
    if (std::string((*request)["api-signature"]) != signature) stale = "not signed anew";
    if (expires <= seen.expires) stale = "the same api-expires";
    if (seen.body.value_or(request->body()) != request->body()) stale = "another body";
    seen = {expires, request->body()};
    peer.write(stale.empty() ? http("429 Too Many Requests\r\nRetry-After: 1", "{}")
                             : http("400 Bad Request", error_body(stale)));
  };
}

using Call = std::function<stoploss::Value(rest::RestClient&)>;

stoploss::Value get_order(rest::RestClient& client) { return client.get("/order", {}); }

Call post(std::size_t bytes) {
  return [bytes](rest::RestClient& client) {
    return client.send("POST", "/order", std::string(bytes, 'x'));
  };
}

// The REST collaborators' bulk amend of `orders` stops: one PUT each, in one call.
Call amend_bulk(std::size_t orders) {
  return [orders](rest::RestClient& client) {
    const stoploss::RecordList amendments(
        orders, stoploss::Value{{"orderID", "a"}, {"stopPx", 8000}, {"orderQty", 100}});
    rest::rest_components(client, {})
        .find<stoploss::Amend_bulk>("Amend_bulk")
        ->orders("XBTUSD", amendments);
    return stoploss::Value("amended");
  };
}

enum class Link { kPlain, kTls, kUntrusted };  // kUntrusted: TLS the client has no authority for

struct Hostile {
  const char* what;
  Behaviour serve;   // nothing: no server listens
  const char* kind;  // the failure's kind, or "" when the answer is read
  std::string text;  // in the failure's text or the value read; with {url}, the whole text
  int tries = 1;
  const char* pauses = "";  // the waits between tries in ms, as "10 20"
  Link link = Link::kPlain;
  Call call = get_order;
  int max_retries = 2;
  std::chrono::milliseconds total = 10s;  // the call's total deadline
};

const std::string forever = "9223372036854775807";
const std::string expired = auth::expired_message(1516534870);
const std::string refused_get = "400 Client Error: Bad Request for url: {url} (exchange: ";
const Hostile kHostile[] = {
    {"a body with text that is not UTF-8 is refused before anything is sent",
     answers(http("200 OK", "[]")), "ValueError", "the body cannot be sent", 0, "", Link::kPlain,
     [](rest::RestClient& client) {
       return client.send("POST", "/order", stoploss::Value{{"text", "\xff"}});
     }},
    {"a body dripped past the deadline times out", drips, "Error", "Timed out"},
    {"an endless chunked body stops at the cap",
     floods("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
            "1000\r\n" + std::string(0x1000, '1') + "\r\n"),
     "ValueError", "Answer too large"},
    {"an endless header block stops at its bound",
     floods("HTTP/1.1 200 OK\r\n", "X-Pad: " + std::string(1000, 'a') + "\r\n"), "ValueError",
     "Answer too large"},
    {"a Content-Length over the cap is refused before its body",
     answers("HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n[1"), "ValueError",
     "Answer too large"},
    {"a reset once the request is read is broken", reads(0, true), "Error", "Broken answer"},
    {"an interim 100 Continue is passed over for the answer",
     answers("HTTP/1.1 100 Continue\r\n\r\n" + http("200 OK", R"([{"a":1}])")), "", R"("a":1)"},
    {"an endless run of interim answers stops at the header bound",
     floods("HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 102 Processing\r\n\r\n"), "ValueError",
     "Answer too large"},
    {"a body nested 100,000 deep is refused",
     answers(http("200 OK", std::string(100000, '[') + std::string(100000, ']'))), "ValueError",
     "nested deeper"},
    {"Retry-After for ever fails at once: no wait passes the call's total",
     answers(http("429 Too Many Requests\r\nRetry-After: " + forever, "{}")), "Error",
     "Max retries hit: GET {url} (429 Too Many Requests; the rate limit resets in " + forever +
         " s, after the call's deadline)"},
    {"Retry-After past max_wait, within the call, waits max_wait",
     answers(http("429 Too Many Requests\r\nRetry-After: 5", "{}")), "Error", "Max retries hit", 3,
     "1000 1000"},
    {"past, negative and unreadable waits leave the backoff",
     answers(http("429 Too Many\r\nx-ratelimit-reset: -9223372036854775808\r\nRetry-After: soon",
                  "{}")),
     "Error", "Max retries hit", 3, "10 20"},
    {"a run of 503s stops before the call's total", answers(http("503 Service Unavailable", "{}")),
     "Error",
     "Max retries hit: GET {url} (503 Service Unavailable; the next try in 320 ms would pass the "
     "call's deadline)",
     6, "10 20 40 80 160", Link::kPlain, get_order, 10, 500ms},
    {"a bulk amend's PUTs to a slow server share the call's total",
     answers(http("200 OK", R"({"orderID":"a"})"), 150ms), "Error", "Timed out: PUT", 3, "",
     Link::kPlain, amend_bulk(4), 2, 400ms},
    {"each try is signed anew, over a fresh connection and the same body", demands_renewal(),
     "Error", "Max retries hit", 3, "1000 1000", Link::kPlain, post(16)},
    {"a refused connection is tried again", nullptr, "Error", "Max retries hit", 3, "10 20"},
    // The exchange's words after the status line, as a log line may show them.
    {"the exchange's words follow the stop-order marker",
     answers(http("400 Bad Request", error_body("Too many open stop orders (max 10)"))),
     "HTTPError",
     R"x(400 Client Error: Bad Request for url: {url} (Max Stop orders) (exchange: "Too many open stop orders (max 10)"))x"},
    {"an unknown key is named", answers(http("401 Unauthorized", error_body("Invalid API Key."))),
     "HTTPError",
     R"x(401 Client Error: Unauthorized for url: {url} (the API key is unknown; exchange: "Invalid API Key."))x"},
    {"a refused signature is named",
     answers(http("401 Unauthorized", error_body("Signature not valid."))), "HTTPError",
     R"x(401 Client Error: Unauthorized for url: {url} (the signature is refused; exchange: "Signature not valid."))x"},
    {"an expired request is named (the exchange answers it with 400)",
     answers(http("400 Bad Request", error_body(expired))), "HTTPError",
     "400 Client Error: Bad Request for url: {url} (the request expired; exchange: \"" + expired +
         "\")"},
    {"a hostile message is cleaned, cut and never passes for a transport failure",
     answers(http("400 Bad Request",
                  error_body("Timed out\nMax retries hit\x01 \u00e9 " + std::string(1000, 'x')))),
     "HTTPError",
     refused_get + "\"timed out?max retries hit? ? " + std::string(271, 'x') + "...\")"},
    {"error.name stands in for a missing message",
     answers(http("400 Bad Request", R"({"error":{"name":"ValidationError"}})")), "HTTPError",
     refused_get + "\"ValidationError\")"},
    {"a body that is not JSON gives no reason and the same status line",
     answers(http("502 Bad Gateway", "<html>502 Bad Gateway</html>")), "HTTPError",
     "502 Server Error: Bad Gateway for url: {url}"},
    {"an answer over TLS is read", answers(http("200 OK", R"([{"a":1}])")), "", R"("a":1)", 1, "",
     Link::kTls},
    {"a server the system does not trust is refused", answers(http("200 OK", "[]")), "Error",
     "certificate verify failed", 3, "10 20", Link::kUntrusted},
    {"a reset before the handshake: nothing was sent, tried again", [](Peer& p) { p.reset(); },
     "Error", "Max retries hit", 3, "10 20", Link::kTls},
    {"a reset after part of a large request is broken", reads(16 << 10, true), "Error",
     "Broken answer", 1, "", Link::kTls, post(1 << 20)},
    {"a stalled answer over TLS times out", reads(1, false), "Error", "Timed out", 1, "",
     Link::kTls},
};

// A failure past the first byte of the answer must never be taken for a time-out, be tried
// again or kill the process: SIGPIPE keeps its default action here. Pauses cost no time: they
// move the client's clocks on.
class HostileAnswers : public testing::TestWithParam<Hostile> {};

TEST_P(HostileAnswers, EndAsTheFailureTheModuleExpects) {
  const Hostile& row = GetParam();
  std::signal(SIGPIPE, SIG_DFL);
  ssl::context tls(ssl::context::tls_server);
  // Of this process alone: suites running side by side each trust their own certificate.
  const std::string ca_file =
      testing::TempDir() + "rest_client_test_ca_" + std::to_string(getpid()) + ".pem";
  self_signed(tls, ca_file);
  // Serves each connection in turn with the row's behaviour; none listens without one.
  std::optional<LoopbackAcceptor> server;
  std::atomic<int> connections = 0;
  ssl::context* const peer_tls = row.link == Link::kPlain ? nullptr : &tls;
  if (row.serve) {
    server.emplace([serve = row.serve, &connections, peer_tls](LoopbackAcceptor::Socket socket) {
      ++connections;
      Peer peer(std::move(socket), peer_tls);
      serve(peer);
    });
  }
  const std::string base_url =
      (row.link == Link::kPlain ? "http://127.0.0.1:" : "https://127.0.0.1:") +
      std::to_string(server ? server->port() : closed_port());
  std::string pauses;
  std::chrono::milliseconds slept{0};
  rest::RestClient client(
      {.base_url = base_url,
       .deadline = kDeadline,
       .total_deadline = row.total,
       .max_answer_bytes = 256 << 10,
       .max_retries = row.max_retries,
       .backoff = 10ms,
       .max_wait = 1000ms,
       .ca_file = row.link == Link::kTls ? ca_file : ""},
      kCredentials,
      [&](std::chrono::milliseconds wait) {
        pauses += (pauses.empty() ? "" : " ") + std::to_string(wait.count());
        slept += wait;
      },
      {.steady = [&] { return std::chrono::steady_clock::now() + slept; },
       .unix_seconds = [&] { return utils::unix_now() + slept.count() / 1000; }});
  const auto started = std::chrono::steady_clock::now();
  std::string kind;
  std::string text;
  try {
    text = row.call(client).dump();
  } catch (const std::exception& failure) {
    kind = stoploss::failure_kind(failure);
    text = failure.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::min<std::chrono::milliseconds>(kDeadline + 400ms, row.total + 100ms));
  EXPECT_EQ(kind, row.kind) << text;
  if (const std::size_t url = row.text.find("{url}"); url != std::string::npos) {
    EXPECT_EQ(text, std::string(row.text).replace(url, 5, base_url + "/api/v1/order"));
  } else {
    EXPECT_THAT(text, testing::HasSubstr(row.text));
  }
  int tries = 0;
  for (const auto& [route, count] : client.requests()) tries += count;
  EXPECT_EQ(tries, row.tries);
  EXPECT_EQ(pauses, row.pauses);
  server.reset();  // every connection served
  if (row.serve) {
    EXPECT_EQ(connections, tries) << "a connection per try";
  }
  std::remove(ca_file.c_str());
}
INSTANTIATE_TEST_SUITE_P(rest_client, HostileAnswers, testing::ValuesIn(kHostile),
                         row_names(kHostile, &Hostile::what));

}  // namespace
