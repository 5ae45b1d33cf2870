// vantory-demo: embeds a few texts through RemoteEmbeddingClient against a local embedding
// service, prints their pairwise similarities, and shows the cache at work.
//
// The library's own diagnostics ("[Embedding] ...") appear on standard error between the
// lines printed here.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/demo/local_embedding_service.h"
#include "memory/embedding/process_client.h"
#include "memory/embedding/remote_embedding_client.h"

namespace {

using vantory::PythonVector;
using vantory::RemoteEmbeddingClient;

const std::vector<std::string> kTexts = {
    "The cat sleeps on the warm window sill.",
    "A cat is sleeping on the sunny window sill.",
    "Quarterly revenue grew by twelve percent.",
    "Revenue for the quarter rose twelve percent.",
};

void print_similarities(const std::vector<PythonVector>& vectors) {
  std::printf("\nPairwise cosine similarity:\n     ");
  for (std::size_t j = 0; j < vectors.size(); ++j) std::printf("    [%zu]", j + 1);
  std::printf("\n");
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    std::printf("  [%zu]", i + 1);
    for (const PythonVector& other : vectors) {
      std::printf(" %6.3f", RemoteEmbeddingClient::cosine_similarity(vectors[i], other));
    }
    std::printf("\n");
  }
}

int run(const std::string& cache_dir) {
  vantory::demo::LocalEmbeddingService service;
  std::printf("Local embedding service (Gradio call API and REST) at %s\n",
              service.gradio_url().c_str());
  std::printf("Texts:\n");
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    std::printf("  [%zu] %s\n", i + 1, kTexts[i].c_str());
  }
  std::fflush(stdout);

  auto client = std::make_shared<RemoteEmbeddingClient>(service.gradio_url(), std::nullopt,
                                                        "dense-embedding", std::nullopt, 10,
                                                        true, cache_dir);
  std::vector<PythonVector> first = vantory::get_embeddings(kTexts, client);
  std::printf("\nRound 1: %zu texts embedded on a worker pool, %zu requests to the service "
              "(submit and result for each), dimension %lld\n",
              first.size(), service.request_count(),
              static_cast<long long>(client->get_dimension()));
  print_similarities(first);

  std::size_t before = service.request_count();
  for (const std::string& text : kTexts) client->embed(text);
  std::printf("\nRound 2: %zu texts embedded, %zu new requests: every answer came from the "
              "cache (%zu entries)\n",
              kTexts.size(), service.request_count() - before, client->cache_size());

  client->save_cache();
  std::string file = cache_dir + "/embedding_cache.json";
  std::printf("Cache saved to %s (%ju bytes)\n", file.c_str(),
              static_cast<std::uintmax_t>(std::filesystem::file_size(file)));
  std::fflush(stdout);

  RemoteEmbeddingClient rest(service.rest_url(), std::nullopt, "dense-embedding", std::nullopt,
                             10, true, cache_dir);
  std::size_t start = service.request_count();
  PythonVector again = rest.embed(kTexts[0]);
  std::size_t after_again = service.request_count();
  PythonVector fresh = rest.embed("A sleepy cat on a window sill.");
  std::printf("\nA new client speaking REST loaded the cache file:\n"
              "  text [1] again: %zu requests, similarity to round 1 %.3f\n"
              "  a new text:     %zu request,  similarity to [1] %.3f\n",
              after_again - start, RemoteEmbeddingClient::cosine_similarity(again, first[0]),
              service.request_count() - after_again,
              RemoteEmbeddingClient::cosine_similarity(fresh, first[0]));
  return 0;
}

}  // namespace

int main() {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "vantory-demo-XXXXXX";
  std::string pattern = dir.string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int status = 1;
  try {
    status = run(pattern + "/.embedding_cache");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantory-demo: %s\n", e.what());
  }
  std::filesystem::remove_all(pattern);
  return status;
}
