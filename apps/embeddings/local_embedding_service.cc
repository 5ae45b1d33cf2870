#include "apps/embeddings/local_embedding_service.h"

#include <httplib.h>
#include <sys/socket.h>

#include "apps/embeddings/text_embedder.h"
#include "common/error.h"
#include "common/json_text.h"

namespace vantory::embeddings {

namespace {

constexpr const char* kGradioPath = "/gradio_api/call/embed_dense";
constexpr const char* kGradioResultPattern = "/gradio_api/call/embed_dense/([^/]+)";
constexpr std::size_t kMaxRequestBytes = 64u << 20;

// httplib listens with a backlog of 5; a batch of texts connects at once, so the queue is
// widened by listening again on the bound socket.
struct WideServer : httplib::Server {
  void widen_backlog() { ::listen(svr_sock_, 128); }
};

void answer_json(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(dump_json(body), "application/json");
}

// The texts of a request member that holds one string or an array of strings.
std::vector<std::string> texts_of(const Json& value) {
  if (value.is_string()) return {value.get<std::string>()};
  if (!value.is_array() || value.empty()) {
    throw ValueError("expected a string or a non-empty array of strings");
  }
  std::vector<std::string> texts;
  for (const Json& text : value) {
    if (!text.is_string()) throw ValueError("expected a string or a non-empty array of strings");
    texts.push_back(text.get<std::string>());
  }
  return texts;
}

}  // namespace

LocalEmbeddingService::LocalEmbeddingService(int port, std::size_t dimension)
    : dimension_(dimension), server_(std::make_unique<WideServer>()) {
  if (dimension == 0) throw ValueError("the embedding dimension must be positive");
  server_->set_payload_max_length(kMaxRequestBytes);
  add_routes();
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else if (server_->bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) {
    throw RuntimeError("cannot listen on 127.0.0.1:" + std::to_string(port) +
                       " (is the port in use?)");
  }
  static_cast<WideServer&>(*server_).widen_backlog();
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    loop_ended_ = true;
  });
  // stop() is ignored until the accept loop runs; wait for it so shutdown cannot hang.
  while (!server_->is_running() && !loop_ended_) std::this_thread::yield();
}

LocalEmbeddingService::~LocalEmbeddingService() {
  server_->stop();
  thread_.join();
}

std::string LocalEmbeddingService::gradio_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + kGradioPath;
}

std::string LocalEmbeddingService::rest_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/embed";
}

std::string LocalEmbeddingService::openai_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/v1/embeddings";
}

std::string LocalEmbeddingService::submit(std::string text) {
  MutexLock guard(mutex_);
  std::string id = "event" + std::to_string(++next_event_);
  pending_.emplace(id, std::move(text));
  pending_order_.push_back(id);
  while (pending_order_.size() > kMaxPendingEvents) {
    pending_.erase(pending_order_.front());
    pending_order_.pop_front();
  }
  return id;
}

bool LocalEmbeddingService::take(const std::string& event_id, std::string& text) {
  MutexLock guard(mutex_);
  auto it = pending_.find(event_id);
  if (it == pending_.end()) return false;
  text = std::move(it->second);
  pending_.erase(it);
  return true;
}

void LocalEmbeddingService::add_routes() {
  server_->Post(kGradioPath, [this](const httplib::Request& req, httplib::Response& res) {
    ++requests_;
    try {
      Json body = parse_json(req.body);
      const Json* data = body.is_object() && body.contains("data") ? &body["data"] : nullptr;
      if (!data || !data->is_array() || data->empty() || !(*data)[0].is_string()) {
        return answer_json(res, 422, {{"error", "expected {\"data\": [text]}"}});
      }
      answer_json(res, 200, {{"event_id", submit((*data)[0].get<std::string>())}});
    } catch (const Error& e) {
      answer_json(res, 422, {{"error", e.what()}});
    }
  });

  server_->Get(kGradioResultPattern, [this](const httplib::Request& req, httplib::Response& res) {
    ++requests_;
    std::string text;
    if (!take(req.matches[1], text)) {
      return answer_json(res, 404, {{"error", "unknown event id"}});
    }
    Json data = Json::array({hashed_text_embedding(text, dimension_)});
    res.set_content("event: complete\ndata: " + dump_json(data) + "\n\n", "text/event-stream");
  });

  auto rest = [this](const httplib::Request& req, httplib::Response& res) {
    ++requests_;
    try {
      Json body = parse_json(req.body);
      if (!body.is_object() || (!body.contains("inputs") && !body.contains("input"))) {
        return answer_json(res, 400,
                           {{"error",
                             "expected {\"inputs\": text} or "
                             "{\"input\": text}"}});
      }
      if (body.contains("inputs")) {
        const Json& inputs = body["inputs"];
        if (inputs.is_string()) {
          return answer_json(res, 200,
                             hashed_text_embedding(inputs.get<std::string>(), dimension_));
        }
        Json rows = Json::array();
        for (const std::string& text : texts_of(inputs)) {
          rows.push_back(hashed_text_embedding(text, dimension_));
        }
        return answer_json(res, 200, rows);
      }
      Json data = Json::array();
      std::size_t characters = 0;
      for (const std::string& text : texts_of(body["input"])) {
        data.push_back({{"object", "embedding"},
                        {"index", data.size()},
                        {"embedding", hashed_text_embedding(text, dimension_)}});
        characters += text.size();
      }
      answer_json(
          res, 200,
          {{"object", "list"},
           {"data", std::move(data)},
           {"model", body.value("model", Json("vantory-hashed-text"))},
           {"usage", {{"prompt_tokens", characters / 4}, {"total_tokens", characters / 4}}}});
    } catch (const Error& e) {
      answer_json(res, 400, {{"error", e.what()}});
    }
  };
  server_->Post("/embed", rest);
  server_->Post("/v1/embeddings", rest);
}

}  // namespace vantory::embeddings
