#include "apps/mcp/mcp_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "apps/host/tool_arguments.h"
#include "apps/mcp/folder_watches.h"
#include "apps/mcp/line_reader.h"
#include "apps/mcp/tool_result.h"
#include "common/json_text.h"

#ifndef VANTORY_VERSION
#define VANTORY_VERSION "0.0.0"
#endif

namespace vantory::mcp {

namespace {

constexpr const char* kInstructions =
    "vantory keeps a memory of source code and of free-text memories per agent. Code: "
    "index_directory indexes a folder (and later re-indexes only what changed); then "
    "search_codebase, summarize_context, dependency_graph, circular_dependency_check and "
    "usage_analysis answer questions about it without reading whole files. Memories: "
    "memory_add stores a note (a repeated one updates the note it repeats), memory_update "
    "corrects one, memory_search finds notes by meaning and keywords. Every tool takes an "
    "optional agent_id.";

bool is_progress_token(const Json& token) { return token.is_string() || token.is_number_integer(); }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The folders of a roots/list answer; empty when it names none this machine can use.
std::vector<std::string> root_folders(const Json& result) {
  std::vector<std::string> folders;
  auto roots = result.is_object() ? result.find("roots") : result.end();
  if (roots == result.end() || !roots->is_array()) return folders;
  for (const Json& root : *roots) {
    if (!root.is_object() || !root.contains("uri") || !root["uri"].is_string()) continue;
    std::string path = file_uri_path(root["uri"].get_ref<const std::string&>());
    if (!path.empty()) folders.push_back(std::move(path));
  }
  return folders;
}

}  // namespace

std::string negotiate_protocol_version(const Json& requested) {
  if (requested.is_string()) {
    for (std::string_view version : kProtocolVersions) {
      if (requested == version) return std::string(version);
    }
  }
  return std::string(kProtocolVersions.back());
}

std::string file_uri_path(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (uri.substr(0, kScheme.size()) != kScheme) return "";
  uri.remove_prefix(kScheme.size());
  std::size_t slash = uri.find('/');
  if (slash == std::string_view::npos) return "";
  std::string_view host = uri.substr(0, slash);
  if (!host.empty() && host != "localhost") return "";
  std::string path;
  for (std::size_t i = slash; i < uri.size(); ++i) {
    if (uri[i] == '?' || uri[i] == '#') break;
    if (uri[i] != '%') {
      path += uri[i];
      continue;
    }
    int high = i + 2 < uri.size() ? hex_digit(uri[i + 1]) : -1;
    int low = high >= 0 ? hex_digit(uri[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return "";
    path += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return path;
}

McpServer::McpServer(host::Host& host, CallScheduler& calls, MessageWriter write)
    : host_(host),
      scheduler_(calls),
      write_(std::move(write)),
      roots_(std::make_shared<const host::AllowedRoots>(host.allowed_roots())) {}

McpServer::~McpServer() { shutdown(); }

void McpServer::shutdown() {
  std::vector<std::pair<Json, std::uint64_t>> calls;
  {
    MutexLock lock(mutex_);
    for (const auto& [id, call] : calls_) calls.emplace_back(id, call.ticket);
  }
  for (const auto& [id, ticket] : calls) {
    if (ticket == 0 || !scheduler_.cancel(ticket)) continue;
    // Never run and never answered; the transport hears nothing more of it.
    MutexLock lock(mutex_);
    calls_.erase(id);
    if (calls_.empty()) calls_done_.notify_all();
  }
  finish();
}

void McpServer::send(const std::string& text, const Json& request_id, bool answer) {
  MutexLock lock(write_mutex_);
  if (output_ok_ && !write_(text, request_id, answer)) output_ok_ = false;
}

bool McpServer::handle_line(std::string_view line) {
  if (is_blank_line(line)) return output_ok_;
  return handle(read_message(line));
}

bool McpServer::handle(const ReadResult& read) {
  if (const auto* error = std::get_if<RpcError>(&read)) {
    send(error_line(error->id, error->code, error->message), error->id, true);
    return output_ok_;
  }
  const auto& message = std::get<RpcMessage>(read);
  switch (message.kind) {
    case RpcMessage::Kind::kRequest:
      handle_request(message);
      break;
    case RpcMessage::Kind::kNotification:
      handle_notification(message);
      break;
    case RpcMessage::Kind::kResponse:
      handle_response(message.id, message.params);
      break;
  }
  return output_ok_;
}

bool McpServer::refuse_oversized_line() {
  RpcError error = oversized_message_error();
  send(error_line(error.id, error.code, error.message), error.id, true);
  return output_ok_;
}

void McpServer::finish() {
  MutexLock lock(mutex_);
  while (!calls_.empty()) lock.wait(calls_done_);
}

std::string McpServer::protocol_version() const {
  MutexLock lock(mutex_);
  return protocol_version_;
}

std::shared_ptr<const host::AllowedRoots> McpServer::roots() const {
  MutexLock lock(mutex_);
  return roots_;
}

void McpServer::handle_request(const RpcMessage& request) {
  const std::string& method = request.method;
  if (method == "tools/call") return call_tool(request);
  if (!request.params.is_null() && !request.params.is_object()) {
    return send(error_line(request.id, kInvalidParams, "Invalid params: expected an object"),
                request.id, true);
  }
  if (method == "ping") return send(result_line(request.id, Json::object()), request.id, true);
  if (method == "initialize") {
    return send(result_line(request.id, initialize(request.params)), request.id, true);
  }
  if (method == "tools/list") return send(result_line(request.id, tool_list()), request.id, true);
  send(error_line(request.id, kMethodNotFound, "Method not found: " + method), request.id, true);
}

void McpServer::handle_notification(const RpcMessage& notification) {
  const std::string& method = notification.method;
  const Json& params = notification.params;
  if (method == "notifications/cancelled") {
    if (!params.is_object() || !params.contains("requestId")) return;
    const Json& id = params["requestId"];
    std::uint64_t ticket = 0;
    {
      MutexLock lock(mutex_);
      auto it = calls_.find(id);
      if (it == calls_.end()) return;
      it->second.cancelled = true;
      ticket = it->second.ticket;
    }
    if (scheduler_.cancel(ticket)) end_call(id);
  } else if (method == "notifications/initialized" ||
             method == "notifications/roots/list_changed") {
    bool ask;
    {
      MutexLock lock(mutex_);
      ask = client_has_roots_;
    }
    if (ask) request_roots();
  }
}

void McpServer::request_roots() {
  Json id;
  {
    MutexLock lock(mutex_);
    id = "roots-" + std::to_string(next_request_id_++);
    roots_request_id_ = id;
  }
  send(request_line(id, "roots/list"));
}

void McpServer::handle_response(const Json& id, const Json& result) {
  std::vector<std::string> folders = root_folders(result);
  MutexLock lock(mutex_);
  if (roots_request_id_.is_null() || id != roots_request_id_) return;
  roots_request_id_ = nullptr;
  // A client that names no folder (or answers with an error) leaves the host's roots in force.
  roots_ = folders.empty() ? std::make_shared<const host::AllowedRoots>(host_.allowed_roots())
                           : std::make_shared<const host::AllowedRoots>(folders);
  awaiting_roots_ = false;
  roots_arrived_.notify_all();
}

std::shared_ptr<const host::AllowedRoots> McpServer::roots_for_call(
    const host::ToolDefinition& tool) {
  MutexLock lock(mutex_);
  if (!awaiting_roots_ || !host::Host::takes_paths(tool)) return roots_;
  const auto deadline = std::chrono::steady_clock::now() + kRootsWait;
  while (awaiting_roots_ &&
         lock.wait_until(roots_arrived_, deadline) == std::cv_status::no_timeout) {
  }
  if (awaiting_roots_) {
    awaiting_roots_ = false;
    std::fprintf(stderr,
                 "vantory-mcp: the client offered roots but did not list them; tools read "
                 "below %s\n",
                 roots_->describe().c_str());
  }
  return roots_;
}

Json McpServer::initialize(const Json& params) {
  Json requested = params.is_object() ? params.value("protocolVersion", Json()) : Json();
  const Json* capabilities =
      params.is_object() && params.contains("capabilities") ? &params["capabilities"] : nullptr;
  MutexLock lock(mutex_);
  protocol_version_ = negotiate_protocol_version(requested);
  client_has_roots_ = capabilities && capabilities->is_object() && capabilities->contains("roots");
  awaiting_roots_ = client_has_roots_;
  return {{"protocolVersion", protocol_version_},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", {{"name", "vantory-mcp"}, {"version", VANTORY_VERSION}}},
          {"instructions", kInstructions}};
}

const Json& McpServer::tool_list() {
  MutexLock lock(mutex_);
  if (tool_list_.is_null()) {
    Json tools = Json::array();
    for (const host::ToolDefinition& tool : host_.listed_tools()) {
      tools.push_back(host::tool_listing(tool));
    }
    tool_list_ = {{"tools", std::move(tools)}};
  }
  return tool_list_;
}

void McpServer::call_tool(const RpcMessage& request) {
  const Json& id = request.id;
  const Json& params = request.params;
  if (!params.is_object() || !params.contains("name") || !params["name"].is_string()) {
    return send(
        error_line(id, kInvalidParams, "Invalid params: tools/call needs a \"name\" string"), id,
        true);
  }
  const std::string& name = params["name"].get_ref<const std::string&>();
  const host::ToolDefinition* tool = host_.find_tool(name);
  if (!tool) return send(error_line(id, kInvalidParams, "Unknown tool: " + name), id, true);
  Json arguments = params.value("arguments", Json());
  if (!arguments.is_object() && !arguments.is_null()) {
    return send(error_line(id, kInvalidParams, "Invalid params: \"arguments\" must be an object"),
                id, true);
  }
  Json bound;
  try {
    bound = host::bind_tool_arguments(*tool, arguments);
  } catch (const std::exception& e) {
    return send(result_line(id, tool_error(e)), id, true);
  }
  Json token;
  auto meta = params.find("_meta");
  if (meta != params.end() && meta->is_object() && meta->contains("progressToken") &&
      is_progress_token((*meta)["progressToken"])) {
    token = (*meta)["progressToken"];
  }

  bool in_use;
  {
    MutexLock lock(mutex_);
    in_use = !calls_.try_emplace(id).second;
  }
  if (in_use) {
    // The id names a call still running: its answer could not be told from this one's.
    return send(error_line(id, kInvalidRequest,
                           "Invalid Request: id " + dump_json(id) + " is already in use"),
                id, true);
  }
  std::string lane = host::Host::call_lane(*tool, bound);
  std::uint64_t ticket =
      scheduler_.submit(lane, [this, id, tool, bound = std::move(bound), token = std::move(token)] {
        run_call(id, *tool, bound, token);
      });
  if (ticket == 0) {
    end_call(id);
    return send(error_line(id, kServerBusy,
                           "Server busy: too many calls are waiting; try again when some are "
                           "answered"),
                id, true);
  }
  MutexLock lock(mutex_);
  auto it = calls_.find(id);
  if (it != calls_.end()) it->second.ticket = ticket;
}

bool McpServer::cancelled(const Json& id) {
  MutexLock lock(mutex_);
  auto it = calls_.find(id);
  return it == calls_.end() || it->second.cancelled;
}

void McpServer::end_call(const Json& id) {
  bool dropped;
  {
    MutexLock lock(mutex_);
    auto it = calls_.find(id);
    if (it == calls_.end()) return;
    dropped = it->second.cancelled;
  }
  // The transport learns that no answer will come before the call counts as done, so that
  // nothing is written about it once finish() has returned.
  if (dropped) send("", id, true);
  MutexLock lock(mutex_);
  calls_.erase(id);
  if (calls_.empty()) calls_done_.notify_all();
}

void McpServer::run_call(const Json& id, const host::ToolDefinition& tool, const Json& arguments,
                         const Json& progress_token) {
  // Cancelled between being taken from the queue and getting here: still not run.
  if (cancelled(id)) return end_call(id);

  host::ProgressFn progress;
  if (!progress_token.is_null()) {
    // One notification per percent at most: a large folder must not flood the client.
    progress = [this, &id, &progress_token, last_percent = std::int64_t{-1}](
                   std::int64_t done, std::int64_t total, const std::string& message) mutable {
      std::int64_t percent = total > 0 ? done * 100 / total : 0;
      if (percent == last_percent && done != total) return;
      last_percent = percent;
      if (cancelled(id)) return;
      Json note = {{"progressToken", progress_token}, {"progress", done}};
      if (total > 0) note["total"] = total;
      if (!message.empty()) note["message"] = message;
      send(notification_line("notifications/progress", note), id, false);
    };
  }

  Json result;
  try {
    result = tool_result(host_.run_tool(tool, arguments, *roots_for_call(tool), progress));
  } catch (const std::exception& e) {
    result = tool_error(e);
  } catch (...) {
    result = tool_error("RuntimeError", "unknown failure");
  }
  if (!cancelled(id)) send(result_line(id, result), id, true);
  end_call(id);
}

int serve_stdio(host::Host& host, std::size_t max_calls, const std::vector<std::string>& watch) {
  CallScheduler scheduler(max_calls, kMaxWaitingCalls);
  FolderWatches watches(host, scheduler, watch);
  // The protocol gets its own copy of standard output; standard output itself then points at
  // standard error, so a stray write anywhere in the process cannot corrupt the stream.
  int protocol_fd = ::dup(STDOUT_FILENO);
  if (protocol_fd < 0) return 1;
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    // No standard error to share (the client closed it): stray writes go nowhere.
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0) return 1;
    ::close(null_fd);
  }
  McpServer server(host, scheduler, [protocol_fd](const std::string& line, const Json&, bool) {
    std::size_t written = 0;  // an empty line (a call cancelled) writes nothing
    while (written < line.size()) {
      ssize_t n = ::write(protocol_fd, line.data() + written, line.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      written += static_cast<std::size_t>(n);
    }
    return true;
  });
  LineReader reader(STDIN_FILENO, kMaxMessageBytes);
  std::string line;
  while (true) {
    LineReader::Status status = reader.next(line);
    if (status == LineReader::Status::kEnd) {
      server.finish();
      return 0;
    }
    bool ok = status == LineReader::Status::kTooLong ? server.refuse_oversized_line()
                                                     : server.handle_line(line);
    if (!ok) return 1;
  }
}

}  // namespace vantory::mcp
