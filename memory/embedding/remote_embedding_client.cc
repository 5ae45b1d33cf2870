#include "memory/embedding/remote_embedding_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "common/error.h"
#include "common/files.h"
#include "common/message_text.h"
#include "common/redaction.h"
#include "common/sha256.h"
#include "common/unicode.h"
#include "memory/embedding/internal/embedding_log.h"
#include "memory/embedding/internal/worker_pool.h"

#ifndef VANTORY_DEFAULT_EMBEDDING_HOST
#define VANTORY_DEFAULT_EMBEDDING_HOST "localhost:7860"
#endif

namespace vantory {

const std::string RemoteEmbeddingClient::DEFAULT_API_URL =
    "https://" VANTORY_DEFAULT_EMBEDDING_HOST "/gradio_api/call/embed_dense";

namespace {

// An unset variable and an empty one both count as absent.
std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool non_empty(const std::optional<std::string>& s) { return s.has_value() && !s->empty(); }

std::string choose_api_url(const std::optional<std::string>& argument) {
  if (non_empty(argument)) return *argument;
  for (const char* name : {"REMOTE_EMBEDDING_URL", "EMBEDDING_API_URL", "ORVANE_API_URL"}) {
    if (auto value = env_value(name)) return *value;
  }
  return RemoteEmbeddingClient::DEFAULT_API_URL;
}

std::optional<std::string> choose_api_key(const std::optional<std::string>& argument) {
  if (non_empty(argument)) return argument;
  for (const char* name : {"EMBEDDING_API_KEY", "ORVANE_API_KEY"}) {
    if (auto value = env_value(name)) return value;
  }
  // HF_TOKEN as it stands: set but empty is kept, and means no key like unset does.
  const char* token = std::getenv("HF_TOKEN");
  if (token == nullptr) return std::nullopt;
  return std::string(token);
}

// A decimal integer with optional surrounding white space, an optional sign and single
// underscores between digits, as int() reads it. Throws ValueError otherwise.
std::int64_t parse_decimal_integer(const std::string& text) {
  auto fail = [&]() -> std::int64_t {
    throw ValueError("invalid literal for int() with base 10: " + value_repr(text));
  };
  std::string_view s = strip_whitespace(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return fail();
  // Accumulated as a negative number so the most negative value fits.
  std::int64_t value = 0;
  bool after_digit = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '_' && after_digit && i + 1 < s.size() && s[i + 1] != '_') {
      after_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return fail();
    int digit = c - '0';
    if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
      throw ValueError("integer out of range: " + value_repr(text));
    }
    value = value * 10 - digit;
    after_digit = true;
  }
  if (!negative) {
    if (value == std::numeric_limits<std::int64_t>::min()) {
      throw ValueError("integer out of range: " + value_repr(text));
    }
    return -value;
  }
  return value;
}

// The dimension given by the argument (when non-zero) or REMOTE_EMBEDDING_DIMENSION; nullopt
// when neither gives one. A dimension is a positive integer.
std::optional<std::int64_t> configured_dimension(const std::optional<std::int64_t>& argument) {
  if (argument.has_value() && *argument != 0) {
    if (*argument < 0) {
      throw ValueError("dimension must be a positive integer, got " + std::to_string(*argument));
    }
    return *argument;
  }
  auto value = env_value("REMOTE_EMBEDDING_DIMENSION");
  if (!value) return std::nullopt;
  std::int64_t parsed = parse_decimal_integer(*value);
  if (parsed < 1) {
    throw ValueError("REMOTE_EMBEDDING_DIMENSION must be a positive integer, got " +
                     value_repr(*value));
  }
  return parsed;
}

// The model: the argument, else EMBEDDING_MODEL; absent when neither names one.
std::optional<std::string> given_model(const std::optional<std::string>& argument) {
  if (non_empty(argument)) return argument;
  return env_value("EMBEDDING_MODEL");
}

// Paths of OpenAI-compatible embedding endpoints end this way.
bool is_openai_path(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  constexpr std::string_view kSuffix = "/v1/embeddings";
  return url.size() >= kSuffix.size() && url.substr(url.size() - kSuffix.size()) == kSuffix;
}

std::string choose_api_format(const std::optional<std::string>& argument,
                              const std::string& api_url) {
  std::optional<std::string> named =
      non_empty(argument) ? argument : env_value("EMBEDDING_API_FORMAT");
  if (named) {
    std::string format = to_lower(strip_whitespace(*named));
    if (format == "gradio" || format == "rest" || format == "openai") return format;
    throw ValueError("EMBEDDING_API_FORMAT must be gradio, rest or openai, not " +
                     value_repr(*named));
  }
  if (is_openai_path(api_url)) return "openai";
  if (api_url.find("gradio_api") != std::string::npos ||
      api_url.find("/call/") != std::string::npos) {
    return "gradio";
  }
  return "rest";
}

std::int64_t choose_batch_size(const std::optional<std::int64_t>& argument) {
  std::int64_t size = RemoteEmbeddingClient::kDefaultBatchSize;
  if (argument.has_value()) {
    size = *argument;
  } else if (auto value = env_value("EMBEDDING_BATCH_SIZE")) {
    size = parse_decimal_integer(*value);
  }
  if (size < 1 || size > RemoteEmbeddingClient::kMaxBatchSize) {
    throw ValueError("EMBEDDING_BATCH_SIZE must be from 1 to " +
                     std::to_string(RemoteEmbeddingClient::kMaxBatchSize) + ", got " +
                     std::to_string(size));
  }
  return size;
}

// The model an openai client sends; every other format keeps it as a label.
std::string checked_model(const std::optional<std::string>& model, const std::string& format) {
  if (model) return *model;
  if (format == "openai") {
    throw ValueError(
        "the OpenAI embedding format needs a model: set EMBEDDING_MODEL (for example "
        "nomic-embed-text)");
  }
  return "dense-embedding";
}

const char* format_label(const std::string& format) {
  if (format == "gradio") return "Gradio";
  if (format == "openai") return "OpenAI";
  return "REST";
}

Json identity_of(const std::string& format, const std::string& url, const std::string& model,
                 std::int64_t dimension) {
  return {{"format", format}, {"url", url}, {"model", model}, {"dimension", dimension}};
}

std::int64_t checked_timeout(std::int64_t timeout) {
  if (timeout < 1) {
    throw ValueError("timeout must be at least 1 second, got " + std::to_string(timeout));
  }
  return timeout;
}

// EMBEDDING_REQUEST_DEADLINE in seconds, else the default: a minute, or the time-out when
// that is longer (a service loading its model may take one time-out to start answering).
std::int64_t choose_request_deadline(std::int64_t timeout) {
  auto value = env_value("EMBEDDING_REQUEST_DEADLINE");
  if (!value) return std::max(RemoteEmbeddingClient::DEFAULT_REQUEST_DEADLINE, timeout);
  std::int64_t seconds = parse_decimal_integer(*value);
  if (seconds < 1) {
    throw ValueError("EMBEDDING_REQUEST_DEADLINE must be a positive number of seconds, got " +
                     value_repr(*value));
  }
  return seconds;
}

// The moment by which the embedding this thread is getting must be answered: set by
// _call_api for its whole exchange (every request of the Gradio protocol included) and read
// by _request.
thread_local std::optional<std::chrono::steady_clock::time_point> current_deadline;

class DeadlineScope {
 public:
  explicit DeadlineScope(std::int64_t seconds) : saved_(current_deadline) {
    current_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  }
  ~DeadlineScope() { current_deadline = saved_; }
  DeadlineScope(const DeadlineScope&) = delete;
  DeadlineScope& operator=(const DeadlineScope&) = delete;

 private:
  std::optional<std::chrono::steady_clock::time_point> saved_;
};

TlsSettings choose_tls(const std::optional<bool>& verify_argument) {
  bool verify = false;
  if (verify_argument.has_value()) {
    verify = *verify_argument;
  } else if (auto value = env_value("EMBEDDING_TLS_VERIFY")) {
    std::string v = to_lower(strip_whitespace(*value));
    verify = v == "1" || v == "true" || v == "yes" || v == "on";
  }
  return TlsSettings{verify, verify};
}

std::optional<std::string> choose_cache_path(const std::optional<std::string>& argument) {
  if (non_empty(argument)) return argument;
  return std::nullopt;
}

// The cache key of `text` as the number its 16 hex digits spell: the first 8 digest bytes.
std::uint64_t packed_cache_key(const std::string& text) {
  std::array<unsigned char, 32> digest = sha256_digest(text);
  std::uint64_t key = 0;
  for (int i = 0; i < 8; ++i) key = (key << 8) | digest[i];
  return key;
}

}  // namespace

RemoteEmbeddingClient::RemoteEmbeddingClient(
    std::optional<std::string> api_url_arg, std::optional<std::string> api_key_arg,
    std::optional<std::string> model_name_arg, std::optional<std::int64_t> dimension_arg,
    std::int64_t timeout_arg, bool cache_embeddings_arg, std::optional<std::string> cache_path_arg,
    std::optional<bool> verify_tls_arg, std::optional<std::string> api_format_arg,
    std::optional<std::int64_t> batch_size_arg)
    : api_url(choose_api_url(api_url_arg)),
      api_key(choose_api_key(api_key_arg)),
      model_name(
          checked_model(given_model(model_name_arg), choose_api_format(api_format_arg, api_url))),
      dimension(configured_dimension(dimension_arg).value_or(DEFAULT_DIMENSION)),
      timeout(checked_timeout(timeout_arg)),
      request_deadline(choose_request_deadline(timeout)),
      cache_embeddings(cache_embeddings_arg),
      api_format(choose_api_format(api_format_arg, api_url)),
      _is_gradio(api_format == "gradio"),
      batch_size(choose_batch_size(batch_size_arg)),
      _cache_path(choose_cache_path(cache_path_arg)),
      ssl_context(choose_tls(verify_tls_arg)),
      dimension_configured_(configured_dimension(dimension_arg).has_value()),
      configured_dimension_(dimension.load()) {
  // A missing directory is created by the first save, not here.
  if (_cache_path && path_exists(*_cache_path)) _load_cache();
  log_embedding_line(std::string("Using ") + format_label(api_format) +
                     " API: " + redacted_url(api_url));
  log_embedding_line("Dimension: " + std::to_string(dimension.load()));
}

Json RemoteEmbeddingClient::identity() const {
  return identity_of(api_format, api_url, model_name, configured_dimension_);
}

Json RemoteEmbeddingClient::configured_identity() {
  std::string url = choose_api_url(std::nullopt);
  std::string format = choose_api_format(std::nullopt, url);
  std::string model = checked_model(given_model(std::nullopt), format);
  return identity_of(format, url, model,
                     configured_dimension(std::nullopt).value_or(DEFAULT_DIMENSION));
}

RemoteEmbeddingClient::~RemoteEmbeddingClient() = default;

std::string RemoteEmbeddingClient::_get_cache_key(const std::string& text) {
  return EmbeddingCache::unpack_key(packed_cache_key(text));
}

std::size_t RemoteEmbeddingClient::cache_size() const {
  MutexLock guard(lock);
  return _cache.size();
}

std::string RemoteEmbeddingClient::send_request(const std::string& method, const std::string& url,
                                            const HttpHeaders& headers,
                                            const std::string& body) const {
  HttpSettings settings;
  settings.timeout_seconds = timeout;
  settings.verify_tls = ssl_context.verify_certificate;
  settings.deadline_at = current_deadline;
  return http_request(method, url, headers, body, settings);
}

HttpHeaders RemoteEmbeddingClient::request_headers() const {
  HttpHeaders headers{{"Content-Type", "application/json"}};
  if (non_empty(api_key)) headers.emplace_back("Authorization", "Bearer " + *api_key);
  return headers;
}

PythonVector RemoteEmbeddingClient::_call_api(const std::string& text) {
  HttpHeaders headers = request_headers();
  DeadlineScope deadline(request_deadline);
  try {
    if (api_format == "openai") return call_openai_api({text}, headers).front();
    return _is_gradio ? _call_gradio_api(text, headers) : _call_rest_api(text, headers);
  } catch (...) {
    log_request_failure(api_key.value_or(""));
  }
  return zeros_vector(dimension.load());
}

bool RemoteEmbeddingClient::usable_embedding(const PythonVector& embedding) {
  for (float x : embedding.data()) {
    if (!std::isfinite(x)) return false;
  }
  return vector_norm(embedding) > 0;
}

PythonVector RemoteEmbeddingClient::_finalize_embedding(const Json& embedding_list) {
  return _finalize_embedding(create_vector(embedding_list));
}

PythonVector RemoteEmbeddingClient::_finalize_embedding(PythonVector embedding) {
  std::int64_t length = static_cast<std::int64_t>(embedding.size());
  if (length == 0) throw ValueError("the service answered an empty embedding");
  for (float x : embedding.data()) {
    if (!std::isfinite(x)) {
      throw ValueError("the service answered an embedding holding NaN or Infinity");
    }
  }
  if (dimension_configured_ && length != dimension.load()) {
    throw ValueError("the service answered " + std::to_string(length) +
                     " numbers, the configured dimension is " + std::to_string(dimension.load()));
  }
  double norm = vector_norm(embedding);
  if (norm > 0) embedding = embedding / norm;
  MutexLock guard(lock);
  if (length != dimension.load()) dimension.store(length);
  return embedding;
}

PythonVector RemoteEmbeddingClient::embed(const std::string& text) {
  std::uint64_t key = 0;
  if (cache_embeddings) {
    key = packed_cache_key(text);
    MutexLock guard(lock);
    // A failure cached by an older version is asked for again.
    if (const PythonVector* hit = _cache.find(key); hit && usable_embedding(*hit)) return *hit;
  }
  PythonVector embedding = _call_api(text);
  remember(key, embedding);
  return embedding;
}

void RemoteEmbeddingClient::remember(std::uint64_t key, const PythonVector& embedding) {
  // A failure is answered, never remembered: the next call asks the service again.
  if (!cache_embeddings || !usable_embedding(embedding)) return;
  MutexLock guard(lock);
  _cache.insert_or_assign(key, embedding);
  if (_cache.size() % kCacheSaveEvery == 0) _save_cache();
}

std::vector<PythonVector> RemoteEmbeddingClient::embed_batch(const std::vector<std::string>& texts,
                                                             int max_workers) {
  if (texts.empty()) return {};
  log_embedding_line("Batch embedding " + std::to_string(texts.size()) + " texts with " +
                     std::to_string(max_workers) + " workers...");
  if (max_workers < 1) throw ValueError("max_workers must be greater than 0");
  if (api_format == "openai") return embed_batch_openai(texts, max_workers);

  std::vector<std::optional<PythonVector>> results(texts.size());
  run_on_pool(texts.size(), max_workers, [&](std::size_t i) { results[i] = embed(texts[i]); });
  std::vector<PythonVector> collected;
  collected.reserve(texts.size());
  for (std::optional<PythonVector>& result : results) collected.push_back(std::move(*result));
  return stack_vectors(std::move(collected));
}

std::vector<PythonVector> RemoteEmbeddingClient::embed_batch_openai(
    const std::vector<std::string>& texts, int max_workers) {
  const std::size_t n = texts.size();
  std::vector<std::uint64_t> keys(n);
  if (cache_embeddings) {
    for (std::size_t i = 0; i < n; ++i) keys[i] = packed_cache_key(texts[i]);
  }
  // Each distinct text the cache lacks is sent once; slot[i] says which of them texts[i] is.
  constexpr std::size_t kCached = static_cast<std::size_t>(-1);
  std::vector<PythonVector> results(n);
  std::vector<std::size_t> slot(n, kCached);
  std::vector<std::size_t> missing;  // the first position of each text to send
  std::unordered_map<std::string_view, std::size_t> slot_of_text;
  {
    MutexLock guard(lock);
    for (std::size_t i = 0; i < n; ++i) {
      if (cache_embeddings) {
        if (const PythonVector* hit = _cache.find(keys[i]); hit && usable_embedding(*hit)) {
          results[i] = *hit;
          continue;
        }
      }
      auto [it, added] = slot_of_text.emplace(texts[i], missing.size());
      if (added) missing.push_back(i);
      slot[i] = it->second;
    }
  }

  const std::size_t size = static_cast<std::size_t>(batch_size);
  std::vector<PythonVector> made(missing.size());
  const HttpHeaders headers = request_headers();
  run_on_pool((missing.size() + size - 1) / size, max_workers, [&](std::size_t group) {
    std::size_t begin = group * size;
    std::size_t end = std::min(begin + size, missing.size());
    std::vector<std::string> batch;
    for (std::size_t j = begin; j < end; ++j) batch.push_back(texts[missing[j]]);
    std::vector<PythonVector> answer;
    try {
      DeadlineScope deadline(request_deadline);
      answer = call_openai_api(batch, headers);
    } catch (...) {
      log_request_failure(api_key.value_or(""));
      answer.assign(batch.size(), zeros_vector(dimension.load()));
    }
    for (std::size_t j = begin; j < end; ++j) {
      made[j] = std::move(answer[j - begin]);
      remember(keys[missing[j]], made[j]);
    }
  });
  for (std::size_t i = 0; i < n; ++i) {
    if (slot[i] != kCached) results[i] = made[slot[i]];
  }
  return stack_vectors(std::move(results));
}

namespace {

// Says once per process and pair of lengths that vectors of those lengths were compared:
// cached or stored vectors of another model come back after a change of configuration.
void warn_lengths_differ(std::size_t a, std::size_t b) {
  static Mutex warned_mutex;
  static std::set<std::pair<std::size_t, std::size_t>> warned;
  {
    MutexLock guard(warned_mutex);
    if (!warned.emplace(std::min(a, b), std::max(a, b)).second) return;
  }
  log_embedding_line("Vectors of lengths " + std::to_string(a) + " and " + std::to_string(b) +
                     " are not comparable (embeddings of another model?); their similarity is "
                     "0.0");
}

}  // namespace

double RemoteEmbeddingClient::cosine_similarity(const PythonVector& vec1,
                                                const PythonVector& vec2) {
  if (vec1.size() != vec2.size()) {
    warn_lengths_differ(vec1.size(), vec2.size());
    return 0.0;
  }
  double norm1 = vector_norm(vec1);
  double norm2 = vector_norm(vec2);
  if (norm1 == 0 || norm2 == 0) return 0.0;
  return vector_dot(vec1, vec2) / (norm1 * norm2);
}

std::vector<double> RemoteEmbeddingClient::batch_cosine_similarity(
    const PythonVector& query_vec, const std::vector<PythonVector>& doc_vecs) {
  if (doc_vecs.empty()) return {};
  if (vector_norm(query_vec) == 0) return std::vector<double>(doc_vecs.size(), 0.0);
  std::vector<double> scores;
  scores.reserve(doc_vecs.size());
  for (const PythonVector& doc : doc_vecs) scores.push_back(cosine_similarity(query_vec, doc));
  return scores;
}

}  // namespace vantory
