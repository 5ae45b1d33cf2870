#include "apps/host/host_config.h"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "coding/tarnel.h"
#include "common/error.h"

namespace vantory::host {

namespace {

void override_from(const char* variable, std::string& field) {
  const char* value = std::getenv(variable);
  if (value && *value) field = value;
}

}  // namespace

HostConfig HostConfig::from_environment() {
  HostConfig config;
  override_from("VANTORY_CODING_ROOT", config.coding_root);
  override_from("VANTORY_DATA_ROOT", config.data_root);
  override_from("VANTORY_AGENT_ID", config.agent_id);
  override_from("VANTORY_MAX_FILE_SIZE", config.max_file_size);
  override_from("VANTORY_TOOLS", config.tools);
  return config;
}

std::uint64_t HostConfig::max_file_bytes() const {
  return max_file_size.empty() ? Tarnel::kDefaultMaxFileBytes : parse_file_size(max_file_size);
}

std::uint64_t parse_file_size(std::string_view text) {
  std::uint64_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  int shift = unit.empty() ? 0 : unit == "K" || unit == "k" ? 10 : unit == "M" || unit == "m" ? 20
            : unit == "G" || unit == "g" ? 30 : -1;
  if (error != std::errc() || end == text.data() || shift < 0 ||
      number > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    throw ValueError("max file size '" + std::string(text) +
                     "' is not a size (bytes, or a number with K, M or G: 512K, 4M)");
  }
  return number << shift;
}

bool take_host_flag(const std::vector<std::string>& args, std::size_t& i, HostConfig& config) {
  struct Flag {
    std::string_view name;
    void (*store)(HostConfig&, std::string);
  };
  static constexpr Flag kFlags[] = {
      {"--coding-root", [](HostConfig& c, std::string v) { c.coding_root = std::move(v); }},
      {"--data-root", [](HostConfig& c, std::string v) { c.data_root = std::move(v); }},
      {"--agent", [](HostConfig& c, std::string v) { c.agent_id = std::move(v); }},
      {"--max-file-size",
       [](HostConfig& c, std::string v) {
         c.max_file_size = std::move(v);
         c.max_file_bytes();  // a size that is not one is refused with its flag
       }},
      {"--root", [](HostConfig& c, std::string v) { c.roots.push_back(std::move(v)); }},
      {"--tools", [](HostConfig& c, std::string v) { c.tools = std::move(v); }}};
  std::string_view arg = args[i];
  for (const Flag& flag : kFlags) {
    if (arg.substr(0, flag.name.size()) != flag.name) continue;
    std::string_view rest = arg.substr(flag.name.size());
    std::string value;
    if (rest.empty()) {
      if (i + 1 >= args.size()) throw ValueError(std::string(flag.name) + " needs a value");
      value = args[++i];
    } else if (rest.front() == '=') {
      value = rest.substr(1);
    } else {
      continue;
    }
    if (value.empty()) throw ValueError(std::string(flag.name) + " needs a value");
    flag.store(config, std::move(value));
    ++i;
    return true;
  }
  return false;
}

const char* host_flags_help() {
  return "  --coding-root DIR  code memory directory (env VANTORY_CODING_ROOT; default "
         "./.vantory_coding)\n"
         "  --data-root DIR    vectors and memories directory (env VANTORY_DATA_ROOT; default "
         "./.vantory_data)\n"
         "  --agent ID         agent id used when a call leaves it out (env VANTORY_AGENT_ID; "
         "default \"default\")\n"
         "  --max-file-size N  largest source file read, in bytes or with K, M or G (env "
         "VANTORY_MAX_FILE_SIZE; default 1M)\n"
         "  --root DIR         a folder whose files the tools may read; repeatable (env "
         "VANTORY_ALLOWED_ROOTS,\n"
         "                     colon-separated; default the working directory)\n"
         "  --tools LIST       the tools listed to clients: all, or names joined by commas, with\n"
         "                     default for the default dozen (env VANTORY_TOOLS; default "
         "default)\n";
}

}  // namespace vantory::host
