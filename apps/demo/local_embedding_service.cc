#include "apps/demo/local_embedding_service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <stdexcept>

#include "common/json_text.h"
#include "common/unicode.h"

namespace vantory::demo {

namespace {

std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// httplib listens with a backlog of 5; a batch of more texts connects at once, so the queue
// is widened by listening again on the bound socket.
struct WideServer : httplib::Server {
  void widen_backlog() { ::listen(svr_sock_, 128); }
};

}  // namespace

std::vector<double> hashed_trigram_embedding(const std::string& text, std::size_t dimension) {
  std::vector<double> embedding(dimension, 0.0);
  std::string padded = "  " + to_lower(text) + "  ";
  for (std::size_t i = 0; i + 3 <= padded.size(); ++i) {
    std::uint64_t hash = fnv1a(std::string_view(padded).substr(i, 3));
    embedding[hash % dimension] += (hash >> 63) ? 1.0 : -1.0;
  }
  return embedding;
}

LocalEmbeddingService::LocalEmbeddingService(std::size_t dimension)
    : dimension_(dimension), server_(std::make_unique<WideServer>()) {
  auto text_of = [](const httplib::Request& req, const char* member) -> std::string {
    Json body = parse_json(req.body);
    const Json& value = body.at(member);
    return value.is_array() ? value.at(0).get<std::string>() : value.get<std::string>();
  };
  server_->Post("/gradio_api/call/embed_dense",
                [this, text_of](const httplib::Request& req, httplib::Response& res) {
                  ++requests_;
                  std::lock_guard<std::mutex> guard(mutex_);
                  std::string id = "event" + std::to_string(++next_event_);
                  pending_[id] = text_of(req, "data");
                  res.set_content(dump_json(Json{{"event_id", id}}), "application/json");
                });
  server_->Get("/gradio_api/call/embed_dense/(.+)",
               [this](const httplib::Request& req, httplib::Response& res) {
                 ++requests_;
                 std::string text;
                 {
                   std::lock_guard<std::mutex> guard(mutex_);
                   auto it = pending_.find(req.matches[1]);
                   if (it == pending_.end()) {
                     res.status = 404;
                     return;
                   }
                   text = it->second;
                   pending_.erase(it);
                 }
                 Json data = Json::array({hashed_trigram_embedding(text, dimension_)});
                 res.set_content("event: complete\ndata: " + dump_json(data) + "\n\n",
                                 "text/event-stream");
               });
  server_->Post("/v1/embeddings",
                [this, text_of](const httplib::Request& req, httplib::Response& res) {
                  ++requests_;
                  Json numbers = hashed_trigram_embedding(text_of(req, "inputs"), dimension_);
                  res.set_content(dump_json(numbers), "application/json");
                });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("could not listen on 127.0.0.1");
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
  return "http://127.0.0.1:" + std::to_string(port_) + "/gradio_api/call/embed_dense";
}

std::string LocalEmbeddingService::rest_url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/v1/embeddings";
}

}  // namespace vantory::demo
