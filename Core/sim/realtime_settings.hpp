#pragma once

#include <chrono>
#include <cstddef>

namespace sim {

// Bounds of the realtime feed's websocket connections.
struct RealtimeLimits {
  std::size_t message = std::size_t{64} << 10;  // a larger message from a client closes it
  std::size_t sessions = 32;                    // more are refused 429 at the handshake
  std::size_t queued = 4096;  // messages waiting for a client that does not read; more: dropped
  std::chrono::milliseconds handshake{5000};  // to open, and to close, a connection
  std::chrono::milliseconds idle{60000};      // a silent client is pinged halfway, then dropped
};

// Standing faults of the feed.
struct FeedFaults {
  std::chrono::milliseconds delay{0};  // every message leaves this much later than it could
  bool refuse_auth = false;            // every authKeyExpires refused, however it is signed
};

// Faults of the feed applied at once: kDrop ends every connection without a close frame; kStall
// sends nothing (no pong, no ping) for a time while the connections stay open; kRefuseAuth
// refuses the next authKeyExpires.
enum class FeedFault { kDrop, kStall, kRefuseAuth };

}  // namespace sim
