// The REST client against a hostile server of the test's own on loopback: every answer that
// could hang it, grow its memory, kill the process or be taken for a time-out ends as the
// failure the module expects, within about one deadline and with the waits clamped.
#include "Core/Rest/rest_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "Core/collaborators/failures.hpp"
#include "loopback_acceptor.hpp"

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto kDeadline = 200ms;
constexpr std::size_t kFlood = 64 << 20;  // the most any endless answer sends

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

Behaviour answers(std::string bytes) {
  return [bytes = std::move(bytes)](Peer& peer) {
    if (peer.read_head()) peer.write(bytes);
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

enum class Link { kPlain, kTls, kUntrusted };  // kUntrusted: TLS the client has no authority for

struct Hostile {
  const char* what;
  Behaviour serve;   // nothing: no server listens
  const char* kind;  // the failure's kind, or "" when the answer is read
  const char* text;  // in the failure's text, or in the value read
  int tries;
  const char* pauses;  // the waits between tries in ms, as "10 20"
  Link link = Link::kPlain;
  std::size_t request_bytes = 0;  // a POST of this many bytes instead of a GET
};

// A failure past the first byte of the answer must never be taken for a time-out, be tried
// again or kill the process: SIGPIPE keeps its default action here.
TEST(rest_client, HostileAnswersEndAsTheFailureTheModuleExpects) {
  std::signal(SIGPIPE, SIG_DFL);
  ssl::context tls(ssl::context::tls_server);
  // Of this process alone: suites running side by side each trust their own certificate.
  const std::string ca_file =
      testing::TempDir() + "rest_client_test_ca_" + std::to_string(getpid()) + ".pem";
  self_signed(tls, ca_file);
  const std::string forever = "9223372036854775807";
  const Hostile rows[] = {
      {"a JSON answer is read", answers(http("200 OK", R"([{"a":1}])")), "", R"("a":1)", 1, ""},
      {"a body dripped past the deadline times out", drips, "Error", "Timed out", 1, ""},
      {"an endless chunked body stops at the cap",
       floods("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
              "1000\r\n" + std::string(0x1000, '1') + "\r\n"),
       "ValueError", "Answer too large", 1, ""},
      {"an endless header block stops at its bound",
       floods("HTTP/1.1 200 OK\r\n", "X-Pad: " + std::string(1000, 'a') + "\r\n"), "ValueError",
       "Answer too large", 1, ""},
      {"a Content-Length over the cap is refused before its body",
       answers("HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n[1"), "ValueError",
       "Answer too large", 1, ""},
      {"a reset once the request is read is broken", reads(0, true), "Error", "Broken answer", 1,
       ""},
      {"a body nested 100,000 deep is refused",
       answers(http("200 OK", std::string(100000, '[') + std::string(100000, ']'))), "ValueError",
       "nested deeper", 1, ""},
      {"Retry-After for ever waits max_wait",
       answers(http("429 Too Many Requests\r\nRetry-After: " + forever, "{}")), "Error",
       "Max retries hit", 3, "1000 1000"},
      {"past, negative and unreadable waits leave the backoff",
       answers(http("429 Too Many\r\nx-ratelimit-reset: -9223372036854775808\r\nRetry-After: soon",
                    "{}")),
       "Error", "Max retries hit", 3, "10 20"},
      {"a refused connection is tried again", nullptr, "Error", "Max retries hit", 3, "10 20"},
      {"an answer over TLS is read", (answers(http("200 OK", R"([{"a":1}])"))), "", R"("a":1)", 1,
       "", Link::kTls},
      {"a server the system does not trust is refused", (answers(http("200 OK", "[]"))), "Error",
       "certificate verify failed", 3, "10 20", Link::kUntrusted},
      {"a reset before the handshake: nothing was sent, tried again", [](Peer& p) { p.reset(); },
       "Error", "Max retries hit", 3, "10 20", Link::kTls},
      {"a reset after part of a large request is broken", reads(16 << 10, true), "Error",
       "Broken answer", 1, "", Link::kTls, 1 << 20},
      {"a stalled answer over TLS times out", reads(1, false), "Error", "Timed out", 1, "",
       Link::kTls},
  };
  for (const Hostile& row : rows) {
    SCOPED_TRACE(row.what);
    // Serves each connection in turn with the row's behaviour; none listens without one.
    std::optional<LoopbackAcceptor> server;
    ssl::context* const peer_tls = row.link == Link::kPlain ? nullptr : &tls;
    if (row.serve) {
      server.emplace([&row, peer_tls](LoopbackAcceptor::Socket socket) {
        Peer peer(std::move(socket), peer_tls);
        row.serve(peer);
      });
    }
    const int port = server ? server->port() : closed_port();
    std::string pauses;
    rest::RestClient client(
        {.base_url = (row.link == Link::kPlain ? "http://127.0.0.1:" : "https://127.0.0.1:") +
                     std::to_string(port),
         .deadline = kDeadline,
         .max_answer_bytes = 1 << 20,
         .max_retries = 2,
         .backoff = 10ms,
         .max_wait = 1000ms,
         .ca_file = row.link == Link::kTls ? ca_file : ""},
        std::nullopt, [&](std::chrono::milliseconds wait) {
          pauses += (pauses.empty() ? "" : " ") + std::to_string(wait.count());
        });
    const auto started = std::chrono::steady_clock::now();
    std::string kind;
    std::string text;
    try {
      text = (row.request_bytes ? client.send("POST", "/order", std::string(row.request_bytes, 'x'))
                                : client.get("/order", {}))
                 .dump();
    } catch (const std::exception& failure) {
      kind = stoploss::failure_kind(failure);
      text = failure.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, kDeadline + 400ms);
    EXPECT_EQ(kind, row.kind) << text;
    EXPECT_THAT(text, testing::HasSubstr(row.text));
    int tries = 0;
    for (const auto& [route, count] : client.requests()) tries += count;
    EXPECT_EQ(tries, row.tries);
    EXPECT_EQ(pauses, row.pauses);
  }
  std::remove(ca_file.c_str());
}

}  // namespace
