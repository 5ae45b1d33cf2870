// One HTTP(S) exchange through libcurl, with its failures told apart the way the embedding
// client reports them: an error status (HttpStatusError), a failure before any response
// arrived (UrlError), and everything else (a plain vantory::Error while reading the body).
//
// Every exchange opens its own connection. Redirects are followed (at most 10, to http and
// https URLs only); the reason phrase of the final status line is kept.
//
// Thread safety: http_request may be called from any number of threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace vantory {

// Request headers, name and value, sent in this order.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The server answered with a status outside 2xx (after following redirects).
class HttpStatusError : public Error {
 public:
  HttpStatusError(long code, std::string reason,
                  std::optional<std::int64_t> retry_after_seconds = std::nullopt);
  const char* kind() const noexcept override { return "HTTPError"; }
  long code() const { return code_; }
  const std::string& reason() const { return reason_; }
  // The answer's Retry-After header when it gave a number of seconds (the date form is not
  // read).
  std::optional<std::int64_t> retry_after_seconds() const { return retry_after_; }

 private:
  long code_;
  std::string reason_;
  std::optional<std::int64_t> retry_after_;
};

// The request failed before a response arrived: name resolution, a refused connection, the
// TLS handshake, sending the request, a time-out while connecting or waiting for the answer.
// what() is the reason.
class UrlError : public Error {
 public:
  using Error::Error;
  const char* kind() const noexcept override { return "URLError"; }
};

// An exchange still receiving data after this many time-outs is abandoned as timed out, so
// a server that trickles bytes forever cannot hold a caller.
inline constexpr std::int64_t kMaxExchangeTimeouts = 10;

struct HttpSettings {
  // Bounds connecting (TLS handshake included) and each wait for data, in seconds (> 0).
  std::int64_t timeout_seconds = 60;
  // Bounds the whole exchange, in seconds; 0 means kMaxExchangeTimeouts x timeout_seconds.
  std::int64_t deadline_seconds = 0;
  // When set, the moment by which the exchange ends whatever deadline_seconds says (an
  // exchange that starts later fails at once as timed out).
  std::optional<std::chrono::steady_clock::time_point> deadline_at;
  // Verify the server's certificate and that it names the host.
  bool verify_tls = false;
};

// Bodies beyond this size are refused: an embedding answer is a few tens of KB.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{64} << 20;

// Sends `method` ("GET" or "POST") to `url` with `headers` and, for POST, `body`; answers the
// response body. Throws HttpStatusError, UrlError, or Error ("timed out" when reading the
// body stalls; ValueError for a header holding a line break or NUL).
std::string http_request(const std::string& method, const std::string& url,
                         const HttpHeaders& headers, const std::string& body,
                         const HttpSettings& settings);

}  // namespace vantory
