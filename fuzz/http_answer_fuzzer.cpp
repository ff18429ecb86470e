// Raw bytes as an exchange's answer, after two bytes that pick the size of the pieces it
// arrives in and the try it answers. It is read as the REST client reads one (the header block
// first, then the rest, with the same bounds and buffer), then interpreted. An unreadable answer
// must be refused as too large (ValueError) or broken; a read one must hold at most the cap and
// end as a value or a ValueError (2xx), a wait within max_wait (429, 503) or an HTTPError
// carrying its status; what the exchange's words put in a failure's text is printable and bounded.
#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/http/read.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "Core/collaborators/failures.hpp"
#include "exchange/rest/failure_texts.hpp"
#include "exchange/rest/http_answer.hpp"
#include "fuzz_check.hpp"

namespace {

namespace http = boost::beast::http;

constexpr long long kNow = 1'700'000'000;

// Hands out the input `piece` bytes at a time, then the end of the stream.
class Wire {
 public:
  Wire(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers, boost::system::error_code& error) {
    if (bytes_.empty()) {
      error = boost::asio::error::eof;
      return 0;
    }
    error = {};
    const std::size_t n = boost::asio::buffer_copy(
        buffers, boost::asio::buffer(bytes_.data(), std::min(piece_, bytes_.size())));
    bytes_.remove_prefix(n);
    return n;
  }
  template <class Buffers>
  std::size_t read_some(const Buffers& buffers) {
    boost::system::error_code error;
    const std::size_t n = read_some(buffers, error);
    if (error) throw boost::system::system_error(error);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

void expect_refused(const boost::system::error_code& error) {
  try {
    rest::refuse_unreadable(error, "GET /api/v1/order");
  } catch (const stoploss::ValueError& refused) {
    fuzz::expect(error == http::error::body_limit || error == http::error::header_limit ||
                     error == http::error::buffer_overflow,
                 "an answer within the bounds was refused as too large", refused.what());
  } catch (const std::runtime_error& broken) {
    fuzz::expect(std::string_view(broken.what()).starts_with("Broken answer"),
                 "an unreadable answer was not reported broken", broken.what());
  }
}

// Printable ASCII, and no longer than the status line, the URL, the markers and the exchange's
// words at their bound.
bool loggable(std::string_view text, const rest::TryContext& context) {
  return text.size() <= 200 + context.url.size() + rest::kMaxReasonChars &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

void expect_interpreted(const rest::Answer& answer, const rest::TryContext& context) {
  const int status = static_cast<int>(answer.result_int());
  const bool ok = status >= 200 && status < 300;
  const bool retried = status == 429 || status == 503;
  try {
    const auto verdict = rest::interpret(answer, context);
    if (const auto* retry = std::get_if<rest::Retry>(&verdict)) {
      fuzz::expect(retried, "a wait for an answer that is not 429 or 503");
      fuzz::expect(loggable(retry->reason, context), "a reason a log cannot show", retry->reason);
      fuzz::expect(retry->wait >= rest::backoff_wait(context) && retry->wait <= context.max_wait,
                   "a wait outside the backoff and max_wait",
                   [&] { return std::to_string(retry->wait.count()) + " ms"; });
    } else {
      fuzz::expect(ok, "a value from an answer that is not 2xx");
    }
  } catch (const stoploss::HTTPError& refused) {
    fuzz::expect(!ok && !retried && refused.response().status_code == status &&
                     std::string_view(refused.what()).starts_with(std::to_string(status) + " "),
                 "an HTTPError that does not carry its status", refused.what());
    fuzz::expect(loggable(refused.what(), context), "a text a log cannot show", refused.what());
  } catch (const stoploss::ValueError& refused) {
    fuzz::expect(ok, "a ValueError for an answer that is not 2xx", refused.what());
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure("interpreting the answer", failure);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] == 0 ? 65536 : data[0] * 97u;
  const int attempt = data[1] % 8;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const rest::RestSettings settings;

  Wire wire(bytes, piece);
  rest::AnswerParser parser;
  rest::bound(parser, settings.max_answer_bytes);
  boost::beast::flat_buffer buffer = rest::answer_buffer();
  boost::system::error_code error;
  http::read_header(wire, buffer, parser, error);
  if (!error && !parser.is_done()) http::read(wire, buffer, parser, error);
  if (error) {
    expect_refused(error);
    return 0;
  }
  const rest::Answer answer = parser.release();
  fuzz::expect(answer.body().size() <= settings.max_answer_bytes, "a body over the cap was read");
  rest::rate_limit_of(answer, {});
  expect_interpreted(answer, {.verb = "GET",
                              .url = "https://testnet.bitmex.com/api/v1/order",
                              .attempt = attempt,
                              .backoff = settings.backoff,
                              .max_wait = settings.max_wait,
                              .now = kNow});
  return 0;
}
