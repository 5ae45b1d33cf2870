// An embedding service on 127.0.0.1, in this process, over the deterministic text embedder:
// the stand-in that lets the memory tools work on a machine without network. It speaks both
// formats RemoteEmbeddingClient knows:
//
//   Gradio call API  POST /gradio_api/call/embed_dense {"data": [text]} -> {"event_id": id};
//                    GET  /gradio_api/call/embed_dense/<id> -> an event stream whose
//                    "complete" event carries [[numbers]]. An id can be fetched once.
//   REST, OpenAI     POST /embed or /v1/embeddings. {"inputs": text} answers [numbers]
//                    (the feature-extraction form), {"inputs": [texts]} answers [[numbers]],
//                    {"input": text or [texts], "model"} answers the OpenAI-compatible
//                    {"object": "list", "data": [{"object": "embedding", "index", "embedding"}],
//                    "model", "usage"}.
//
// A malformed request is answered 400 (REST) or 422 (Gradio) with {"error": reason}.
//
// Thread safety: the service answers requests on its own threads; its accessors may be called
// from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/mutex.h"

namespace httplib {
class Server;
}

namespace vantory::embeddings {

class LocalEmbeddingService {
 public:
  // A submitted Gradio call is forgotten, fetched or not, once this many newer ones have been
  // submitted: a client that never fetches cannot make the service grow without bound.
  static constexpr std::size_t kMaxPendingEvents = 4096;

  // Starts serving on 127.0.0.1:`port` (0 picks a free port) with embeddings of `dimension`
  // numbers. Throws RuntimeError when the port cannot be had, ValueError when `dimension` is
  // not positive.
  explicit LocalEmbeddingService(int port = 0, std::size_t dimension = 256);
  // Stops serving and waits for the requests being answered.
  ~LocalEmbeddingService();
  LocalEmbeddingService(const LocalEmbeddingService&) = delete;
  LocalEmbeddingService& operator=(const LocalEmbeddingService&) = delete;

  int port() const { return port_; }
  std::size_t dimension() const { return dimension_; }
  std::string gradio_url() const;
  // .../embed: a client speaks REST to it.
  std::string rest_url() const;
  // .../v1/embeddings: a client speaks the OpenAI format to it.
  std::string openai_url() const;

  // HTTP requests answered so far.
  std::size_t request_count() const { return requests_.load(); }

 private:
  void add_routes();
  std::string submit(std::string text) EXCLUDES(mutex_);
  bool take(const std::string& event_id, std::string& text) EXCLUDES(mutex_);

  std::size_t dimension_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> loop_ended_{false};
  std::atomic<std::size_t> requests_{0};
  // `mutex_` guards the submitted texts waiting to be read, held only to add or take one.
  Mutex mutex_;
  std::map<std::string, std::string> pending_ GUARDED_BY(mutex_);  // event id -> text
  std::deque<std::string> pending_order_ GUARDED_BY(mutex_);       // event ids, oldest first
  std::size_t next_event_ GUARDED_BY(mutex_) = 0;
};

}  // namespace vantory::embeddings
