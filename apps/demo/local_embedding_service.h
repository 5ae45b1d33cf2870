// A small embedding service for the demonstration, served on 127.0.0.1 in this process.
//
// It embeds text deterministically by hashing its lower-cased character trigrams into a
// fixed number of dimensions, so texts that share words come out similar. It speaks both
// protocols RemoteEmbeddingClient knows: Gradio's call API (POST, then an event stream) at
// /gradio_api/call/embed_dense and a REST endpoint at /v1/embeddings.
//
// Thread safety: the service answers requests on its own threads; its accessors may be
// called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace vantory::demo {

// The embedding the service gives `text`: `dimension` numbers, not normalised.
std::vector<double> hashed_trigram_embedding(const std::string& text, std::size_t dimension);

class LocalEmbeddingService {
 public:
  // Starts serving on a free port of 127.0.0.1. Throws std::runtime_error when it cannot.
  explicit LocalEmbeddingService(std::size_t dimension = 64);
  ~LocalEmbeddingService();
  LocalEmbeddingService(const LocalEmbeddingService&) = delete;
  LocalEmbeddingService& operator=(const LocalEmbeddingService&) = delete;

  std::string gradio_url() const;
  std::string rest_url() const;

  // HTTP requests answered so far.
  std::size_t request_count() const { return requests_.load(); }

 private:
  std::size_t dimension_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> loop_ended_{false};
  std::atomic<std::size_t> requests_{0};
  std::mutex mutex_;
  std::map<std::string, std::string> pending_;  // event id -> text
  std::size_t next_event_ = 0;
};

}  // namespace vantory::demo
