#pragma once

#include <string>
#include <string_view>

namespace app::guard {

// An address to listen on that only this machine reaches.
struct LoopbackEndpoint {
  std::string host;  // "127.x.y.z" or "::1"
  unsigned short port = 0;
};

// Reads "127.0.0.1:PORT" (any 127.0.0.0/8 address) or "[::1]:PORT", PORT from 1 to 65535;
// throws std::invalid_argument saying what is wrong for anything else.
LoopbackEndpoint parse_loopback_endpoint(std::string_view text);

}  // namespace app::guard
