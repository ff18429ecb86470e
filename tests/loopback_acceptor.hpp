#pragma once

// A listener on a free port of 127.0.0.1 that hands each connection in turn to `serve`, on a
// thread of its own, until it is destroyed: the servers the client tests script.
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <thread>
#include <utility>

class LoopbackAcceptor {
 public:
  using Socket = boost::asio::ip::tcp::socket;

  explicit LoopbackAcceptor(std::function<void(Socket)> serve)
      : thread_([this, serve = std::move(serve)] {
          for (;;) {
            Socket socket(io_);
            boost::system::error_code error;
            acceptor_.accept(socket, error);
            if (error || stopping_) return;
            serve(std::move(socket));
          }
        }) {}
  ~LoopbackAcceptor() {  // wakes the accept with a connection of its own
    stopping_ = true;
    Socket wake(io_);
    boost::system::error_code ignored;
    wake.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
  }
  LoopbackAcceptor(const LoopbackAcceptor&) = delete;
  LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_{io_, {boost::asio::ip::make_address("127.0.0.1"), 0}};
  std::atomic<bool> stopping_ = false;
  std::thread thread_;  // last: started once the rest is in place
};
