#include "backend/vectors/embedder.h"

#include <cstdlib>

#include "backend/vectors/local_embedder.h"
#include "backend/vectors/remote_embedder.h"

namespace vantory::backend {

std::string configured_service_url() {
  for (const char* variable : {"REMOTE_EMBEDDING_URL", "EMBEDDING_API_URL", "ORVANE_API_URL"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return {};
}

std::string configured_embedder_name() {
  std::string url = configured_service_url();
  return url.empty() ? LocalEmbedder().name() : "remote:" + url;
}

Json describe_configured_embedder() {
  std::string url = configured_service_url();
  if (url.empty()) return LocalEmbedder().describe();
  return {{"kind", "remote"}, {"name", "remote:" + url}, {"url", url}};
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
