#pragma once

#include <boost/asio/ssl/context.hpp>
#include <string>

namespace rest {

// TLS for every connection to the exchange (REST and the realtime feed): the peer's
// certificate verified against the system's authorities, or those in `ca_file` when given.
boost::asio::ssl::context exchange_tls_context(const std::string& ca_file);

}  // namespace rest
