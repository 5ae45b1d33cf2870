#include "memory/embedding/http_client.h"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace vantory {

HttpStatusError::HttpStatusError(long code, std::string reason,
                                 std::optional<std::int64_t> retry_after_seconds)
    : Error("HTTP Error " + std::to_string(code) + ": " + reason),
      code_(code),
      reason_(std::move(reason)),
      retry_after_(retry_after_seconds) {}

namespace {

using Clock = std::chrono::steady_clock;

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// TLS writes to a connection the peer has closed raise SIGPIPE, which would end the host
// process. The signal is blocked in this thread for the exchange and a SIGPIPE raised
// meanwhile is consumed, leaving the host's own handling untouched.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

// What one exchange has seen so far; filled by libcurl's callbacks.
struct Exchange {
  std::string body;
  bool body_too_large = false;

  // The latest status line and whether its header block is complete.
  long status = 0;
  std::string reason;
  bool headers_complete = false;
  bool has_location = false;
  std::optional<std::int64_t> retry_after;

  Clock::duration timeout{};
  Clock::duration deadline{};
  Clock::time_point started;
  Clock::time_point last_activity;
  bool connected = false;
  curl_off_t bytes_seen = 0;
  bool timed_out = false;

  // True once the final response started: a complete header block that is not a redirect
  // about to be followed.
  bool response_started() const {
    if (!headers_complete || status < 200) return false;
    bool redirect = status == 301 || status == 302 || status == 303 || status == 307 ||
                    status == 308;
    return !(redirect && has_location);
  }
};

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view trim_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  return line;
}

// A header's value as a decimal of at most nine digits (Retry-After's delay-seconds form,
// Content-Length); absent for a date or anything else.
std::optional<std::int64_t> header_number(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The most room taken ahead for a body on the word of its Content-Length.
constexpr std::int64_t kReservedBodyBytes = std::int64_t{8} << 20;

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t n = size * count;
  std::string_view line = trim_line(std::string_view(data, n));
  ex->last_activity = Clock::now();
  if (starts_with_nocase(line, "http/")) {
    // "HTTP/1.1 503 Service Unavailable": the code after the first blank, the reason after
    // the second.
    std::size_t sp = line.find(' ');
    std::string_view rest = sp == std::string_view::npos ? "" : line.substr(sp + 1);
    std::size_t sp2 = rest.find(' ');
    std::string_view code = rest.substr(0, sp2);
    long value = 0;
    for (char c : code) {
      if (c < '0' || c > '9') break;
      value = value * 10 + (c - '0');
    }
    ex->status = value;
    ex->reason = sp2 == std::string_view::npos ? "" : std::string(rest.substr(sp2 + 1));
    ex->headers_complete = false;
    ex->has_location = false;
    ex->retry_after.reset();
  } else if (line.empty()) {
    ex->headers_complete = true;
  } else if (starts_with_nocase(line, "location:")) {
    ex->has_location = true;
  } else if (starts_with_nocase(line, "retry-after:")) {
    ex->retry_after = header_number(line.substr(12));
  } else if (starts_with_nocase(line, "content-length:")) {
    // Room for the announced body at once: growing a buffer of a megabyte or more step by
    // step copies it and maps fresh pages each time. A claim is never trusted beyond a few
    // megabytes of room; past that the buffer grows as the bytes come.
    if (std::optional<std::int64_t> length = header_number(line.substr(15))) {
      ex->body.reserve(static_cast<std::size_t>(std::min(*length, kReservedBodyBytes)));
    }
  }
  return n;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  std::size_t n = size * count;
  if (ex->body.size() + n > kMaxResponseBytes) {
    ex->body_too_large = true;
    return 0;
  }
  ex->body.append(data, n);
  ex->last_activity = Clock::now();
  return n;
}

// Called once the connection (with its TLS handshake) is up: from here on the time-out
// bounds each wait for data instead of connecting.
int on_connected(void* user, char*, char*, int, int) {
  auto* ex = static_cast<Exchange*>(user);
  ex->connected = true;
  ex->last_activity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

int on_progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* ex = static_cast<Exchange*>(user);
  Clock::time_point now = Clock::now();
  if (dlnow + ulnow != ex->bytes_seen) {
    ex->bytes_seen = dlnow + ulnow;
    ex->last_activity = now;
  }
  bool stalled = ex->connected && now - ex->last_activity >= ex->timeout;
  bool too_long = now - ex->started >= ex->deadline;
  if (stalled || too_long) {
    ex->timed_out = true;
    return 1;
  }
  return 0;
}

bool holds_line_break(const std::string& text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// Names the header, never its value: a value may be a key ("Bearer ...").
void check_header(const std::string& name, const std::string& value) {
  if (holds_line_break(name)) throw ValueError("Invalid header: line break or NUL in a name");
  if (holds_line_break(value)) {
    throw ValueError("Invalid header: line break or NUL in the value of " + name);
  }
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

bool is_success(long status) { return status >= 200 && status < 300; }

}  // namespace

std::string http_request(const std::string& method, const std::string& url,
                         const HttpHeaders& headers, const std::string& body,
                         const HttpSettings& settings) {
  init_curl_once();
  for (const auto& [name, value] : headers) check_header(name, value);
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw RuntimeError("could not start an HTTP exchange");
  CURL* h = handle.get();

  // libcurl's own defaults that a JSON service should not see: "Accept: */*", and
  // "Expect: 100-continue" with its one-second stall on larger bodies.
  std::unique_ptr<curl_slist, SlistDeleter> list;
  auto add = [&](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (!head) throw RuntimeError("out of memory while building request headers");
    if (!list) list.reset(head);  // later appends keep the same head
  };
  for (const auto& [name, value] : headers) add(name + ": " + value);
  add("Accept:");
  add("Expect:");

  Exchange ex;
  ex.timeout = std::chrono::seconds(settings.timeout_seconds);
  ex.deadline = std::chrono::seconds(settings.deadline_seconds > 0
                                         ? settings.deadline_seconds
                                         : settings.timeout_seconds * kMaxExchangeTimeouts);
  ex.started = Clock::now();
  ex.last_activity = ex.started;
  if (settings.deadline_at) {
    if (*settings.deadline_at <= ex.started) throw UrlError("timed out");
    ex.deadline = std::min(ex.deadline, *settings.deadline_at - ex.started);
  }
  char error_text[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_USERAGENT, "vantory-embedding");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.timeout_seconds));
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, settings.verify_tls ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, settings.verify_tls ? 2L : 0L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &ex);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &ex);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, on_connected);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &ex);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &ex);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  if (method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }

  CURLcode rc;
  {
    SigpipeBlock block;
    rc = curl_easy_perform(h);
  }

  if (rc == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (!is_success(status)) throw HttpStatusError(status, ex.reason, ex.retry_after);
    return std::move(ex.body);
  }
  // Too many redirects ends like any error status: with the last one received.
  if (rc == CURLE_TOO_MANY_REDIRECTS) throw HttpStatusError(ex.status, ex.reason);

  std::string reason;
  if (ex.timed_out || rc == CURLE_OPERATION_TIMEDOUT) {
    reason = "timed out";
  } else if (ex.body_too_large) {
    reason = "response body larger than " + std::to_string(kMaxResponseBytes) + " bytes";
  } else if (error_text[0] != '\0') {
    reason = error_text;
  } else {
    reason = curl_easy_strerror(rc);
  }
  if (!ex.response_started()) throw UrlError(reason);
  // The status is known even when its body failed: an error status wins.
  if (!is_success(ex.status)) throw HttpStatusError(ex.status, ex.reason, ex.retry_after);
  throw RuntimeError(reason);
}

}  // namespace vantory
