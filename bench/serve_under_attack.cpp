// A well-behaved client of the embedded exchange over loopback HTTP while hostile clients attack
// it: each sample is a signed GET /instrument on a connection of its own, timed from the connect
// to the whole answer. The counters: its median and p99, how many samples failed (no 200 within
// 2 s), and the process's resident memory (the server's queues) when the attack ended.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Core/utils/unix_time.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "exchange/auth/signature.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kKey = "bench", kSecret = "bench-secret";
const std::string kInstrument = "/api/v1/instrument?symbol=XBTUSD";

tcp::endpoint loopback(int port) {
  return {asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)};
}

// One signed request on a new connection; its time, or nullopt when it failed.
std::optional<double> signed_request_ms(int port) {
  const auto started = Clock::now();
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(2));
  const long long expires = utils::unix_now() + 60;
  http::request<http::empty_body> request{http::verb::get, kInstrument, 11};
  request.set(http::field::host, "127.0.0.1");
  request.set("api-key", kKey);
  request.set("api-expires", std::to_string(expires));
  request.set("api-signature", auth::signature(kSecret, "GET", kInstrument, expires, ""));
  http::response<http::string_body> answer;
  beast::flat_buffer buffer;
  bool ok = false;
  stream.async_connect(loopback(port), [&](beast::error_code connected) {
    if (connected) return;
    http::async_write(stream, request, [&](beast::error_code sent, std::size_t) {
      if (sent) return;
      http::async_read(stream, buffer, answer, [&](beast::error_code read, std::size_t) {
        ok = !read && answer.result_int() == 200;
      });
    });
  });
  io.run();
  if (!ok) return std::nullopt;
  return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

// Whether the server has closed `socket` (a read that does not wait finds its end).
bool closed_by_server(tcp::socket& socket) {
  std::array<char, 4096> scratch{};
  beast::error_code ec;
  socket.read_some(asio::buffer(scratch), ec);
  return ec && ec != asio::error::would_block;
}

// Plain TCP clients, each opened by `open` (which sends what the client starts with), every one
// reopened as soon as the server closes it, and `each_second` sent on each once a second.
class TcpCrowd {
 public:
  TcpCrowd(int port, int count, std::string opening, std::string each_second)
      : thread_([=, this](const std::stop_token& stopped) {
          asio::io_context io;
          std::deque<tcp::socket> sockets;
          while (sockets.size() < static_cast<std::size_t>(count)) sockets.emplace_back(io);
          for (Clock::time_point next = Clock::now(); !stopped.stop_requested();) {
            for (tcp::socket& socket : sockets) {
              beast::error_code ec;
              if (socket.is_open() && !closed_by_server(socket)) continue;
              socket.close(ec);
              socket.connect(loopback(port), ec);
              if (!ec) asio::write(socket, asio::buffer(opening), ec);
              if (!ec) socket.non_blocking(true, ec);
              if (ec) socket.close(ec);  // again on the next round
            }
            if (Clock::now() >= next && !each_second.empty()) {
              beast::error_code ignored;
              for (tcp::socket& socket : sockets) {
                if (socket.is_open()) socket.write_some(asio::buffer(each_second), ignored);
              }
              next += std::chrono::seconds(1);
            }
            std::this_thread::sleep_for(milliseconds(100));
          }
        }) {}

 private:
  std::jthread thread_;
};

// Websocket clients of /realtime that never read: each sends `messages` every `every`,
// reconnecting when the server drops it.
class FeedCrowd {
 public:
  FeedCrowd(int port, int count, std::vector<std::string> messages, milliseconds every)
      : thread_([=](const std::stop_token& stopped) {
          asio::io_context io;
          using Socket = beast::websocket::stream<tcp::socket>;
          std::deque<std::optional<Socket>> sessions(static_cast<std::size_t>(count));
          while (!stopped.stop_requested()) {
            for (std::optional<Socket>& session : sessions) {
              try {
                if (!session) {
                  session.emplace(io);
                  session->next_layer().connect(loopback(port));
                  session->handshake("127.0.0.1", "/realtime");
                }
                for (const std::string& message : messages) session->write(asio::buffer(message));
              } catch (const std::exception&) {  // refused at the cap, or dropped: again later
                session.reset();
              }
            }
            std::this_thread::sleep_for(every);
          }
        }) {}

 private:
  std::jthread thread_;
};

std::string unknown_topics_subscribe() {
  std::string message = R"({"op":"subscribe","args":[)";
  for (int topic = 0; message.size() < (64 << 10) - 40; ++topic) {
    message += (topic == 0 ? "\"" : ",\"") + std::string("nosuch") + std::to_string(topic) + "\"";
  }
  return message + "]}";
}

long resident_mb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

enum Attack { kNone, kHeaderDrip, kIdleKeepAlive, kUnknownTopics, kUnreadPartials };

struct Attacking {
  std::optional<TcpCrowd> tcp;
  std::optional<FeedCrowd> feed;
};

void start_attack(Attacking& attacking, Attack attack, int port) {
  const std::string request_line = "GET " + kInstrument + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  switch (attack) {
    case kNone:
      return;
    case kHeaderDrip:  // 300 connections, each sending one header byte a second
      attacking.tcp.emplace(port, 300, request_line + "X-Slow: ", "a");
      return;
    case kIdleKeepAlive:  // 64 kept-alive connections idle after one request
      attacking.tcp.emplace(port, 64, request_line + "\r\n", "");
      return;
    case kUnknownTopics:  // 4 sessions, each sending a 64 KiB subscribe of unknown topics
      attacking.feed.emplace(port, 4, std::vector{unknown_topics_subscribe()}, milliseconds(250));
      return;
    case kUnreadPartials:  // 32 sessions asking for partials and reading none
      attacking.feed.emplace(
          port, 32,
          std::vector<std::string>{R"({"op":"subscribe","args":["instrument"]})",
                                   R"({"op":"unsubscribe","args":["instrument"]})"},
          milliseconds(1));
      return;
  }
}

void BM_ServeUnderAttack(benchmark::State& state) {
  const auto attack = static_cast<Attack>(state.range(0));
  sim::SimExchange exchange;
  exchange.list(sim::xbtusd(9000));
  exchange.list(sim::ethusd(1000));
  sim::SimServer server(
      exchange,
      {.key = kKey, .secret = kSecret, .rate_limit = 1000000, .orders_per_second = 1000000});
  const int port = server.start();
  std::vector<double> times;
  int failed = 0;
  long resident = 0;
  {
    Attacking attacking;
    start_attack(attacking, attack, port);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the attack under way
    for (auto _ : state) {
      const std::optional<double> took = signed_request_ms(port);
      state.SetIterationTime(took.value_or(2000) / 1000);
      if (took) times.push_back(*took);
      failed += took ? 0 : 1;
      std::this_thread::sleep_for(milliseconds(50));
    }
    resident = resident_mb();
  }
  server.stop();
  std::sort(times.begin(), times.end());
  const auto at = [&times](double share) {
    return times.empty() ? 0.0 : times[static_cast<std::size_t>(share * (times.size() - 1))];
  };
  state.counters["median_ms"] = at(0.5);
  state.counters["p99_ms"] = at(0.99);
  state.counters["failed"] = failed;
  state.counters["rss_mb"] = static_cast<double>(resident);
}

BENCHMARK(BM_ServeUnderAttack)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ArgName("attack")
    ->DenseRange(kNone, kUnreadPartials)
    ->Iterations(40);

}  // namespace
