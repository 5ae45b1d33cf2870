#include "memory/embedding/embedding_log.h"

#include <cstdio>
#include <string>

namespace vantory {

void log_embedding_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 13);
  line.append("[Embedding] ");
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace vantory
