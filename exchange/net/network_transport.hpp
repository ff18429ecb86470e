#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "exchange/rest/transport.hpp"

namespace rest {

// Over http:// or https:// to `base_url` (exchange_url.hpp), a fresh connection per try, answers
// bounded to `max_answer_bytes`; certificates verified against the system's authorities, or
// `ca_file`'s when set, and the host name checked.
std::unique_ptr<Transport> network_transport(const std::string& base_url,
                                             std::uint64_t max_answer_bytes,
                                             const std::string& ca_file);

}  // namespace rest
