#include "memory/ambrel/ambrel_log.h"

#include <cstdio>
#include <string>

namespace vantory {

void log_ambrel_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 10);
  line.append("[Ambrel] ");
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace vantory
