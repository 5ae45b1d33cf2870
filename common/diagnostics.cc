#include "common/diagnostics.h"

#include <cstdio>
#include <string>

namespace vantory {

void write_error_line(std::string_view prefix, std::string_view text) {
  std::string line;
  line.reserve(prefix.size() + text.size() + 1);
  line.append(prefix);
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace vantory
