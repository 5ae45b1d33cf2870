#include "apps/mcp/http_server.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>

#include "apps/mcp/http_session.h"
#include "apps/mcp/json_rpc.h"
#include "apps/mcp/mcp_server.h"
#include "common/error.h"
#include "common/files.h"

namespace vantory::mcp {

namespace {

constexpr const char* kPath = "/mcp";
// An idle event stream gets a comment this often, so that a client that went away is noticed.
constexpr std::chrono::seconds kStreamPulse{15};
// How long a request waits for its answer between looks at whether the server stops.
constexpr std::chrono::seconds kAnswerWait{60};

std::string new_session_id() {
  std::random_device random;
  char text[33];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

bool same_secret(std::string_view given, std::string_view expected) {
  // Every byte is compared, so the time taken does not tell how much of a guess was right.
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  }
  return difference == 0;
}

bool has_token(std::string_view list, std::string_view token) {
  std::string lower(list);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return lower.find(token) != std::string::npos;
}

void refuse(httplib::Response& response, int status, int code, const std::string& message,
            const Json& id = nullptr) {
  response.status = status;
  std::string body = error_line(id, code, message);
  body.pop_back();
  response.set_content(body, "application/json");
}

// The host of a Host header ("127.0.0.1:8080", "[::1]:8080", "localhost").
std::string host_of(const std::string& header) {
  if (!header.empty() && header.front() == '[') {
    std::size_t end = header.find(']');
    return end == std::string::npos ? header : header.substr(1, end - 1);
  }
  return header.substr(0, header.find(':'));
}

void write_event(httplib::DataSink& sink, const std::string& message) {
  std::string event = "event: message\ndata: " + message + "\n\n";
  sink.write(event.data(), event.size());
}

// Writes the next event of an event stream: a message of the exchange of `request_id` (or,
// with a null id, of the session's own stream), a comment when nothing came for a while, the
// end after the answer or when the session closes.
bool stream_next(HttpSession& session, const Json& request_id, httplib::DataSink& sink) {
  std::string text;
  switch (session.next_message(request_id, kStreamPulse, text)) {
    case HttpSession::Next::kMessage:
      write_event(sink, text);
      break;
    case HttpSession::Next::kAnswered:
      write_event(sink, text);
      sink.done();
      break;
    case HttpSession::Next::kTimedOut:
      sink.write(":\n\n", 3);
      break;
    case HttpSession::Next::kDropped:
    case HttpSession::Next::kClosed:
      sink.done();
      break;
  }
  return true;
}

}  // namespace

bool is_loopback_host(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address{};
  return host.rfind("127.", 0) == 0 && ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

void parse_listen_address(const std::string& text, HttpOptions& options) {
  std::size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  std::string_view port =
      colon == std::string::npos ? "" : std::string_view(text).substr(colon + 1);
  int number = -1;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() ||
      number < 0 || number > 65535) {
    throw ValueError("--http needs HOST:PORT (such as 127.0.0.1:8080), not '" + text + "'");
  }
  options.host = host;
  options.port = number;
}

std::string read_token_file(const std::string& path) {
  std::string text = read_file(path);
  std::size_t start = text.find_first_not_of(" \t\r\n");
  std::size_t end = text.find_last_not_of(" \t\r\n");
  if (start == std::string::npos) throw ValueError("the token file " + path + " is empty");
  return text.substr(start, end - start + 1);
}

McpHttpServer::McpHttpServer(host::Host& host, CallScheduler& calls, HttpOptions options)
    : host_(host),
      calls_(calls),
      options_(std::move(options)),
      server_(std::make_unique<httplib::Server>()) {
  bool loopback = is_loopback_host(options_.host);
  if (options_.token.empty() && !loopback) {
    throw ValueError("serving on " + options_.host +
                     " needs a token (--token-file): only a loopback address may go without");
  }
  std::size_t threads = std::max<std::size_t>(options_.threads, 2);
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_payload_max_length(options_.max_body_bytes);
  // A connection waiting for its next request holds a thread, and stop waits for it: a short
  // wait keeps both small, at the cost of a new connection after a pause.
  server_->set_keep_alive_timeout(1);
  server_->Post(kPath,
                [this](const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader) { post(request, response, reader); });
  server_->Get(kPath, [this](const httplib::Request& request, httplib::Response& response) {
    get(request, response);
  });
  server_->Delete(kPath, [this](const httplib::Request& request, httplib::Response& response) {
    remove(request, response);
  });

  port_ = options_.port == 0
              ? server_->bind_to_any_port(options_.host)
              : (server_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
  if (port_ <= 0) {
    throw RuntimeError("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
  }
  std::string port = ":" + std::to_string(port_);
  std::vector<std::string> names = {
      options_.host.find(':') == std::string::npos ? options_.host : "[" + options_.host + "]"};
  if (loopback) names.insert(names.end(), {"127.0.0.1", "localhost", "[::1]"});
  for (const std::string& name : names) own_origins_.push_back("http://" + name + port);
  for (std::string origin : options_.allowed_origins) {
    while (!origin.empty() && origin.back() == '/') origin.pop_back();
    own_origins_.push_back(origin);
  }
}

McpHttpServer::~McpHttpServer() { stop(); }

std::string McpHttpServer::url() const {
  std::string host =
      options_.host.find(':') == std::string::npos ? options_.host : "[" + options_.host + "]";
  return "http://" + host + ":" + std::to_string(port_) + kPath;
}

bool McpHttpServer::serve() { return server_->listen_after_bind(); }

void McpHttpServer::stop() {
  MutexLock once(stop_mutex_);
  if (stopping_.exchange(true)) return;
  std::map<std::string, std::shared_ptr<HttpSession>> sessions;
  {
    MutexLock lock(sessions_mutex_);
    sessions.swap(sessions_);
  }
  // The running calls finish and their answers go out before the connections close.
  for (auto& [id, session] : sessions) session->close();
  server_->stop();
}

bool McpHttpServer::admit(const httplib::Request& request, httplib::Response& response) const {
  if (is_loopback_host(options_.host) &&
      !is_loopback_host(host_of(request.get_header_value("Host")))) {
    refuse(response, 403, kInvalidRequest, "Forbidden: the Host header must name this machine");
    return false;
  }
  if (request.has_header("Origin")) {
    std::string origin = request.get_header_value("Origin");
    if (std::find(own_origins_.begin(), own_origins_.end(), origin) == own_origins_.end()) {
      refuse(response, 403, kInvalidRequest,
             "Forbidden: origin " + origin + " is not allowed (see --allow-origin)");
      return false;
    }
  }
  if (!options_.token.empty()) {
    std::string authorization = request.get_header_value("Authorization");
    constexpr std::string_view kBearer = "bearer ";
    bool bearer = authorization.size() > kBearer.size() &&
                  has_token(authorization.substr(0, kBearer.size()), kBearer);
    if (!bearer ||
        !same_secret(std::string_view(authorization).substr(kBearer.size()), options_.token)) {
      response.set_header("WWW-Authenticate", "Bearer");
      refuse(response, 401, kInvalidRequest, "Unauthorized: a valid bearer token is required");
      return false;
    }
  }
  if (request.has_header("MCP-Protocol-Version")) {
    std::string version = request.get_header_value("MCP-Protocol-Version");
    if (std::find(kProtocolVersions.begin(), kProtocolVersions.end(), version) ==
        kProtocolVersions.end()) {
      refuse(response, 400, kInvalidRequest,
             "Bad Request: unsupported protocol version " + version);
      return false;
    }
  }
  return true;
}

std::shared_ptr<HttpSession> McpHttpServer::named_session(const httplib::Request& request,
                                                          httplib::Response& response) {
  std::string id = request.get_header_value("Mcp-Session-Id");
  if (id.empty()) {
    refuse(response, 400, kInvalidRequest,
           "Bad Request: no Mcp-Session-Id header; a session starts with initialize");
    return nullptr;
  }
  std::shared_ptr<HttpSession> session = find_session(id);
  if (!session) refuse(response, 404, kInvalidRequest, "Not Found: no session " + id);
  return session;
}

std::shared_ptr<HttpSession> McpHttpServer::find_session(const std::string& id) {
  MutexLock lock(sessions_mutex_);
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<HttpSession> McpHttpServer::new_session() {
  std::shared_ptr<HttpSession> evicted;
  std::shared_ptr<HttpSession> session;
  {
    MutexLock lock(sessions_mutex_);
    if (sessions_.size() >= options_.max_sessions) {
      auto oldest = sessions_.end();
      for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (!it->second->idle()) continue;
        if (oldest == sessions_.end() || it->second->last_used() < oldest->second->last_used()) {
          oldest = it;
        }
      }
      if (oldest == sessions_.end()) return nullptr;
      evicted = std::move(oldest->second);
      sessions_.erase(oldest);
    }
    std::string id = new_session_id();
    session = std::make_shared<HttpSession>(id, host_, calls_);
    sessions_.emplace(id, session);
  }
  if (evicted) evicted->close();
  return session;
}

void McpHttpServer::end_session(const std::string& id) {
  std::shared_ptr<HttpSession> session;
  {
    MutexLock lock(sessions_mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  session->close();
}

void McpHttpServer::post(const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader) {
  if (stopping_) return refuse(response, 503, kServerBusy, "Service Unavailable: stopping");
  if (!admit(request, response)) return;
  std::shared_ptr<HttpSession> session;
  if (request.has_header("Mcp-Session-Id") && !(session = named_session(request, response))) {
    return;
  }

  std::string body;
  bool too_large = false;
  bool read = reader([&](const char* data, std::size_t length) {
    if (body.size() + length > options_.max_body_bytes) {
      too_large = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  if (too_large || response.status == 413) {
    return refuse(response, 413, kInvalidRequest,
                  "Payload Too Large: a message may hold at most " +
                      std::to_string(options_.max_body_bytes) + " bytes");
  }
  if (!read) return refuse(response, 400, kParseError, "Parse error: the body could not be read");

  ReadResult message = read_message(body);
  body.clear();
  body.shrink_to_fit();
  if (const auto* error = std::get_if<RpcError>(&message)) {
    return refuse(response, 400, error->code, error->message, error->id);
  }
  const RpcMessage& rpc = std::get<RpcMessage>(message);
  bool request_kind = rpc.kind == RpcMessage::Kind::kRequest;
  if (!session) {
    if (!request_kind || rpc.method != "initialize") {
      return refuse(response, 400, kInvalidRequest,
                    "Bad Request: no Mcp-Session-Id header; a session starts with initialize",
                    rpc.id);
    }
    session = new_session();
    if (!session) {
      return refuse(response, 503, kServerBusy,
                    "Service Unavailable: every session is in use; try again later", rpc.id);
    }
  }
  if (!request_kind) {
    session->handle(message);
    response.status = 202;
    return;
  }

  Json id = rpc.id;
  if (!session->open_exchange(id)) {
    return refuse(response, 400, kInvalidRequest,
                  "Invalid Request: a request with this id is still being answered", id);
  }
  bool progress = rpc.method == "tools/call" && rpc.params.is_object() &&
                  rpc.params.contains("_meta") && rpc.params["_meta"].is_object() &&
                  rpc.params["_meta"].contains("progressToken");
  bool stream = progress && has_token(request.get_header_value("Accept"), "text/event-stream");
  if (rpc.method == "initialize") response.set_header("Mcp-Session-Id", session->id());
  session->handle(message);

  if (stream) {
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream",
        [session, id](std::size_t, httplib::DataSink& sink) {
          return stream_next(*session, id, sink);
        },
        [session, id](bool) { session->close_exchange(id); });
    return;
  }

  std::string text;
  HttpSession::Next next;
  do {
    next = session->next_message(id, kAnswerWait, text);
  } while (next == HttpSession::Next::kMessage || next == HttpSession::Next::kTimedOut);
  session->close_exchange(id);
  if (next == HttpSession::Next::kAnswered) {
    response.set_content(text, "application/json");
  } else if (next == HttpSession::Next::kDropped) {
    response.status = 204;
  } else {
    refuse(response, 503, kServerBusy,
           "Service Unavailable: the session ended before the request was answered", id);
  }
}

void McpHttpServer::get(const httplib::Request& request, httplib::Response& response) {
  if (stopping_) return refuse(response, 503, kServerBusy, "Service Unavailable: stopping");
  if (!admit(request, response)) return;
  if (!has_token(request.get_header_value("Accept"), "text/event-stream")) {
    return refuse(response, 406, kInvalidRequest,
                  "Not Acceptable: the event stream needs Accept: text/event-stream");
  }
  std::shared_ptr<HttpSession> session = named_session(request, response);
  if (!session) return;
  if (++streams_ > std::max<std::size_t>(options_.threads / 2, 1)) {
    --streams_;
    response.set_header("Allow", "POST, DELETE");
    return refuse(response, 405, kInvalidRequest,
                  "Method Not Allowed: no room for another event stream");
  }
  if (!session->open_stream()) {
    --streams_;
    return refuse(response, 409, kInvalidRequest,
                  "Conflict: the session has an event stream open already");
  }
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [session](std::size_t, httplib::DataSink& sink) {
        return stream_next(*session, nullptr, sink);
      },
      [this, session](bool) {
        session->close_stream();
        --streams_;
      });
}

void McpHttpServer::remove(const httplib::Request& request, httplib::Response& response) {
  if (!admit(request, response)) return;
  std::shared_ptr<HttpSession> session = named_session(request, response);
  if (!session) return;
  end_session(session->id());
  response.status = 200;
}

}  // namespace vantory::mcp
