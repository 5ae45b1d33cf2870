// Support for the embedding tests: in-process HTTP and HTTPS servers on 127.0.0.1 that record
// every request as received and can hold a handler until the test lets it go; listeners that
// stall or refuse; standard error capture; environment variables set for one test.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "memory/embedding/remote_embedding_client.h"

namespace vantory::test_support {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
};

class TestServer {
 public:
  // A plain HTTP server, or with `https` one serving a self-signed certificate for 127.0.0.1
  // made on the spot.
  explicit TestServer(bool https = false);
  // Releases held handlers, stops and joins the server.
  ~TestServer();

  // Register handlers here, then call start().
  httplib::Server& routes() { return *server_; }
  void start();

  // "http://127.0.0.1:<port>" + path (https for an HTTPS server).
  std::string url(const std::string& path) const;

  // Every request handled so far, in the order their handlers finished.
  std::vector<RecordedRequest> requests() const;
  std::size_t request_count() const;

  // For handlers: blocks until release() or the server shuts down.
  void hold();
  // For handlers that pace their output: waits up to `pause`; true once released.
  bool released_within(std::chrono::milliseconds pause);
  void release();

 private:
  std::unique_ptr<httplib::Server> server_;
  bool https_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> loop_ended_{false};
  mutable std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::vector<RecordedRequest> requests_;
};

// A listening socket whose accept queue is full, so a new connection never completes.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  std::string url(const std::string& path) const;

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
};

// A port on 127.0.0.1 that refuses connections.
int refused_port();

// Collects what the library writes to standard error between construction and text().
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text();

 private:
  bool active_ = true;
};

// Clears the client's environment variables for one test and restores them afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment();
  ~ScopedEnvironment();
  void set(const char* name, const char* value);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A client whose embeddings come from `answer` instead of a service; counts its calls.
class ScriptedClient : public RemoteEmbeddingClient {
 public:
  using Answer = std::function<PythonVector(const std::string&)>;
  explicit ScriptedClient(Answer answer, std::optional<std::string> cache_path = std::nullopt,
                          bool cache_embeddings = true)
      : RemoteEmbeddingClient("http://scripted", std::nullopt, "dense-embedding", std::nullopt,
                              60, cache_embeddings, std::move(cache_path)),
        answer_(std::move(answer)) {}
  PythonVector _call_api(const std::string& text) override {
    ++calls;
    return answer_(text);
  }
  std::atomic<int> calls{0};

 private:
  Answer answer_;
};

// A fresh directory below /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vantory::test_support
