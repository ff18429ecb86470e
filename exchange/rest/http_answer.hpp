#pragma once

// What the REST client makes of an exchange's answer, apart from the network so that it can be
// fuzzed: the parser's bounds, the failure an unreadable answer stands for, and for a read
// answer its value, its failure or the wait before the next try.

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "Core/collaborators/record.hpp"
#include "exchange/rest/rest_client.hpp"
#include "exchange/rest/transport.hpp"

namespace rest {

using AnswerParser = boost::beast::http::response_parser<boost::beast::http::string_body>;

// The status line and headers together; a body is bounded by RestSettings::max_answer_bytes.
inline constexpr std::uint32_t kMaxHeaderBytes = 64 * 1024;

// Bounds the parser's header block (to `header_bytes`, what is left of kMaxHeaderBytes after
// any interim 1xx answers) and body (chunked or not) as the client does. Read the header block
// alone (read_header) before the rest: reading the whole message at once, Beast 1.74 passes
// over a Content-Length above the body limit when body bytes arrive with the header, and
// reserves that length.
void bound(AnswerParser& parser, std::uint64_t max_answer_bytes,
           std::uint32_t header_bytes = kMaxHeaderBytes);

// The read buffer: bounded too, so that no line the parser waits to see whole (a chunk header,
// say) can grow it without end.
boost::beast::flat_buffer answer_buffer();

// Throws the failure for an answer that could not be read (`error` is not a time-out):
// stoploss::ValueError past a bound, otherwise a std::runtime_error "Broken answer: ...".
// `request` names the request ("GET https://...").
[[noreturn]] void refuse_unreadable(const boost::beast::error_code& error,
                                    std::string_view request);

// The exchange's rate-limit headers of `answer`; each one missing or unreadable keeps its value
// in `previous`.
RateLimit rate_limit_of(const Answer& answer, const RateLimit& previous);

// 429 or 503: try again after `wait`; `reason` goes into "Max retries hit" when none is left.
struct Retry {
  std::chrono::milliseconds wait;
  std::string reason;
  long long rate_limit_reset = 0;  // 429: seconds it asks to wait, however long; 0 otherwise
};

struct TryContext {
  std::string_view verb;
  std::string_view url;
  int attempt = 0;  // 0 for the first try
  std::chrono::milliseconds backoff;
  std::chrono::milliseconds max_wait;
  long long now = 0;  // UNIX seconds
};

// backoff doubled for each try before `attempt`, at most max_wait.
std::chrono::milliseconds backoff_wait(const TryContext& context);

// A 2xx answer's JSON, or for 429 and 503 the wait before the next try: the backoff, on 429
// at least Retry-After (seconds) and until x-ratelimit-reset, and never more than max_wait.
// Throws stoploss::ValueError for a 2xx body that parse_json refuses and stoploss::HTTPError
// for any other status, its text carrying the exchange's own words (see http_error_text).
std::variant<stoploss::Value, Retry> interpret(const Answer& answer, const TryContext& context);

}  // namespace rest
