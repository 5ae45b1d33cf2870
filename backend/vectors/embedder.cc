#include "backend/vectors/embedder.h"

#include <cstdlib>

#include "backend/vectors/local_embedder.h"
#include "backend/vectors/remote_embedder.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory::backend {

std::string configured_service_url() {
  for (const char* variable : {"REMOTE_EMBEDDING_URL", "EMBEDDING_API_URL", "ORVANE_API_URL"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return {};
}

std::string remote_embedder_name(const Json& identity) {
  const std::string& url = identity["url"].get_ref<const std::string&>();
  if (identity["format"] != "openai") return "remote:" + url;
  return "openai:" + identity["model"].get<std::string>() + ":" +
         std::to_string(identity["dimension"].get<std::int64_t>()) + "@" + url;
}

Json describe_remote_embedder(const Json& identity) {
  Json description = {{"kind", "remote"}, {"name", remote_embedder_name(identity)}};
  for (const auto& [key, value] : identity.items()) description[key] = value;
  return description;
}

std::string configured_embedder_name() {
  if (configured_service_url().empty()) return LocalEmbedder().name();
  return remote_embedder_name(RemoteEmbeddingClient::configured_identity());
}

Json describe_configured_embedder() {
  if (configured_service_url().empty()) return LocalEmbedder().describe();
  return describe_remote_embedder(RemoteEmbeddingClient::configured_identity());
}

std::unique_ptr<Embedder> make_embedder() {
  if (configured_service_url().empty()) return std::make_unique<LocalEmbedder>();
  return std::make_unique<RemoteEmbedder>();
}

std::string embedding_text(const Json& chunk) {
  std::string text;
  auto append = [&](const Json* value) {
    if (!value || !value->is_string()) return;
    if (!text.empty()) text += '\n';
    text += value->get_ref<const std::string&>();
  };
  auto member = [&](const char* key) -> const Json* {
    auto it = chunk.find(key);
    return it == chunk.end() ? nullptr : &*it;
  };
  // The name counts twice: it says more about a unit than any one line of its body.
  append(member("name"));
  append(member("name"));
  append(member("summary"));
  if (const Json* keywords = member("keywords"); keywords && keywords->is_array()) {
    for (const Json& keyword : *keywords) append(&keyword);
  }
  append(member("content"));
  return text;
}

}  // namespace vantory::backend
