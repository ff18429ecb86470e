#pragma once

#include <chrono>
#include <cstddef>

namespace sim {

// Bounds of the realtime feed's websocket connections.
struct RealtimeLimits {
  std::size_t message = std::size_t{64} << 10;  // a larger message from a client closes it
  // Beyond it a new connection ends the one that has held no subscription for the longest, or is
  // refused 429 at the handshake when every one holds some.
  std::size_t sessions = 32;
  // Bytes waiting for a client that does not read them; a connection past it is dropped.
  std::size_t queued_bytes = std::size_t{4} << 20;
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
