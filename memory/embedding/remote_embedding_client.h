// RemoteEmbeddingClient: turns text into dense 32-bit float vectors by calling a remote
// embedding service in one of three wire formats:
//   gradio  a Gradio-served model (the default; submit, then read the event stream);
//   rest    one POST per text, {"inputs": text} (HuggingFace Inference API and the like);
//   openai  POST {"model", "input": [texts]} to an OpenAI-compatible /v1/embeddings, many
//           texts a request (OpenAI, Ollama, vLLM, llama.cpp's server, LM Studio, TEI).
//
// Embeddings are scaled to unit length and kept in an in-memory cache keyed by the first 16
// hex digits of the text's SHA-256; with a cache directory the cache is mirrored to
// <cache_path>/embedding_cache.json (loaded at construction, rewritten at every hundredth new
// entry and by save_cache, deleted by clear_cache). Clients of several processes share the
// file: each save takes an advisory lock on the folder and first adds the entries another
// process saved since. A file that cannot be parsed is never saved over: it is kept beside
// as embedding_cache.json.damaged-<UTC time> ("[Embedding] Kept the damaged cache file as
// <path>"); one that cannot be read at all is left alone and not saved over either.
//
// An embedding never fails because of the service: an unreachable or misbehaving service
// yields a zero vector of the current dimension, and one "[Embedding] ..." line on standard
// error says why. An answer that is empty, holds NaN or Infinity, or (with a configured
// dimension) has another length is such a failure. Failures are never cached: the next call
// asks the service again.
//
// Configuration comes from the constructor's arguments first, then from the environment:
//   REMOTE_EMBEDDING_URL, EMBEDDING_API_URL, ORVANE_API_URL   endpoint, in this order
//   EMBEDDING_API_KEY, ORVANE_API_KEY, HF_TOKEN               bearer token, in this order
//   REMOTE_EMBEDDING_DIMENSION                                 expected length
//   EMBEDDING_API_FORMAT                                       gradio, rest or openai
//   EMBEDDING_MODEL                                            model name (openai: required)
//   EMBEDDING_BATCH_SIZE                                       openai: texts a request (64)
//   EMBEDDING_TLS_VERIFY                                       1 to verify certificates
// TLS certificates and host names are not verified unless asked for. No line this client
// writes holds the key, or a password or key carried in the URL, beyond its last four
// characters.
//
// Thread safety: a client is shared by all threads of the process. `lock` guards the cache
// and the updates of `dimension`; it is never held across a network request, so embed and
// embed_batch overlap their requests. It is the only lock a client takes (the cache folder's
// advisory lock is taken under it, by a save); the process-wide client's own lock
// (process_client.h) is held only while a client is made, before anyone can take `lock`.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/mutex.h"
#include "memory/embedding/embedding_cache.h"
#include "memory/embedding/http_client.h"
#include "memory/embedding/python_vector.h"

namespace vantory {

// How this client speaks TLS.
struct TlsSettings {
  bool check_hostname = false;
  bool verify_certificate = false;
};

class RemoteEmbeddingClient {
 public:
  // The default Gradio endpoint; its host and port are a build setting.
  static const std::string DEFAULT_API_URL;
  static constexpr std::int64_t DEFAULT_DIMENSION = 768;

  // Result requests of one Gradio call, and the pause after each that found nothing.
  static constexpr int kGradioMaxAttempts = 30;
  static constexpr int kGradioPauseMilliseconds = 100;
  // The cache file is rewritten whenever the number of entries becomes a multiple of this.
  static constexpr std::size_t kCacheSaveEvery = 100;
  static constexpr int kDefaultMaxWorkers = 10;
  // Seconds within which one embedding is answered, unless EMBEDDING_REQUEST_DEADLINE says
  // otherwise or the time-out is longer.
  static constexpr std::int64_t DEFAULT_REQUEST_DEADLINE = 60;
  // OpenAI format: texts a request unless configured, and the largest batch accepted.
  static constexpr std::int64_t kDefaultBatchSize = 64;
  static constexpr std::int64_t kMaxBatchSize = 2048;
  // OpenAI format: a request answered 429 or 5xx is retried after a pause that doubles from
  // the first; a Retry-After of at most kMaxRetryAfterSeconds is waited instead, a longer one
  // ends the retries.
  static constexpr int kOpenAiMaxAttempts = 4;
  static constexpr int kOpenAiFirstBackoffMilliseconds = 500;
  static constexpr std::int64_t kMaxRetryAfterSeconds = 10;

  // Builds a client; no network traffic happens here. Empty strings count as absent.
  //  api_url:   argument, else REMOTE_EMBEDDING_URL, EMBEDDING_API_URL, ORVANE_API_URL, else
  //             DEFAULT_API_URL.
  //  api_key:   argument, else EMBEDDING_API_KEY, ORVANE_API_KEY, else HF_TOKEN.
  //  model_name: argument, else EMBEDDING_MODEL, else "dense-embedding". Only the OpenAI
  //             format sends it, and there it must be given.
  //  dimension: argument when non-zero, else REMOTE_EMBEDDING_DIMENSION, else 768. A
  //             configured dimension (argument or variable) is binding: answers of another
  //             length are failures. The default follows the length of the service's answers.
  //  timeout:   seconds; bounds connecting and each wait for data of every request.
  //  request_deadline (EMBEDDING_REQUEST_DEADLINE, seconds): bounds the whole exchange of
  //             one embedding, every request of it included, however steadily a service
  //             trickles its answer; default 60, or `timeout` when that is longer. A request
  //             that passes it fails as "timed out" (a logged zero vector).
  //  cache_path: directory of the cache file (relative to the working directory); the file
  //             is loaded when the directory exists.
  //  verify_tls: verify certificates and host names; absent means EMBEDDING_TLS_VERIFY
  //             (1, true, yes or on), else off.
  //  api_format: "gradio", "rest" or "openai" (any letter case); absent means
  //             EMBEDDING_API_FORMAT, else the URL decides: a path ending in /v1/embeddings
  //             selects openai, one containing "gradio_api" or "/call/" gradio, any other rest.
  //  batch_size: openai: texts a request; absent means EMBEDDING_BATCH_SIZE, else 64.
  // Writes "[Embedding] Using <Gradio|REST|OpenAI> API: <url>" (credentials in the URL
  // redacted) and "[Embedding] Dimension: <n>". Throws ValueError when the dimension argument
  // is negative, when REMOTE_EMBEDDING_DIMENSION is used and is not a positive decimal
  // integer, when EMBEDDING_BATCH_SIZE or EMBEDDING_REQUEST_DEADLINE is used and is not a
  // (positive) decimal integer, when `timeout` is less than 1, for an unknown format, for a
  // batch size outside 1 to kMaxBatchSize, and in the openai format without a model.
  explicit RemoteEmbeddingClient(std::optional<std::string> api_url = std::nullopt,
                                 std::optional<std::string> api_key = std::nullopt,
                                 std::optional<std::string> model_name = std::nullopt,
                                 std::optional<std::int64_t> dimension = std::nullopt,
                                 std::int64_t timeout = 60, bool cache_embeddings = true,
                                 std::optional<std::string> cache_path = std::nullopt,
                                 std::optional<bool> verify_tls = std::nullopt,
                                 std::optional<std::string> api_format = std::nullopt,
                                 std::optional<std::int64_t> batch_size = std::nullopt);
  virtual ~RemoteEmbeddingClient();

  RemoteEmbeddingClient(const RemoteEmbeddingClient&) = delete;
  RemoteEmbeddingClient& operator=(const RemoteEmbeddingClient&) = delete;

  // --- Embedding operations ---

  // The unit-length embedding of `text`: from the cache when caching is on and the text was
  // seen, else from the service (then cached; the cache file is rewritten when the entry
  // count becomes a multiple of 100). A zero vector when the service failed; it is not
  // cached.
  PythonVector embed(const std::string& text) EXCLUDES(lock);

  // The embeddings of `texts` in input order, run on a pool of `max_workers` threads that
  // lives for this call: each text through embed, or in the openai format the texts the
  // cache does not hold, each distinct text once, in requests of up to `batch_size` texts.
  // Writes "[Embedding] Batch embedding <n> texts with <w> workers..." unless `texts` is
  // empty. Throws ValueError when `max_workers` < 1; an exception raised for one text reaches
  // the caller after the running work has finished (the first in input order), work not yet
  // started is skipped.
  std::vector<PythonVector> embed_batch(const std::vector<std::string>& texts,
                                        int max_workers = kDefaultMaxWorkers);

  // dot / (norm1 * norm2), not clipped; 0.0 when either norm is 0, and 0.0 for vectors of
  // different lengths (said once per pair of lengths on standard error: "[Embedding] Vectors
  // of lengths <a> and <b> are not comparable ...").
  static double cosine_similarity(const PythonVector& vec1, const PythonVector& vec2);

  // cosine_similarity of `query_vec` with each of `doc_vecs`, in order.
  static std::vector<double> batch_cosine_similarity(const PythonVector& query_vec,
                                                     const std::vector<PythonVector>& doc_vecs);

  // False for what a failed embedding gives: a vector that is empty, all zeros, or holds NaN
  // or Infinity. Such vectors are neither cached nor stored.
  static bool usable_embedding(const PythonVector& embedding);

  // --- Cache ---

  // Writes the cache file (nothing without a cache directory). Failures are reported on
  // standard error and absorbed.
  void save_cache() EXCLUDES(lock);

  // Empties the cache and deletes the cache file when there is one. Throws OSError when the
  // file exists but cannot be deleted (the in-memory cache is emptied already).
  void clear_cache() EXCLUDES(lock);

  // Number of cached embeddings.
  std::size_t cache_size() const EXCLUDES(lock);

  // The current expected embedding length (it follows the service's answers).
  std::int64_t get_dimension() const { return dimension.load(); }

  // What makes this client's vectors comparable with each other: {"format", "url", "model",
  // "dimension"} as configured (the dimension before any answer changed it). Vectors stored
  // under another identity must not be compared with this client's.
  Json identity() const;

  // The identity a client built now from the environment alone would have, without building
  // one (nothing is logged). Throws what the constructor would throw.
  static Json configured_identity();

  // --- Configuration, fixed by the constructor (dimension excepted) ---

  const std::string api_url;
  const std::optional<std::string> api_key;
  const std::string model_name;
  std::atomic<std::int64_t> dimension;
  const std::int64_t timeout;
  const std::int64_t request_deadline;
  const bool cache_embeddings;
  // "gradio", "rest" or "openai".
  const std::string api_format;
  const bool _is_gradio;
  // openai: the most texts one request carries.
  const std::int64_t batch_size;
  const std::optional<std::string> _cache_path;
  const TlsSettings ssl_context;

  // --- Steps of the protocols, open to subclasses and tests ---

  // The cache key of `text`: the first 16 lower-case hex digits of its SHA-256.
  static std::string _get_cache_key(const std::string& text);

  // One embedding from the service: builds the headers, speaks the configured format and
  // turns every failure into a logged zero vector of the current dimension. This is the seam
  // where a subclass supplies embeddings without a network (tests, local embedders); embed
  // and embed_batch call it on a miss, without holding `lock`.
  virtual PythonVector _call_api(const std::string& text);

  // The REST exchange: POST {"inputs": text, "options": {"wait_for_model": true}}. Throws
  // on every failure.
  PythonVector _call_rest_api(const std::string& text, const HttpHeaders& headers);

  // The numbers of a REST answer (the accepted shapes, in order: an array of numbers, an
  // array of arrays, {"data": [{"embedding" | "dense_embedding": ...}]}, {"embedding": ...},
  // {"dense_embedding": ...}). Throws ValueError "Unknown embedding response format: ..."
  // for any other value.
  static Json _parse_response(const Json& data);

  // The Gradio exchange: submit {"data": [text]}, then read the event stream of the event
  // id up to 30 times. A submit answer without an event id is read as a REST answer. Answers
  // a logged zero vector when no embedding arrives; throws on HTTP and submit failures.
  PythonVector _call_gradio_api(const std::string& text, const HttpHeaders& headers);

  // The numbers in the payload of one event-stream data line, or null.
  static Json _parse_gradio_result(const Json& data);

  // `embedding_list` as 32-bit floats scaled to unit length (unchanged when its norm is 0);
  // sets `dimension` to its length. Throws TypeError unless it is an array of numbers, and
  // ValueError when it is empty, holds NaN or Infinity, or differs in length from a
  // configured dimension (`dimension` is unchanged then).
  PythonVector _finalize_embedding(const Json& embedding_list) EXCLUDES(lock);
  // The same for numbers already read as floats.
  PythonVector _finalize_embedding(PythonVector embedding) EXCLUDES(lock);

 private:
  // Sends one request with this client's time-out and TLS settings.
  std::string send_request(const std::string& method, const std::string& url,
                           const HttpHeaders& headers, const std::string& body) const;

  // The OpenAI exchange for `texts` (at most batch_size): POST {"model", "input": texts},
  // retried on 429 and 5xx as the class constants say; the answer's data[i].embedding is
  // mapped back to texts[data[i].index]. Texts the answer gives no usable embedding for (no
  // item, a duplicate index, numbers missing or not numbers, a length unlike the others')
  // get a zero vector, reported in one "[Embedding] API request failed: " line. Throws, like
  // the other formats, when the request fails or the answer holds no "data" list.
  std::vector<PythonVector> call_openai_api(const std::vector<std::string>& texts,
                                            const HttpHeaders& headers);

  // Content-Type and, with a key, Authorization: Bearer.
  HttpHeaders request_headers() const;

  // The openai path of embed_batch: `max_workers` checked already.
  std::vector<PythonVector> embed_batch_openai(const std::vector<std::string>& texts,
                                               int max_workers) EXCLUDES(lock);

  // Stores an answer of the service in the cache (when caching is on), saving the file at
  // every hundredth entry.
  void remember(std::uint64_t key, const PythonVector& embedding) EXCLUDES(lock);

  // Replaces the cache with the file's entries (all or nothing). Called by the constructor.
  void _load_cache() EXCLUDES(lock);

  // Writes the cache file; the caller holds `lock`.
  void _save_cache() REQUIRES(lock);

  // Whether `dimension` was given (argument or environment) rather than defaulted.
  const bool dimension_configured_;
  // Guards the two members below it and the updates of `dimension` (an atomic, read without
  // it).
  mutable Mutex lock;
  // The identity (common/files.h) of the cache file as this client last read or wrote it:
  // a save that finds another merges that file's entries first.
  std::string cache_file_identity_ GUARDED_BY(lock);
  EmbeddingCache _cache GUARDED_BY(lock);
  const std::int64_t configured_dimension_;
};

}  // namespace vantory
