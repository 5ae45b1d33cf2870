#include "memory/embedding/internal/embedding_log.h"

#include <cstdio>
#include <exception>
#include <string>

#include "common/redaction.h"
#include "memory/embedding/http_client.h"

namespace vantory {

void log_embedding_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 13);
  line.append("[Embedding] ");
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void log_request_failure(std::string_view secret) {
  auto log = [&](const std::string& line) { log_embedding_line(without_secret(line, secret)); };
  try {
    throw;
  } catch (const HttpStatusError& e) {
    log("API HTTP error " + std::to_string(e.code()) + ": " + e.reason());
  } catch (const UrlError& e) {
    log(std::string("API URL error: ") + e.what());
  } catch (const std::exception& e) {
    log(std::string("API request failed: ") + e.what());
  }
}

}  // namespace vantory
