#include "backend/vectors/remote_embedder.h"

#include "memory/embedding/remote_embedding_client.h"

namespace vantory::backend {

namespace {

constexpr std::size_t kRecentQueries = 256;

// A usable embedding: the client answers zeros when the service failed.
std::vector<float> usable(const PythonVector& vector) {
  std::span<const float> data = vector.data();
  for (float x : data) {
    if (x != 0.0f) return {data.begin(), data.end()};
  }
  return {};
}

}  // namespace

RemoteEmbedder::RemoteEmbedder()
    : RemoteEmbedder(std::make_shared<RemoteEmbeddingClient>(std::nullopt, std::nullopt,
                                                             std::nullopt, std::nullopt, 60,
                                                             /*cache_embeddings=*/false)) {}

RemoteEmbedder::RemoteEmbedder(std::shared_ptr<RemoteEmbeddingClient> client)
    : client_(std::move(client)), name_(remote_embedder_name(client_->identity())) {}

RemoteEmbedder::~RemoteEmbedder() = default;

Json RemoteEmbedder::describe() const {
  Json description = describe_remote_embedder(client_->identity());
  // What the service answered last, which is what a stored vector's length is compared to.
  description["dimension"] = client_->get_dimension();
  return description;
}

std::vector<std::vector<float>> RemoteEmbedder::embed(const std::vector<std::string>& texts) {
  std::vector<std::vector<float>> vectors;
  if (texts.size() != 1) {
    for (const PythonVector& vector : client_->embed_batch(texts))
      vectors.push_back(usable(vector));
    return vectors;
  }
  const std::string& text = texts.front();
  auto hit = recent_.find(text);
  if (hit != recent_.end()) return {hit->second};
  std::vector<float> vector = usable(client_->embed(text));
  if (!vector.empty()) {
    if (recent_order_.size() == kRecentQueries) {
      recent_.erase(recent_order_.front());
      recent_order_.pop_front();
    }
    recent_order_.push_back(text);
    recent_.emplace(text, vector);
  }
  return {std::move(vector)};
}

}  // namespace vantory::backend
