#include "exchange/net/tls_context.hpp"

namespace rest {

boost::asio::ssl::context exchange_tls_context(const std::string& ca_file) {
  namespace ssl = boost::asio::ssl;
  ssl::context tls(ssl::context::tls_client);
  tls.set_verify_mode(ssl::verify_peer);
  if (ca_file.empty()) {
    tls.set_default_verify_paths();
  } else {
    tls.load_verify_file(ca_file);
  }
  return tls;
}

}  // namespace rest
