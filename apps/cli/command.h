// The subcommands of the vantory command line: how each is declared, how its command line is
// read, and how its answer is shown.
//
// Thread safety: none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "apps/host/host.h"
#include "common/error.h"
#include "common/json.h"

namespace vantory::cli {

// A command line that does not fit its command: reported with a pointer to --help, exit
// status 2.
class UsageError : public Error {
 public:
  using Error::Error;
  const char* kind() const noexcept override { return "UsageError"; }
};

// One option of a command: "--top-k N" (takes a value) or "--trace" (a switch).
struct Option {
  std::string name;        // without the dashes: "top-k"
  std::string value_name;  // "N", "PATH"; empty for a switch
  std::string help;
  bool repeatable = false;
};

// A command line read against its command's declaration.
struct Invocation {
  host::Host* host = nullptr;
  std::vector<std::string> operands;
  std::map<std::string, std::vector<std::string>> options;  // option -> values ("" for switches)
  bool json = false;

  bool has(const std::string& option) const { return options.count(option) > 0; }
  // The operands joined by single blanks: the words of a query or a note.
  std::string joined_operands() const;
  // The option's last value, or `fallback`.
  std::string text(const std::string& option, const std::string& fallback = "") const;
  // The option's values in command-line order.
  std::vector<std::string> texts(const std::string& option) const;
  // The option's value as an integer, or `fallback`. Throws UsageError for a value that is not
  // one.
  std::int64_t integer(const std::string& option, std::int64_t fallback) const;
  // The option's value as a number, or `fallback`. Throws UsageError for a value that is not
  // one.
  double number(const std::string& option, double fallback) const;
};

struct Command {
  std::string name;
  std::string operands;     // "QUERY...", "FILE", "A B"; empty for none
  std::string summary;      // one line for the command list
  std::string description;  // what it does, for its --help
  std::vector<Option> options;
  std::size_t min_operands = 0;
  std::size_t max_operands = 0;
  // Runs the command; answers the exit status.
  std::function<int(Invocation&)> run;
};

inline constexpr std::size_t kAnyNumber = std::numeric_limits<std::size_t>::max();

// The commands in the order `vantory --help` lists them.
std::vector<Command> coding_commands();
std::vector<Command> memory_commands();
std::vector<Command> service_commands();
// The watch command, listed among the coding commands after index.
Command watch_command();

// Reads `args` (what follows the command's name) against `command`: options ("--name VALUE",
// "--name=VALUE", switches), operands, "--" ending the options. The host flags and --json are
// taken out before. Throws UsageError.
Invocation read_invocation(const Command& command, const std::vector<std::string>& args);

// The --help text of `command`.
std::string command_help(const Command& command);

// Shows a tool's answer: with --json its text in the JSON text format on standard output;
// otherwise `human(answer)`. An error object ({"status": "error", "message"}) is a failure:
// its message goes to standard error as "vantory: <message>" (with --json the answer is
// printed too) and the exit status is 1. Answers the exit status.
int show(const Invocation& invocation, const Json& answer,
         const std::function<std::string(const Json&)>& human);

}  // namespace vantory::cli
