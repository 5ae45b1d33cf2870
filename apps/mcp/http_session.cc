#include "apps/mcp/http_session.h"

#include <utility>

namespace vantory::mcp {

HttpSession::HttpSession(std::string id, host::Host& host, CallScheduler& calls)
    : id_(std::move(id)), last_used_(std::chrono::steady_clock::now()) {
  server_ = std::make_unique<McpServer>(
      host, calls, [this](const std::string& text, const Json& request_id, bool answer) {
        return route(text, request_id, answer);
      });
}

HttpSession::~HttpSession() { close(); }

bool HttpSession::route(const std::string& text, const Json& request_id, bool answer) {
  // One message per HTTP body or event: the line feed that ends a line of stdio goes.
  std::string message = text;
  if (!message.empty() && message.back() == '\n') message.pop_back();
  MutexLock lock(mutex_);
  if (request_id.is_null()) {
    if (stream_messages_.size() >= kMaxWaitingMessages) stream_messages_.pop_front();
    stream_messages_.push_back(std::move(message));
  } else {
    auto it = exchanges_.find(request_id);
    // The client went away (or never waited): what it would have been told is dropped.
    if (it == exchanges_.end() || it->second.ended) return true;
    if (!message.empty()) it->second.messages.push_back(std::move(message));
    if (answer) {
      it->second.ended = true;
      it->second.answered = !text.empty();
    }
  }
  last_used_ = std::chrono::steady_clock::now();
  changed_.notify_all();
  return true;
}

bool HttpSession::open_exchange(const Json& request_id) {
  MutexLock lock(mutex_);
  last_used_ = std::chrono::steady_clock::now();
  return exchanges_.try_emplace(request_id).second;
}

void HttpSession::close_exchange(const Json& request_id) {
  MutexLock lock(mutex_);
  exchanges_.erase(request_id);
}

void HttpSession::handle(const ReadResult& message) {
  {
    MutexLock lock(mutex_);
    if (closed_) return;
    last_used_ = std::chrono::steady_clock::now();
  }
  server_->handle(message);
}

HttpSession::Next HttpSession::next_message(const Json& request_id, std::chrono::milliseconds wait,
                                            std::string& text) {
  MutexLock lock(mutex_);
  std::deque<std::string>* queue = nullptr;
  Exchange* exchange = nullptr;
  if (request_id.is_null()) {
    queue = &stream_messages_;
  } else {
    auto it = exchanges_.find(request_id);
    if (it == exchanges_.end()) return Next::kClosed;
    exchange = &it->second;  // stays put: only its own reader closes it
    queue = &exchange->messages;
  }
  auto ready = [&]() REQUIRES(mutex_) {
    return !queue->empty() || closed_ || (exchange && exchange->ended);
  };
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!ready()) {
    if (lock.wait_until(changed_, deadline) == std::cv_status::timeout && !ready()) {
      return Next::kTimedOut;
    }
  }
  if (!queue->empty()) {
    text = std::move(queue->front());
    queue->pop_front();
    bool last = exchange && exchange->ended && exchange->answered && queue->empty();
    return last ? Next::kAnswered : Next::kMessage;
  }
  if (exchange && exchange->ended) return exchange->answered ? Next::kAnswered : Next::kDropped;
  return Next::kClosed;
}

bool HttpSession::open_stream() {
  MutexLock lock(mutex_);
  if (stream_open_ || closed_) return false;
  stream_open_ = true;
  last_used_ = std::chrono::steady_clock::now();
  return true;
}

void HttpSession::close_stream() {
  MutexLock lock(mutex_);
  stream_open_ = false;
}

bool HttpSession::idle() const {
  MutexLock lock(mutex_);
  return exchanges_.empty() && !stream_open_;
}

std::chrono::steady_clock::time_point HttpSession::last_used() const {
  MutexLock lock(mutex_);
  return last_used_;
}

void HttpSession::close() {
  {
    MutexLock lock(mutex_);
    if (closed_) return;
  }
  server_->shutdown();
  MutexLock lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

}  // namespace vantory::mcp
