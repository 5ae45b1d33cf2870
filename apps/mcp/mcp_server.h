// A Model Context Protocol server over the host's tools: one conversation with one client,
// whatever carries its messages (standard input and output, or an HTTP session). It answers
// initialize (with version negotiation), ping and tools/list at once, runs tools/call on a
// CallScheduler, honours notifications/cancelled, and asks a client that offers roots for them
// (roots/list, again on notifications/roots/list_changed): the tools then read files below
// those roots only, else below the host's allowed roots.
//
// A malformed message is answered with its JSON-RPC error and the server goes on; a failing
// tool is answered as a tool error and the server goes on. A cancelled call that has not
// started never runs; the answer and the progress of a cancelled call are not sent.
//
// Thread safety: messages may be handed in from any thread; the writer is called from the
// thread that handed in a message and from the scheduler's threads, one call at a time.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "apps/host/host.h"
#include "apps/mcp/call_scheduler.h"
#include "apps/mcp/json_rpc.h"
#include "common/json.h"
#include "common/mutex.h"

namespace vantory::mcp {

// The protocol versions this server speaks, oldest first.
inline constexpr std::array<std::string_view, 4> kProtocolVersions = {"2024-11-05", "2025-03-26",
                                                                      "2025-06-18", "2025-11-25"};

// The error that answers a call when too many calls already wait for their turn.
inline constexpr int kServerBusy = -32000;

// The version to answer a client that asks for `requested`: the same when this server speaks
// it, else the newest this server speaks.
std::string negotiate_protocol_version(const Json& requested);

// The local path of a "file://" URI ("file:///a%20b" gives "/a b"); "" for any other URI or a
// file URI of another host.
std::string file_uri_path(std::string_view uri);

// Writes one message of the server: its text (one line, ending in a line feed), the id of the
// client's request it answers or reports on (null for the server's own requests to the
// client), and whether it is that request's answer. An empty text with `answer` set says that
// the request ended without an answer (it was cancelled): nothing is to be written. Answers
// false when the peer is gone.
using MessageWriter =
    std::function<bool(const std::string& text, const Json& request_id, bool answer)>;

class McpServer {
 public:
  // How long a call that takes paths waits for the roots a client offered before the host's
  // roots stand in.
  static constexpr std::chrono::seconds kRootsWait{10};

  // Serves `host`'s tools, running calls on `calls` and writing through `write`.
  McpServer(host::Host& host, CallScheduler& calls, MessageWriter write);
  // shutdown().
  ~McpServer();
  McpServer(const McpServer&) = delete;
  McpServer& operator=(const McpServer&) = delete;

  // Handles one message: answers it (a request, or a malformed message), or takes it (a
  // notification, a response). A tools/call is answered later, from the scheduler. Answers
  // false once writing failed.
  bool handle(const ReadResult& message);
  // handle(read_message(line)); blank lines are skipped.
  bool handle_line(std::string_view line);

  // Answers a line that was too long to read (longer than kMaxMessageBytes) with a parse
  // error. Answers false once writing failed.
  bool refuse_oversized_line();

  // Blocks until every call handed in so far has been answered (or cancelled).
  void finish();

  // Drops the calls that have not started (unanswered, and without the empty message of a
  // cancelled call) and waits for those that have (their answers are still written).
  void shutdown();

  // The version agreed by initialize; empty before.
  std::string protocol_version() const;

  // The roots the tools are confined to now.
  std::shared_ptr<const host::AllowedRoots> roots() const;

 private:
  struct Call {
    std::uint64_t ticket = 0;
    bool cancelled = false;
  };

  void handle_request(const RpcMessage& request);
  void handle_notification(const RpcMessage& notification);
  void handle_response(const Json& id, const Json& result);
  Json initialize(const Json& params);
  const Json& tool_list();
  void call_tool(const RpcMessage& request);
  void run_call(const Json& id, const host::ToolDefinition& tool, const Json& arguments,
                const Json& progress_token);
  bool cancelled(const Json& id);
  void end_call(const Json& id);
  void request_roots();
  std::shared_ptr<const host::AllowedRoots> roots_for_call(const host::ToolDefinition& tool);
  void send(const std::string& text, const Json& request_id = nullptr, bool answer = false);

  // Locks: `write_mutex_` guards the writer, so that messages never interleave; `mutex_` guards
  // the session's state below it. Neither is held while the other is taken, nor while a tool
  // runs or the scheduler is called.
  host::Host& host_;
  CallScheduler& scheduler_;
  Mutex write_mutex_;
  MessageWriter write_ GUARDED_BY(write_mutex_);
  std::atomic<bool> output_ok_{true};

  mutable Mutex mutex_;
  std::condition_variable calls_done_;
  std::string protocol_version_ GUARDED_BY(mutex_);
  Json tool_list_ GUARDED_BY(mutex_);
  std::map<Json, Call> calls_ GUARDED_BY(mutex_);  // by request id: the calls not yet answered

  bool client_has_roots_ GUARDED_BY(mutex_) = false;
  bool awaiting_roots_ GUARDED_BY(mutex_) = false;
  std::condition_variable roots_arrived_;
  std::shared_ptr<const host::AllowedRoots> roots_ GUARDED_BY(mutex_);
  // The id of the roots/list request last sent; null when none.
  Json roots_request_id_ GUARDED_BY(mutex_);
  std::int64_t next_request_id_ GUARDED_BY(mutex_) = 1;
};

// Serves the protocol on standard input and output until input ends or output fails, running
// at most `max_calls` tool calls at once. Standard output is kept for the protocol alone:
// whatever else the process writes to it goes to standard error. When input ends, the calls
// already received are answered first. Answers the exit status (0 when input ended, 1 when
// output failed). While it serves, the code memory of the folders `watch` is kept current
// (FolderWatches); a folder that cannot be watched throws before anything is served.
int serve_stdio(host::Host& host, std::size_t max_calls,
                const std::vector<std::string>& watch = {});

// Tool calls run at once unless told otherwise: calls beyond the first wait on a slow
// embedding service or a large folder side by side, and a small machine has few cores and
// little memory to give them.
inline constexpr std::size_t kDefaultMaxCalls = 4;

// Tool calls allowed to wait for their turn beyond those running: a client that floods the
// server is told it is busy instead of making it hold every call's arguments.
inline constexpr std::size_t kMaxWaitingCalls = 128;

}  // namespace vantory::mcp
