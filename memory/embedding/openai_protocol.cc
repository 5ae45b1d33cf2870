// The OpenAI-compatible wire format of RemoteEmbeddingClient: one POST carries many texts,
// and the answer's items are matched to them by their index.
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "common/error.h"
#include "common/json_text.h"
#include "common/message_text.h"
#include "common/redaction.h"
#include "common/unicode.h"
#include "memory/embedding/internal/embedding_log.h"
#include "memory/embedding/internal/openai_answer.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

namespace {

bool is_retried(long status) { return status == 429 || (status >= 500 && status <= 599); }

}  // namespace

std::vector<PythonVector> RemoteEmbeddingClient::call_openai_api(
    const std::vector<std::string>& texts, const HttpHeaders& headers) {
  Json body = Json::object();
  body["model"] = model_name;
  body["input"] = Json::array();
  for (const std::string& text : texts) body["input"].push_back(text);
  const std::string request = dump_json(body);

  std::string bytes;
  for (int attempt = 1;; ++attempt) {
    try {
      bytes = send_request("POST", api_url, headers, request);
      break;
    } catch (const HttpStatusError& e) {
      if (!is_retried(e.code()) || attempt >= kOpenAiMaxAttempts) throw;
      std::chrono::milliseconds pause(kOpenAiFirstBackoffMilliseconds << (attempt - 1));
      if (auto after = e.retry_after_seconds()) {
        if (*after > kMaxRetryAfterSeconds) throw;  // longer than a caller should wait
        pause = std::chrono::seconds(*after);
      }
      log_embedding_line(without_secret("API HTTP error " + std::to_string(e.code()) + ": " +
                                            e.reason() + "; retrying in " +
                                            std::to_string(pause.count()) + " ms",
                                        api_key.value_or("")));
      std::this_thread::sleep_for(pause);
    }
  }
  std::string error = utf8_decode_error(bytes);
  if (!error.empty()) throw ValueError(error);
  // The plain form of an answer is read straight from its text; anything else is parsed,
  // and matched item by item with a note on what was missing.
  std::optional<std::vector<std::vector<float>>> plain =
      read_plain_openai_answer(bytes, texts.size());
  Json parsed;
  OpenAiAnswer answer;
  if (!plain) {
    parsed = parse_json(bytes);
    answer = read_openai_answer(parsed, texts.size());
  }

  std::vector<PythonVector> vectors(texts.size());
  std::vector<bool> failed(texts.size(), false);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (!plain && !answer.rows[i]) {
      failed[i] = true;
      continue;
    }
    try {
      vectors[i] = plain ? _finalize_embedding(PythonVector(std::span<const float>((*plain)[i])))
                         : _finalize_embedding(*answer.rows[i]);
    } catch (const ValueError& e) {
      // Empty, not finite, or not of the configured length: this text failed alone.
      if (answer.unusable++ == 0) answer.first_problem = e.what();
      failed[i] = true;
    }
  }
  if (answer.unusable > 0) {
    // Zero vectors take the length the usable answers have just set.
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (failed[i]) vectors[i] = zeros_vector(dimension.load());
    }
    log_embedding_line("API request failed: " + std::to_string(answer.unusable) + " of " +
                       std::to_string(texts.size()) + " texts got no usable embedding (" +
                       answer.first_problem + ")");
  }
  return vectors;
}

}  // namespace vantory
