// Chunk vectors from an embedding service: failed requests are not stored and are retried,
// repeated queries are not sent twice, and the answers name the embedder.
#include "backend/vectors/remote_embedder.h"

#include <atomic>

#include "backend/builder/memory_builder.h"
#include "backend/retriever/hybrid_retriever.h"
#include "backend/store/context_store.h"
#include "backend/vectors/local_embedder.h"
#include "backend_fixture.h"
#include "memory/embedding/remote_embedding_client.h"

namespace vantory::testing {
namespace {

// A client whose service is this function: texts containing "unlucky" fail (zero vector).
class FakeServiceClient : public RemoteEmbeddingClient {
 public:
  FakeServiceClient()
      : RemoteEmbeddingClient(std::string("https://embed.invalid/v1"), std::nullopt,
                              "dense-embedding", 256, 60, /*cache_embeddings=*/false) {}
  PythonVector _call_api(const std::string& text) override {
    ++calls;
    if (text.find("unlucky") != std::string::npos)
      return PythonVector(std::vector<float>(256, 0.0f));
    return PythonVector(backend::LocalEmbedder::embed_text(text));
  }
  std::atomic<int> calls{0};
};

TEST_F(BackendTest, ServiceVectorsAreStoredOnlyWhenTheServiceAnswered) {
  auto client = std::make_shared<FakeServiceClient>();
  auto core = std::make_shared<backend::BackendCore>(
      root_, nullptr, std::make_unique<backend::RemoteEmbedder>(client));
  backend::ContextStore store(core);
  backend::MemoryBuilder builder(core);
  backend::HybridRetriever retriever(core);

  Json chunks = Json::array({chunk("fetch_page", "function", "def fetch_page(url): ..."),
                             chunk("unlucky", "function", "def unlucky(): ...")});
  Json first = builder.process_file_chunks("agent", "web.py", chunks, "python");
  EXPECT_EQ(first["embedder"], "remote:https://embed.invalid/v1");
  EXPECT_EQ(first["new_chunks"], 2);
  EXPECT_EQ(client->calls, 2);
  EXPECT_EQ(store.get_usage_report("agent")["vectors"], 1);

  // Only the chunk whose request failed is sent again.
  Json second = builder.process_file_chunks("agent", "web.py", chunks, "python");
  EXPECT_EQ(second["reused_chunks"], 1);
  EXPECT_EQ(second["new_chunks"], 1);
  EXPECT_EQ(client->calls, 3);

  Json found = retriever.search("agent", "fetch page", 1, nullptr);
  ASSERT_EQ(found["results"].size(), 1u);
  EXPECT_EQ(found["results"][0]["chunk"]["name"], "fetch_page");
  EXPECT_GT(found["results"][0]["vector_score"].get<double>(), 0.5);
  retriever.search("agent", "fetch page", 1, nullptr);
  EXPECT_EQ(client->calls, 4);  // the repeated query was not sent again
}

}  // namespace
}  // namespace vantory::testing
