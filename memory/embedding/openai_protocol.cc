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
#include "memory/embedding/embedding_log.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory {

namespace {

// What an answer holds for each text: its numbers (inside the parsed answer), or null when it
// gives none usable.
struct OpenAiAnswer {
  std::vector<const Json*> rows;
  std::size_t unusable = 0;
  std::string first_problem;
};

bool is_number_list(const Json& value) {
  if (!value.is_array() || value.empty()) return false;
  for (const Json& x : value) {
    if (!x.is_number()) return false;
  }
  return true;
}

// Matches the items of `answer` to `count` texts. Throws ValueError when it holds no "data"
// list at all: then no text got anything.
OpenAiAnswer read_openai_answer(const Json& answer, std::size_t count) {
  auto data = answer.is_object() ? answer.find("data") : answer.end();
  if (!answer.is_object() || data == answer.end() || !data->is_array()) {
    throw ValueError(std::string("embedding answer without a \"data\" list: <class '") +
                     type_name(answer) + "'>");
  }
  OpenAiAnswer read;
  read.rows.assign(count, nullptr);
  auto note = [&](std::string problem) {
    if (read.first_problem.empty()) read.first_problem = std::move(problem);
  };
  std::vector<bool> claimed(count, false);
  for (std::size_t position = 0; position < data->size(); ++position) {
    const Json& item = (*data)[position];
    if (!item.is_object()) {
      note("item " + std::to_string(position) + " is not an object");
      continue;
    }
    // Servers that leave out the index answer in input order.
    std::int64_t index = static_cast<std::int64_t>(position);
    if (auto it = item.find("index"); it != item.end()) {
      if (!it->is_number_integer()) {
        note("item " + std::to_string(position) + " has an index that is not an integer");
        continue;
      }
      index = it->get<std::int64_t>();
    }
    if (index < 0 || static_cast<std::size_t>(index) >= count) {
      note("index " + std::to_string(index) + " is out of range for " + std::to_string(count) +
           " inputs");
      continue;
    }
    std::size_t i = static_cast<std::size_t>(index);
    if (claimed[i]) {
      // Two answers for one text: neither can be trusted to be its own.
      note("index " + std::to_string(i) + " is given twice");
      read.rows[i] = nullptr;
      continue;
    }
    claimed[i] = true;
    auto embedding = item.find("embedding");
    if (embedding == item.end() || !is_number_list(*embedding)) {
      note("index " + std::to_string(i) + " has no list of numbers as its embedding");
      continue;
    }
    read.rows[i] = &*embedding;
  }
  // One model gives one length: the length most items have is the model's, the others are
  // broken answers.
  std::map<std::size_t, std::size_t> lengths;
  for (const Json* row : read.rows) {
    if (row) ++lengths[row->size()];
  }
  std::size_t usual = 0, most = 0;
  for (const auto& [length, times] : lengths) {
    if (times > most) usual = length, most = times;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!read.rows[i]) {
      if (!claimed[i]) note("index " + std::to_string(i) + " is missing");
      ++read.unusable;
    } else if (read.rows[i]->size() != usual) {
      note("index " + std::to_string(i) + " has " + std::to_string(read.rows[i]->size()) +
           " numbers where the others have " + std::to_string(usual));
      read.rows[i] = nullptr;
      ++read.unusable;
    }
  }
  return read;
}

bool is_retried(long status) { return status == 429 || (status >= 500 && status <= 599); }

}  // namespace

std::vector<PythonVector> RemoteEmbeddingClient::_call_openai_api(
    const std::vector<std::string>& texts, const HttpHeaders& headers) {
  Json body = Json::object();
  body["model"] = model_name;
  body["input"] = Json::array();
  for (const std::string& text : texts) body["input"].push_back(text);
  const std::string request = dump_json(body);

  std::string bytes;
  for (int attempt = 1;; ++attempt) {
    try {
      bytes = _request("POST", api_url, headers, request);
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
  const Json parsed = parse_json(bytes);
  OpenAiAnswer answer = read_openai_answer(parsed, texts.size());

  std::vector<PythonVector> vectors(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (!answer.rows[i]) continue;
    try {
      vectors[i] = _finalize_embedding(*answer.rows[i]);
    } catch (const ValueError& e) {
      // Empty, not finite, or not of the configured length: this text failed alone.
      if (answer.unusable++ == 0) answer.first_problem = e.what();
      answer.rows[i] = nullptr;
    }
  }
  if (answer.unusable > 0) {
    // Zero vectors take the length the usable answers have just set.
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!answer.rows[i]) vectors[i] = zeros_vector(dimension.load());
    }
    log_embedding_line("API request failed: " + std::to_string(answer.unusable) + " of " +
                       std::to_string(texts.size()) + " texts got no usable embedding (" +
                       answer.first_problem + ")");
  }
  return vectors;
}

}  // namespace vantory
