// The REST client against a hostile server of the test's own on loopback: every answer that
// could hang it, grow its memory, kill the process or be taken for a time-out ends as the
// failure the module expects, within about one deadline and with the waits clamped.
#include "Core/Rest/rest_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Core/collaborators/failures.hpp"

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto kDeadline = 200ms;
constexpr auto kBackoff = 10ms;
constexpr auto kMaxWait = 1000ms;
constexpr std::uint64_t kCap = 1 << 20;
constexpr std::size_t kFlood = 64 << 20;  // the most any endless answer sends

// One accepted connection, plain or TLS.
class Peer {
 public:
  Peer(tcp::socket socket, ssl::context* tls) : socket_(std::move(socket)) {
    if (tls) tls_.emplace(socket_, *tls);
  }

  bool handshake() {
    boost::system::error_code error;
    tls_->handshake(ssl::stream_base::server, error);
    return !error;
  }
  // The request's header block (a GET has no body).
  void read_head() {
    std::string head;
    on_stream(
        [&](auto& s, auto& e) { asio::read_until(s, asio::dynamic_buffer(head), "\r\n\r\n", e); });
  }
  bool read(std::size_t bytes) {
    std::string part(bytes, '\0');
    return !on_stream([&](auto& s, auto& e) { asio::read(s, asio::buffer(part), e); });
  }
  bool write(std::string_view bytes) {
    return !on_stream([&](auto& s, auto& e) { asio::write(s, asio::buffer(bytes), e); });
  }
  void reset() {  // SO_LINGER 0: the close sends a TCP reset
    boost::system::error_code ignored;
    socket_.set_option(tcp::socket::linger(true, 0), ignored);
    socket_.close(ignored);
  }

 private:
  template <class Op>
  boost::system::error_code on_stream(Op op) {
    boost::system::error_code error;
    if (tls_) {
      op(*tls_, error);
    } else {
      op(socket_, error);
    }
    return error;
  }

  tcp::socket socket_;
  std::optional<ssl::stream<tcp::socket&>> tls_;
};

using Behaviour = std::function<void(Peer&)>;

// Serves each connection on 127.0.0.1 in turn with `behaviour`, on a thread of its own.
class HostileServer {
 public:
  HostileServer(Behaviour behaviour, ssl::context* tls)
      : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}),
        thread_([this, behaviour = std::move(behaviour), tls] {
          for (;;) {
            tcp::socket socket(io_);
            boost::system::error_code error;
            acceptor_.accept(socket, error);
            if (error || stopping_) return;
            Peer peer(std::move(socket), tls);
            behaviour(peer);
          }
        }) {}
  ~HostileServer() {
    stopping_ = true;
    tcp::socket wake(io_);
    boost::system::error_code ignored;
    wake.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
  }
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};

// A port nothing listens on.
int closed_port() {
  asio::io_context io;
  const tcp::acceptor bound(io, {asio::ip::make_address("127.0.0.1"), 0});
  return bound.local_endpoint().port();
}

Behaviour answers(std::string bytes) {
  return [bytes = std::move(bytes)](Peer& peer) {
    peer.read_head();
    peer.write(bytes);
  };
}

Behaviour over_tls(Behaviour then) {
  return [then = std::move(then)](Peer& peer) {
    if (peer.handshake()) then(peer);
  };
}

// `head`, then `piece` again and again until the client goes or kFlood bytes went.
Behaviour floods(std::string head, std::string piece) {
  return [head = std::move(head), piece = std::move(piece)](Peer& peer) {
    peer.read_head();
    for (std::size_t sent = 0; sent < kFlood && peer.write(sent ? piece : head);
         sent += piece.size()) {
    }
  };
}

void resets(Peer& peer) { peer.reset(); }

void resets_once_read(Peer& peer) {
  peer.read_head();
  peer.reset();
}

void resets_after_16_kib(Peer& peer) {
  peer.read(16 << 10);
  peer.reset();
}

void stalls(Peer& peer) {
  peer.read_head();
  peer.read(1);  // until the client goes
}

// The header at once, then the body a byte every 10 ms: each read is quick, the whole is not.
void drips(Peer& peer) {
  peer.read_head();
  if (!peer.write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")) return;
  for (int i = 0; i < 100 && peer.write("1"); ++i) std::this_thread::sleep_for(10ms);
}

std::string ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string too_many(const std::string& headers) {
  return "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 2\r\n" + headers + "\r\n{}";
}

struct Hostile {
  const char* what;
  Behaviour serve;   // nothing: no server listens
  const char* kind;  // the failure's kind, or "" when the answer is read
  const char* text;  // in the failure's text, or in the value read
  int tries;
  const char* pauses;             // the waits between tries in ms, as "10 20"
  std::size_t request_bytes = 0;  // a POST of this many bytes instead of a GET
  bool untrusted = false;         // the client trusts the system's authorities only
};

void expect_row(const Hostile& row, ssl::context* tls, const std::string& ca_file) {
  SCOPED_TRACE(row.what);
  std::optional<HostileServer> server;
  const int port = row.serve ? server.emplace(row.serve, tls).port() : closed_port();
  std::string pauses;
  rest::RestClient client(
      {.base_url = (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port),
       .deadline = kDeadline,
       .max_answer_bytes = kCap,
       .max_retries = 2,
       .backoff = kBackoff,
       .max_wait = kMaxWait,
       .ca_file = row.untrusted ? "" : ca_file},
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
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(kind, row.kind) << text;
  EXPECT_THAT(text, testing::HasSubstr(row.text));
  const auto& sent = client.requests();
  EXPECT_EQ(std::accumulate(sent.begin(), sent.end(), 0,
                            [](int n, const auto& route) { return n + route.second; }),
            row.tries);
  EXPECT_EQ(pauses, row.pauses);
  EXPECT_LT(took, kDeadline + 400ms);
}

// A failure past the first byte of the answer must never be taken for a time-out, be tried
// again or kill the process: SIGPIPE keeps its default action here.
TEST(rest_client, HostileAnswersEndAsTheFailureTheModuleExpects) {
  std::signal(SIGPIPE, SIG_DFL);
  const std::string forever = "9223372036854775807";
  const Hostile rows[] = {
      {"a JSON answer is read", answers(ok(R"([{"a":1}])")), "", R"("a":1)", 1, ""},
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
      {"a body cut short by a close is broken",
       answers("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n[1,2"), "Error", "Broken answer", 1,
       ""},
      {"an answer that is not HTTP is broken", answers("SSH-2.0-OpenSSH_9.2\r\n\r\n"), "Error",
       "Broken answer", 1, ""},
      {"a close without an answer is broken", answers(""), "Error", "Broken answer", 1, ""},
      {"a reset once the request is read is broken", resets_once_read, "Error", "Broken answer", 1,
       ""},
      {"a body nested 100,000 deep is refused",
       answers(ok(std::string(100000, '[') + std::string(100000, ']'))), "ValueError",
       "nested deeper", 1, ""},
      {"a number out of range is refused", answers(ok("[1e400]")), "ValueError", "number overflow",
       1, ""},
      {"Retry-After for ever waits max_wait", answers(too_many("Retry-After: " + forever + "\r\n")),
       "Error", "Max retries hit", 3, "1000 1000"},
      {"a rate-limit reset for ever waits max_wait",
       answers(too_many("x-ratelimit-reset: " + forever + "\r\n")), "Error", "Max retries hit", 3,
       "1000 1000"},
      {"past, negative and unreadable waits leave the backoff",
       answers(too_many("x-ratelimit-reset: -9223372036854775808\r\nRetry-After: soon\r\n")),
       "Error", "Max retries hit", 3, "10 20"},
      {"a refused connection is tried again", nullptr, "Error", "Max retries hit", 3, "10 20"},
  };
  for (const Hostile& row : rows) expect_row(row, nullptr, "");
}

struct Pem {
  std::string certificate;
  std::string key;
};

// A self-signed certificate for 127.0.0.1 and its key.
Pem loopback_certificate() {
  const auto check = [](int result) {
    if (result <= 0) throw std::runtime_error("OpenSSL refused to make the test certificate");
  };
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                &EVP_PKEY_free);
  const std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  check(key && cert);
  check(X509_set_version(cert.get(), 2));
  check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1));
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr);
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600) != nullptr);
  X509_NAME* name = X509_get_subject_name(cert.get());
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0));
  check(X509_set_issuer_name(cert.get(), name));
  check(X509_set_pubkey(cert.get(), key.get()));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> names(
      X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1"),
      &X509_EXTENSION_free);
  check(names != nullptr);
  check(X509_add_ext(cert.get(), names.get(), -1));
  check(X509_sign(cert.get(), key.get(), EVP_sha256()));

  const auto pem = [&](auto write) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
    check(write(out.get()));
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
  };
  return {pem([&](BIO* out) { return PEM_write_bio_X509(out, cert.get()); }), pem([&](BIO* out) {
            return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          })};
}

TEST(rest_client, TlsResetsNeverKillTheProcess) {
  std::signal(SIGPIPE, SIG_DFL);
  const Pem pem = loopback_certificate();
  ssl::context tls(ssl::context::tls_server);
  tls.use_certificate(asio::buffer(pem.certificate), ssl::context::pem);
  tls.use_private_key(asio::buffer(pem.key), ssl::context::pem);
  const std::string ca_file = testing::TempDir() + "rest_client_test_ca.pem";
  std::ofstream(ca_file) << pem.certificate;

  const Hostile rows[] = {
      {"an answer over TLS is read", over_tls(answers(ok(R"([{"a":1}])"))), "", R"("a":1)", 1, ""},
      {"a server the system does not trust is refused", over_tls(answers(ok("[]"))), "Error",
       "certificate verify failed", 3, "10 20", 0, true},
      {"a reset before the handshake: nothing was sent, tried again", resets, "Error",
       "Max retries hit", 3, "10 20"},
      {"a reset after part of a large request is broken", over_tls(resets_after_16_kib), "Error",
       "Broken answer", 1, "", 1 << 20},
      {"a stalled answer over TLS times out", over_tls(stalls), "Error", "Timed out", 1, ""},
  };
  for (const Hostile& row : rows) expect_row(row, &tls, ca_file);
}

}  // namespace
