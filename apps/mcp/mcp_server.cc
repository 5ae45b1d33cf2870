#include "apps/mcp/mcp_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>

#include "apps/host/tool_arguments.h"
#include "apps/mcp/line_reader.h"
#include "apps/mcp/tool_result.h"

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
    "memory_add stores a note, memory_search finds notes by meaning and keywords. Every tool "
    "takes an optional agent_id.";

bool is_progress_token(const Json& token) { return token.is_string() || token.is_number_integer(); }

}  // namespace

std::string negotiate_protocol_version(const Json& requested) {
  if (requested.is_string()) {
    for (std::string_view version : kProtocolVersions) {
      if (requested == version) return std::string(version);
    }
  }
  return std::string(kProtocolVersions.back());
}

McpServer::McpServer(host::Host& host, LineWriter write) : host_(host), write_(std::move(write)) {}

void McpServer::send(const std::string& line) {
  if (output_ok_) output_ok_ = write_(line);
}

bool McpServer::handle_line(std::string_view line) {
  if (is_blank_line(line)) return output_ok_;
  ReadResult read = read_message(line);
  if (const auto* error = std::get_if<RpcError>(&read)) {
    send(error_line(error->id, error->code, error->message));
  } else {
    const auto& message = std::get<RpcMessage>(read);
    if (message.kind == RpcMessage::Kind::kRequest) handle_request(message);
  }
  return output_ok_;
}

bool McpServer::refuse_oversized_line() {
  RpcError error = oversized_message_error();
  send(error_line(error.id, error.code, error.message));
  return output_ok_;
}

void McpServer::handle_request(const RpcMessage& request) {
  const std::string& method = request.method;
  if (method == "tools/call") return call_tool(request);
  if (!request.params.is_null() && !request.params.is_object()) {
    return send(error_line(request.id, kInvalidParams, "Invalid params: expected an object"));
  }
  if (method == "initialize") return send(result_line(request.id, initialize(request.params)));
  if (method == "ping") return send(result_line(request.id, Json::object()));
  if (method == "tools/list") return send(result_line(request.id, tool_list()));
  send(error_line(request.id, kMethodNotFound, "Method not found: " + method));
}

Json McpServer::initialize(const Json& params) {
  Json requested = params.is_object() ? params.value("protocolVersion", Json()) : Json();
  protocol_version_ = negotiate_protocol_version(requested);
  return {{"protocolVersion", protocol_version_},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", {{"name", "vantory-mcp"}, {"version", VANTORY_VERSION}}},
          {"instructions", kInstructions}};
}

const Json& McpServer::tool_list() {
  if (tool_list_.is_null()) {
    Json tools = Json::array();
    for (const host::ToolDefinition& tool : host_.tools()) {
      tools.push_back({{"name", tool.name},
                       {"description", tool.description},
                       {"inputSchema", host::tool_input_schema(tool)}});
    }
    tool_list_ = {{"tools", std::move(tools)}};
  }
  return tool_list_;
}

void McpServer::call_tool(const RpcMessage& request) {
  const Json& params = request.params;
  if (!params.is_object() || !params.contains("name") || !params["name"].is_string()) {
    return send(error_line(request.id, kInvalidParams,
                           "Invalid params: tools/call needs a \"name\" string"));
  }
  const std::string& name = params["name"].get_ref<const std::string&>();
  const host::ToolDefinition* tool = host_.find_tool(name);
  if (!tool) return send(error_line(request.id, kInvalidParams, "Unknown tool: " + name));
  Json arguments = params.value("arguments", Json());
  if (!arguments.is_object() && !arguments.is_null()) {
    return send(error_line(request.id, kInvalidParams,
                           "Invalid params: \"arguments\" must be an object"));
  }

  host::ProgressFn progress;
  auto meta = params.find("_meta");
  if (meta != params.end() && meta->is_object() && meta->contains("progressToken") &&
      is_progress_token((*meta)["progressToken"])) {
    // One notification per percent at most: a large folder must not flood the client.
    progress = [this, token = (*meta)["progressToken"], last_percent = std::int64_t{-1}](
                   std::int64_t done, std::int64_t total, const std::string& message) mutable {
      std::int64_t percent = total > 0 ? done * 100 / total : 0;
      if (percent == last_percent && done != total) return;
      last_percent = percent;
      Json note = {{"progressToken", token}, {"progress", done}};
      if (total > 0) note["total"] = total;
      if (!message.empty()) note["message"] = message;
      send(notification_line("notifications/progress", note));
    };
  }

  Json result;
  try {
    result = tool_result(tool->run(host::bind_tool_arguments(*tool, arguments), progress));
  } catch (const std::exception& e) {
    result = tool_error(e);
  } catch (...) {
    result = tool_error("RuntimeError", "unknown failure");
  }
  send(result_line(request.id, result));
}

int serve_stdio(host::Host& host) {
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
  McpServer server(host, [protocol_fd](const std::string& line) {
    std::size_t written = 0;
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
    if (status == LineReader::Status::kEnd) return 0;
    bool ok = status == LineReader::Status::kTooLong ? server.refuse_oversized_line()
                                                     : server.handle_line(line);
    if (!ok) return 1;
  }
}

}  // namespace vantory::mcp
