#pragma once

#include <string>
#include <string_view>

namespace auth {

// The exchange's request signature: lowercase hex HMAC-SHA256 keyed with the API secret over
// verb + path (with its query, exactly as sent) + expires (UNIX seconds) + body (as sent).
std::string signature(std::string_view secret, std::string_view verb, std::string_view path,
                      long long expires, std::string_view body);

// Constant-time comparison of two signatures, for the side that checks them.
bool same_signature(std::string_view a, std::string_view b);

}  // namespace auth
