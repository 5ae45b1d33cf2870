#include "apps/cli/command.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>

#include "common/error_answer.h"
#include "common/json_text.h"

namespace vantory::cli {

namespace {

const Option* find_option(const Command& command, std::string_view name) {
  for (const Option& option : command.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

std::string Invocation::joined_operands() const {
  std::string text;
  for (const std::string& word : operands) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string Invocation::text(const std::string& option, const std::string& fallback) const {
  auto it = options.find(option);
  return it == options.end() ? fallback : it->second.back();
}

std::vector<std::string> Invocation::texts(const std::string& option) const {
  auto it = options.find(option);
  return it == options.end() ? std::vector<std::string>() : it->second;
}

std::int64_t Invocation::integer(const std::string& option, std::int64_t fallback) const {
  if (!has(option)) return fallback;
  std::string value = text(option);
  std::int64_t number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size()) {
    throw UsageError("--" + option + " needs an integer, not '" + value + "'");
  }
  return number;
}

double Invocation::number(const std::string& option, double fallback) const {
  if (!has(option)) return fallback;
  std::string value = text(option);
  double number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size()) {
    throw UsageError("--" + option + " needs a number, not '" + value + "'");
  }
  return number;
}

Invocation read_invocation(const Command& command, const std::vector<std::string>& args) {
  Invocation invocation;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      invocation.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::size_t equals = arg.find('=');
    std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const Option* option = find_option(command, name);
    if (!option) throw UsageError("unknown option '--" + name + "'");
    std::string value;
    if (option->value_name.empty()) {
      if (equals != std::string::npos) throw UsageError("--" + name + " takes no value");
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError("--" + name + " needs a value (" + option->value_name + ")");
    }
    auto& values = invocation.options[name];
    if (!values.empty() && !option->repeatable) {
      throw UsageError("--" + name + " is given more than once");
    }
    values.push_back(std::move(value));
  }
  std::size_t count = invocation.operands.size();
  if (count < command.min_operands) {
    throw UsageError("missing " + command.operands);
  }
  if (count > command.max_operands) {
    throw UsageError(command.max_operands == 0
                         ? "takes no operands, got '" + invocation.operands[0] + "'"
                         : "too many operands (expected " + command.operands + ")");
  }
  return invocation;
}

std::string command_help(const Command& command) {
  std::string help = "usage: vantory " + command.name;
  if (!command.operands.empty()) help += " " + command.operands;
  if (!command.options.empty()) help += " [options]";
  help += "\n\n" + command.description + "\n\noptions:\n";
  for (const Option& option : command.options) {
    std::string left = "--" + option.name;
    if (!option.value_name.empty()) left += " " + option.value_name;
    if (left.size() < 20) left.resize(20, ' ');
    help += "  " + left + " " + option.help + (option.repeatable ? " (repeatable)" : "") + "\n";
  }
  help +=
      "  --json               print the answer as JSON\n"
      "  --help               show this help\n";
  return help;
}

int show(const Invocation& invocation, const Json& answer,
         const std::function<std::string(const Json&)>& human) {
  std::optional<std::string> failure = error_answer_message(answer);
  bool failed = failure.has_value();
  if (invocation.json) {
    std::cout << dump_json(answer) << '\n';
  } else if (!failed) {
    std::cout << human(answer);
  }
  std::cout.flush();
  if (!failed) return 0;
  std::fprintf(stderr, "vantory: %s\n", failure->c_str());
  return 1;
}

}  // namespace vantory::cli
