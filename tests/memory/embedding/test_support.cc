#include "tests/memory/embedding/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vantory::test_support {

namespace {

// A key and a self-signed certificate naming 127.0.0.1.
std::pair<X509*, EVP_PKEY*> make_certificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (!key || !cert) throw std::runtime_error("could not make a test certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1");
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert, key, EVP_sha256());
  return {cert, key};
}

// httplib listens with a backlog of 5, so a batch connecting at once would see SYNs dropped
// and retried a second later; listening again on the bound socket widens the queue.
template <class Base>
struct WideServer : Base {
  using Base::Base;
  void widen_backlog() { ::listen(this->svr_sock_, 128); }
};

}  // namespace

TestServer::TestServer(bool https) : https_(https) {
  // A TLS write to a client that gave up must not end the test process.
  signal(SIGPIPE, SIG_IGN);
  if (https) {
    auto [cert, key] = make_certificate();
    server_ = std::make_unique<WideServer<httplib::SSLServer>>(cert, key);
    X509_free(cert);
    EVP_PKEY_free(key);
  } else {
    server_ = std::make_unique<WideServer<httplib::Server>>();
  }
  // Enough threads for every worker of a batch to be served at once.
  server_->new_task_queue = [] { return new httplib::ThreadPool(24); };
  // Recorded once handled: only then has the body been read.
  server_->set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back({req.method, req.target, req.body, req.headers});
  });
}

TestServer::~TestServer() {
  release();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void TestServer::start() {
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server could not bind");
  if (https_) {
    static_cast<WideServer<httplib::SSLServer>&>(*server_).widen_backlog();
  } else {
    static_cast<WideServer<httplib::Server>&>(*server_).widen_backlog();
  }
  // The socket listens already: connections queue until the loop accepts them.
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    loop_ended_ = true;
  });
  // stop() is ignored until the accept loop runs, so a server stopped at once would hang.
  while (!server_->is_running() && !loop_ended_) std::this_thread::yield();
}

std::string TestServer::url(const std::string& path) const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> TestServer::requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

std::size_t TestServer::request_count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_.size();
}

void TestServer::hold() {
  std::unique_lock<std::mutex> guard(mutex_);
  released_cv_.wait(guard, [this] { return released_; });
}

bool TestServer::released_within(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> guard(mutex_);
  return released_cv_.wait_for(guard, pause, [this] { return released_; });
}

void TestServer::release() {
  std::lock_guard<std::mutex> guard(mutex_);
  released_ = true;
  released_cv_.notify_all();
}

StalledListener::StalledListener() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener_, 0) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("stalled listener could not listen");
  }
  port_ = ntohs(addr.sin_port);
  // Nobody accepts: once these fill the queue the kernel drops every further SYN.
  for (int i = 0; i < 3; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers_.push_back(fd);
  }
}

StalledListener::~StalledListener() {
  for (int fd : fillers_) close(fd);
  close(listener_);
}

std::string StalledListener::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int refused_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);  // bound but never listening, and now free: connecting is refused
  return ntohs(addr.sin_port);
}

StderrCapture::StderrCapture() { ::testing::internal::CaptureStderr(); }

StderrCapture::~StderrCapture() {
  if (active_) ::testing::internal::GetCapturedStderr();
}

std::string StderrCapture::text() {
  active_ = false;
  return ::testing::internal::GetCapturedStderr();
}

ScopedEnvironment::ScopedEnvironment() {
  for (const char* name :
       {"REMOTE_EMBEDDING_URL", "EMBEDDING_API_URL", "ORVANE_API_URL", "EMBEDDING_API_KEY",
        "ORVANE_API_KEY", "HF_TOKEN", "REMOTE_EMBEDDING_DIMENSION", "EMBEDDING_TLS_VERIFY",
        "EMBEDDING_API_FORMAT", "EMBEDDING_MODEL", "EMBEDDING_BATCH_SIZE",
        "EMBEDDING_REQUEST_DEADLINE"}) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    unsetenv(name);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void ScopedEnvironment::set(const char* name, const char* value) { setenv(name, value, 1); }

TempDir::TempDir() {
  char pattern[] = "/tmp/vantory-embedding-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

}  // namespace vantory::test_support
