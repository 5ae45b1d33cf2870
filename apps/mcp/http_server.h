// MCP over streamable HTTP: one endpoint (/mcp) where a client POSTs each JSON-RPC message,
// GETs an event stream for the server's own requests, and DELETEs its session.
//
//   - A session starts with an initialize request and is named by the Mcp-Session-Id header
//     of its answer; every later request names it. No or an unknown session: 400 or 404.
//   - A request is answered with one JSON body, or with an event stream when it is a
//     tools/call that asks for progress and the client accepts streams. A notification or a
//     response is taken with 202.
//   - With a token, every request must carry "Authorization: Bearer <token>" (401 otherwise).
//     Without one the server only listens on a loopback address.
//   - An Origin header must name this server or an origin allowed by the options (403
//     otherwise); on a loopback address the Host header must name a loopback host (403), so a
//     web page cannot reach the server by rebinding a name of its own to 127.0.0.1.
//   - Bodies larger than max_body_bytes are refused (413) without being held in memory.
//   - An MCP-Protocol-Version header must name a version this server speaks (400).
//
// The tool calls of every session share one CallScheduler: the bound on calls running at once
// holds for the whole process, and so does the order of calls on one Tarnel or one agent.
//
// Thread safety: stop may be called from any thread; the rest from one.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apps/host/host.h"
#include "apps/mcp/call_scheduler.h"
#include "common/mutex.h"

namespace httplib {
class ContentReader;
struct Request;
struct Response;
class Server;
}  // namespace httplib

namespace vantory::mcp {

class HttpSession;

struct HttpOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0 picks a free port
  // The bearer token every request must carry; empty for none (loopback addresses only).
  std::string token;
  // Origins (scheme://host[:port]) allowed besides the server's own.
  std::vector<std::string> allowed_origins;
  std::size_t max_body_bytes = 16u << 20;
  // Sessions kept at once; the least recently used idle one makes room for a new one.
  std::size_t max_sessions = 64;
  // Connections served at once; an event stream holds one for as long as it is open, so at
  // most half of them may be event streams (a client turned away is told 405, which clients
  // take as a server without a stream).
  std::size_t threads = 32;
};

// True for "localhost", "::1" and the addresses of 127.0.0.0/8.
bool is_loopback_host(const std::string& host);

// Reads "HOST:PORT" ("127.0.0.1:8080", "[::1]:8080", "localhost:0") into `options`. Throws
// ValueError for anything else.
void parse_listen_address(const std::string& text, HttpOptions& options);

// The token in `path`, without surrounding white space. Throws OSError when the file cannot
// be read, ValueError when it holds no token.
std::string read_token_file(const std::string& path);

class McpHttpServer {
 public:
  // Binds the address of `options`. Throws ValueError when no token is given for an address
  // that is not loopback, RuntimeError when the address cannot be bound.
  McpHttpServer(host::Host& host, CallScheduler& calls, HttpOptions options);
  // stop().
  ~McpHttpServer();
  McpHttpServer(const McpHttpServer&) = delete;
  McpHttpServer& operator=(const McpHttpServer&) = delete;

  int port() const { return port_; }
  // "http://HOST:PORT/mcp".
  std::string url() const;

  // Serves until stop; answers false when serving failed. The server may be destroyed once
  // serve has returned.
  bool serve();

  // Stops taking requests, lets the calls that run finish and answer (calls not started are
  // dropped), ends every session and stream, and makes serve return. Idempotent.
  void stop();

 private:
  bool admit(const httplib::Request& request, httplib::Response& response) const;
  void post(const httplib::Request& request, httplib::Response& response,
            const httplib::ContentReader& reader);
  void get(const httplib::Request& request, httplib::Response& response);
  void remove(const httplib::Request& request, httplib::Response& response);
  // The session the request names; answers 400 or 404 (and nullptr) when there is none.
  std::shared_ptr<HttpSession> named_session(const httplib::Request& request,
                                             httplib::Response& response);
  std::shared_ptr<HttpSession> find_session(const std::string& id);
  std::shared_ptr<HttpSession> new_session();
  void end_session(const std::string& id);

  host::Host& host_;
  CallScheduler& calls_;
  const HttpOptions options_;
  std::vector<std::string> own_origins_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};
  // Locks: `stop_mutex_` lets one caller of stop through at a time; `sessions_mutex_` guards
  // the sessions and is taken after `stop_mutex_`, never held while a session is closed.
  Mutex stop_mutex_;
  Mutex sessions_mutex_ ACQUIRED_AFTER(stop_mutex_);
  std::map<std::string, std::shared_ptr<HttpSession>> sessions_ GUARDED_BY(sessions_mutex_);
};

}  // namespace vantory::mcp
