#include "Core/Rest/rest_client.hpp"

#include <fmt/format.h>
#include <httplib.h>

#include <thread>

#include "Core/auth/signature.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/utils/unix_time.hpp"

namespace rest {
namespace {

constexpr std::string_view kApi = "/api/v1";

std::string_view reason_of(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "HTTP error";
  }
}

// The exchange refuses a further stop order in words of its own; the module looks for this.
bool refuses_stop_limit(const std::string& body) {
  std::string lower(body);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("stop orders") != std::string::npos &&
         (lower.find("too many") != std::string::npos || lower.find("max") != std::string::npos);
}

long header_number(const httplib::Response& answer, const char* name, long otherwise) {
  if (!answer.has_header(name)) return otherwise;
  try {
    return std::stol(answer.get_header_value(name));
  } catch (const std::exception&) {
    return otherwise;
  }
}

}  // namespace

std::string url_encode(std::string_view text) {
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded += fmt::format("%{:02X}", c);
    }
  }
  return encoded;
}

RestClient::RestClient(RestSettings settings, std::optional<auth::Credentials> credentials,
                       Pause pause)
    : settings_(std::move(settings)),
      credentials_(std::move(credentials)),
      pause_(pause ? std::move(pause)
                   : [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); }),
      client_(std::make_unique<httplib::Client>(settings_.base_url)) {
  if (!client_->is_valid()) {
    throw std::invalid_argument("not an exchange URL: " + settings_.base_url);
  }
  client_->set_url_encode(false);  // the target is signed exactly as it is sent
  client_->set_connection_timeout(settings_.timeout);
  client_->set_read_timeout(settings_.timeout);
  client_->set_write_timeout(settings_.timeout);
  client_->enable_server_certificate_verification(true);
}

RestClient::~RestClient() = default;

stoploss::Value RestClient::get(std::string_view path, const Query& query) {
  std::string target = std::string(kApi).append(path);
  for (std::size_t i = 0; i < query.size(); ++i) {
    target += fmt::format("{}{}={}", i ? '&' : '?', url_encode(query[i].first),
                          url_encode(query[i].second));
  }
  return request("GET", target, "");
}

stoploss::Value RestClient::send(std::string_view verb, std::string_view path,
                                 const stoploss::Value& body) {
  return request(verb, std::string(kApi).append(path), body.dump());
}

stoploss::Value RestClient::request(std::string_view verb, const std::string& target,
                                    const std::string& body) {
  const std::string route = std::string(verb) + " " + target.substr(0, target.find('?'));
  const std::string url = settings_.base_url + target;
  std::string last_reason;
  for (int attempt = 0; attempt <= settings_.max_retries; ++attempt) {
    httplib::Headers headers;
    if (credentials_) {
      const long long expires = utils::unix_now() + settings_.expires_after.count();
      headers.emplace("api-expires", std::to_string(expires));
      headers.emplace("api-key", credentials_->key);
      headers.emplace("api-signature",
                      auth::signature(credentials_->secret, verb, target, expires, body));
    }
    ++requests_[route];
    const auto answer = verb == "GET"    ? client_->Get(target, headers)
                        : verb == "POST" ? client_->Post(target, headers, body, "application/json")
                        : verb == "PUT"
                            ? client_->Put(target, headers, body, "application/json")
                            : client_->Delete(target, headers, body, "application/json");
    if (!answer) {
      const auto error = answer.error();
      if (error == httplib::Error::Read || error == httplib::Error::Write) {
        throw std::runtime_error(
            fmt::format("Timed out: {} {} ({})", verb, url, httplib::to_string(error)));
      }
      last_reason = httplib::to_string(error);
      if (attempt < settings_.max_retries) pause_(settings_.backoff * (1 << attempt));
      continue;
    }
    rate_limit_ = {header_number(*answer, "x-ratelimit-limit", rate_limit_.limit),
                   header_number(*answer, "x-ratelimit-remaining", rate_limit_.remaining),
                   header_number(*answer, "x-ratelimit-reset", rate_limit_.reset)};
    const int status = answer->status;
    if (status >= 200 && status < 300) {
      try {
        return stoploss::parse_json(answer->body);
      } catch (const stoploss::ValueError& error) {
        throw stoploss::ValueError(
            fmt::format("the answer to {} {} is {}", verb, url, error.what()));
      }
    }
    if (status == 503 || status == 429) {
      last_reason = fmt::format("{} {}", status, reason_of(status));
      auto wait = settings_.backoff * (1 << attempt);
      if (status == 429 && rate_limit_.reset > 0) {
        wait = std::max<std::chrono::milliseconds>(
            wait, std::chrono::seconds(std::max(0LL, rate_limit_.reset - utils::unix_now())));
      }
      if (attempt < settings_.max_retries) pause_(wait);
      continue;
    }
    std::string text = fmt::format("{} {} Error: {} for url: {}", status,
                                   status < 500 ? "Client" : "Server", reason_of(status), url);
    if (refuses_stop_limit(answer->body)) text += " (Max Stop orders)";
    throw stoploss::HTTPError(text, {status, answer->body});
  }
  throw std::runtime_error(fmt::format("Max retries hit: {} {} ({})", verb, url, last_reason));
}

}  // namespace rest
