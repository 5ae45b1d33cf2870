// One client's session of MCP over HTTP: the McpServer that holds its conversation, and the
// routes its messages take back. A message about a client request (its answer, its progress)
// goes to the HTTP exchange that carried the request; a request of the server's own (roots/list)
// waits for the client's event stream (an HTTP GET).
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "apps/host/host.h"
#include "apps/mcp/call_scheduler.h"
#include "apps/mcp/json_rpc.h"
#include "apps/mcp/mcp_server.h"
#include "common/json.h"
#include "common/mutex.h"

namespace vantory::mcp {

class HttpSession {
 public:
  // What next_message answers.
  enum class Next {
    kMessage,   // a message (the text of one JSON-RPC message, without a line feed)
    kAnswered,  // the exchange's answer was the last message; nothing follows
    kDropped,   // the request ended without an answer (it was cancelled)
    kClosed,    // the session ended
    kTimedOut,  // nothing came within the wait
  };

  // Messages of the server's own that may wait for the client's event stream; the oldest is
  // dropped beyond this.
  static constexpr std::size_t kMaxWaitingMessages = 64;

  HttpSession(std::string id, host::Host& host, CallScheduler& calls);
  // Ends the session: see close.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  const std::string& id() const { return id_; }

  // Opens the exchange that carries the answer of request `request_id`. Answers false when an
  // exchange for that id is open already.
  bool open_exchange(const Json& request_id);
  // Forgets the exchange: later messages about the request are dropped.
  void close_exchange(const Json& request_id);

  // Hands a message of the client to the conversation.
  void handle(const ReadResult& message);

  // The next message of the exchange of `request_id` (or, with a null id, of the event
  // stream), waiting at most `wait`.
  Next next_message(const Json& request_id, std::chrono::milliseconds wait, std::string& text);

  // Claims the session's event stream; false when a stream is open already.
  bool open_stream();
  void close_stream();

  // True when no exchange and no stream is open: the session may be dropped to make room.
  bool idle() const;
  // When the client last sent something or the session last wrote to it.
  std::chrono::steady_clock::time_point last_used() const;

  // Ends the session: calls not yet started are dropped, running ones are waited for (their
  // answers still go out), then every wait ends with kClosed.
  void close();

 private:
  struct Exchange {
    std::deque<std::string> messages;
    bool ended = false;
    bool answered = false;
  };

  bool route(const std::string& text, const Json& request_id, bool answer);

  // Locks: `mutex_` guards the routes and the session's state; it is not held while the
  // server handles a message or shuts down.
  const std::string id_;
  mutable Mutex mutex_;
  std::condition_variable changed_;
  std::map<Json, Exchange> exchanges_ GUARDED_BY(mutex_);
  std::deque<std::string> stream_messages_ GUARDED_BY(mutex_);
  bool stream_open_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point last_used_ GUARDED_BY(mutex_);
  // Last: made after the routes it writes to, destroyed (its calls waited for) before them.
  std::unique_ptr<McpServer> server_;
};

}  // namespace vantory::mcp
