#include "embedded_exchange/http/http_listener.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cctype>
#include <cstdint>
#include <limits>
#include <mutex>
#include <ranges>
#include <set>
#include <stdexcept>
#include <thread>

#include "embedded_exchange/http/http_upgrade.hpp"

namespace sim {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query's "%7B" and "+" read back; a '%' not followed by two hex digits stays as it is.
std::string lower_case(std::string_view text) {
  std::string lowered(text);
  std::ranges::transform(lowered, lowered.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lowered;
}

}  // namespace

std::string percent_decoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = text[i] == '%' && i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
    const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
    if (low >= 0) {
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += text[i] == '+' ? ' ' : text[i];
    }
  }
  return decoded;
}

std::string_view HttpRequest::path() const {
  return std::string_view(target).substr(0, target.find('?'));
}

std::string HttpRequest::header(std::string_view name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

std::optional<std::string> HttpRequest::param(std::string_view name) const {
  const std::size_t mark = target.find('?');
  if (mark == std::string::npos) return std::nullopt;
  std::string_view query = std::string_view(target).substr(mark + 1);
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    const std::size_t equals = pair.find('=');
    if (percent_decoded(pair.substr(0, equals)) == name) {
      return equals == std::string_view::npos ? std::string()
                                              : percent_decoded(pair.substr(equals + 1));
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return std::nullopt;
}

class HttpListener::Impl {
 public:
  Impl(HttpLimits limits, Handler handler, Refusal refusal)
      : limits_(limits), handler_(std::move(handler)), refusal_(std::move(refusal)) {}
  ~Impl() { stop(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  int start(const std::string& host, int port) {
    if (io_) throw std::logic_error("HttpListener is already serving");
    const auto cannot = [&](const std::string& why) {
      return std::runtime_error(fmt::format("cannot listen on {}:{}: {}", host, port, why));
    };
    if (port < 0 || port > std::numeric_limits<std::uint16_t>::max()) throw cannot("no such port");
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec) throw cannot("not an IP address");
    auto io = std::make_unique<asio::io_context>(1);
    tcp::acceptor acceptor(*io);
    const tcp::endpoint endpoint(address, static_cast<std::uint16_t>(port));
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    const int bound = ec ? 0 : acceptor.local_endpoint(ec).port();
    if (ec) throw cannot(ec.message());

    {
      const std::lock_guard lock(post_mutex_);
      io_ = std::move(io);
    }
    acceptor_.emplace(std::move(acceptor));
    accept_pause_.emplace(*io_);
    accept();
    thread_ = std::thread([this] {
      for (;;) {
        try {
          io_->run();
          return;
        } catch (const std::exception&) {
          // A handler failed; its connection is gone and the others go on.
        }
      }
    });
    return bound;
  }

  void stop() {
    if (!io_) return;
    io_->stop();
    thread_.join();
    accept_pause_.reset();
    acceptor_.reset();
    // Destroys the handlers still waiting, and with them every connection, whatever state its
    // client left it in.
    std::unique_ptr<asio::io_context> ended;
    {
      const std::lock_guard lock(post_mutex_);
      ended = std::move(io_);
    }
  }

  void upgrade_with(UpgradeHandler& handler) { upgrade_ = &handler; }

  bool post(std::function<void()> task) {
    const std::lock_guard lock(post_mutex_);
    if (!io_ || io_->stopped()) return false;
    asio::post(*io_, std::move(task));
    return true;
  }

 private:
  class Connection;

  void accept();
  void close_longest_waiting();

  const HttpLimits limits_;
  const Handler handler_;
  const Refusal refusal_;
  std::unique_ptr<asio::io_context> io_;
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> accept_pause_;
  UpgradeHandler* upgrade_ = nullptr;
  std::mutex post_mutex_;       // io_ as post() sees it
  std::set<Connection*> open_;  // not closed yet; touched on the serving thread only
  std::thread thread_;
};

// One client's connection: reads a request within the read deadline, answers it, and waits for
// the next within the idle time. Every step is bounded by the one timer, which closes the socket
// when it expires.
class HttpListener::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& server, tcp::socket socket)
      : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()) {
    server_.open_.insert(this);
  }
  ~Connection() { server_.open_.erase(this); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start() {
    waiting_since_ = Clock::now();
    read_request();
  }

  // Since when the connection has waited for a whole request (since it was accepted, or since its
  // last answer); nullopt while one is answered.
  std::optional<Clock::time_point> waiting_since() const { return waiting_since_; }

  void close() {
    server_.open_.erase(this);
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
    timer_.cancel();
  }

 private:
  const HttpLimits& limits() const { return server_.limits_; }

  void deadline(std::chrono::milliseconds after) {
    timer_.expires_after(after);
    timer_.async_wait([weak = weak_from_this()](const error_code& ec) {
      const auto self = weak.lock();
      // A wait that completed just before the timer was set again is not a deadline.
      if (ec || !self || self->timer_.expiry() > asio::steady_timer::clock_type::now()) return;
      self->close();
    });
  }

  void await_next_request() {
    if (buffer_.size() > 0) return read_request();  // already sent
    deadline(limits().idle);
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& ec) {
      if (!ec) self->read_request();
    });
  }

  void read_request() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(
        std::min<std::size_t>(limits().header, std::numeric_limits<std::uint32_t>::max())));
    parser_->body_limit(limits().body);  // also refuses a larger Content-Length before the body
    deadline(limits().read_deadline);
    http::async_read_header(socket_, buffer_, *parser_,
                            [self = shared_from_this()](const error_code& ec, std::size_t) {
                              if (ec) return self->refuse(ec);
                              if (self->parser_->is_done()) return self->answer();
                              http::async_read(self->socket_, self->buffer_, *self->parser_,
                                               [self](const error_code& read, std::size_t) {
                                                 if (read) return self->refuse(read);
                                                 self->answer();
                                               });
                            });
  }

  void refuse(const error_code& ec) {
    waiting_since_.reset();
    if (ec == http::error::body_limit) {
      return send(
          server_.refusal_(413, fmt::format("Request body larger than {} bytes", limits().body)));
    }
    if (ec == http::error::header_limit) {
      return send(server_.refusal_(
          431, fmt::format("Request header larger than {} bytes", limits().header)));
    }
    const bool malformed = ec.category() == http::make_error_code(http::error{}).category() &&
                           ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (malformed) return send(server_.refusal_(400, "Malformed HTTP request"));
    close();  // the client left, or the deadline passed
  }

  void answer() {
    waiting_since_.reset();
    auto& message = parser_->get();
    HttpRequest request{std::string(message.method_string()),
                        std::string(message.target()),
                        {},
                        std::move(message.body())};
    for (const auto& field : message) {
      const auto name = field.name_string();
      request.headers.emplace(lower_case({name.data(), name.size()}), std::string(field.value()));
    }
    HttpAnswer answer;
    if (server_.upgrade_ && boost::beast::websocket::is_upgrade(message) &&
        server_.upgrade_->wants(request)) {
      try {
        std::optional<HttpAnswer> refused = server_.upgrade_->take(request, socket_, message);
        if (refused) return send(std::move(*refused));
        timer_.cancel();  // the socket is the handler's now
        return;
      } catch (const std::exception&) {
        return send(server_.refusal_(500, "Internal error"));
      }
    }
    try {
      answer = server_.handler_(request);
    } catch (const std::exception&) {
      answer = server_.refusal_(500, "Internal error");
    }
    send(std::move(answer), message.keep_alive(), message.version());
  }

  void send(HttpAnswer answer, bool keep_alive = false, unsigned version = 11) {
    response_ = {};
    response_.version(version);
    response_.result(static_cast<unsigned>(answer.status));
    for (const auto& [name, value] : answer.headers) response_.set(name, value);
    response_.body() = std::move(answer.body);
    response_.keep_alive(keep_alive);
    response_.prepare_payload();
    if (answer.delay.count() <= 0) return write();
    timer_.expires_after(answer.delay);
    timer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->write();
    });
  }

  void write() {
    deadline(limits().read_deadline);  // a client that does not read its answer is dropped
    http::async_write(socket_, response_,
                      [self = shared_from_this()](const error_code& ec, std::size_t) {
                        if (ec || !self->response_.keep_alive()) return self->close();
                        self->waiting_since_ = Clock::now();
                        self->await_next_request();
                      });
  }

  Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  std::optional<Clock::time_point> waiting_since_;
};

// At the cap, the connection that has waited longest for a whole request is closed to make room:
// a client that sends slowly, or holds its connection idle, cannot keep out one that works. One
// whose request is being answered is left alone.
void HttpListener::Impl::close_longest_waiting() {
  auto waiting = open_ | std::views::filter(
                             [](const Connection* c) { return c->waiting_since().has_value(); });
  const auto longest = std::ranges::min_element(
      waiting, {}, [](const Connection* c) { return *c->waiting_since(); });
  if (longest != waiting.end()) (*longest)->close();
}

void HttpListener::Impl::accept() {
  acceptor_->async_accept([this](const error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {  // out of descriptors, say: try again shortly rather than spin
      accept_pause_->expires_after(std::chrono::milliseconds(50));
      accept_pause_->async_wait([this](const error_code& waited) {
        if (!waited) accept();
      });
      return;
    }
    if (open_.size() >= limits_.connections) close_longest_waiting();
    // Still at the cap (every connection is being answered): the socket is closed as it goes out
    // of scope.
    if (open_.size() < limits_.connections) {
      std::make_shared<Connection>(*this, std::move(socket))->start();
    }
    accept();
  });
}

HttpListener::HttpListener(HttpLimits limits, Handler handler, Refusal refusal)
    : impl_(std::make_unique<Impl>(limits, std::move(handler), std::move(refusal))) {}

HttpListener::~HttpListener() = default;

int HttpListener::start(const std::string& host, int port) { return impl_->start(host, port); }

void HttpListener::upgrade_with(UpgradeHandler& handler) { impl_->upgrade_with(handler); }

bool HttpListener::post(std::function<void()> task) { return impl_->post(std::move(task)); }

void HttpListener::stop() { impl_->stop(); }

}  // namespace sim
