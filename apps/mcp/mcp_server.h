// A Model Context Protocol server over the host's tools: initialize (with version
// negotiation), ping, tools/list and tools/call; notifications are taken and never answered.
//
// Requests are served one at a time, in the order they arrive. A malformed line is answered
// with its JSON-RPC error and the server goes on; a failing tool is answered as a tool error
// and the server goes on.
//
// Thread safety: none; one thread feeds handle_line.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "apps/host/host.h"
#include "apps/mcp/json_rpc.h"
#include "common/json.h"

namespace vantory::mcp {

// The protocol versions this server speaks, oldest first.
inline constexpr std::array<std::string_view, 4> kProtocolVersions = {
    "2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};

// The version to answer a client that asks for `requested`: the same when this server speaks
// it, else the newest this server speaks.
std::string negotiate_protocol_version(const Json& requested);

// Writes one line of protocol output; answers false when the peer is gone.
using LineWriter = std::function<bool(const std::string& line)>;

class McpServer {
 public:
  // `write` receives every line of output (responses and notifications), each ending in a line
  // feed.
  McpServer(host::Host& host, LineWriter write);

  // Handles one line of input: answers it (a request or a malformed line), or takes it (a
  // notification, a response, a blank line). Answers false once writing failed.
  bool handle_line(std::string_view line);

  // Answers a line that was too long to read (longer than kMaxMessageBytes) with a parse
  // error. Answers false once writing failed.
  bool refuse_oversized_line();

  // The version agreed by initialize; empty before.
  const std::string& protocol_version() const { return protocol_version_; }

 private:
  void handle_request(const RpcMessage& request);
  Json initialize(const Json& params);
  const Json& tool_list();
  void call_tool(const RpcMessage& request);
  void send(const std::string& line);

  host::Host& host_;
  LineWriter write_;
  bool output_ok_ = true;
  std::string protocol_version_;
  Json tool_list_;
};

// Serves the protocol on standard input and output until input ends or output fails. Standard
// output is kept for the protocol alone: whatever else the process writes to it goes to
// standard error. Answers the exit status (0 when input ended, 1 when output failed).
int serve_stdio(host::Host& host);

}  // namespace vantory::mcp
