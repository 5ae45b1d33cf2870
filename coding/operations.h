// The public operations of Tarnel described as data, for hosts that expose them as tools (an
// MCP server builds its tool list from this table), and a dispatcher that calls one of them by
// name with JSON arguments. Each operation is declared once, in operations.cc: its name, its
// documentation, its arguments with their JSON types, defaults and meaning, and the call that
// runs it; its memory-style aliases are declared there by the name they stand for.
//
// Thread safety: the table is immutable and may be read from any thread. call_operation is as
// thread-safe as the Tarnel it is given, that is, not at all.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "coding/tarnel.h"
#include "common/arguments.h"
#include "common/json.h"

namespace vantory {

// One argument of an operation: its name, JSON type ("string", "integer", "boolean", "array",
// "array|null", "string|null"), item type, whether it is required, its default and what it
// means.
using OperationArgument = Argument;

// One public operation: its name, its documentation text and its arguments in call order.
struct OperationInfo {
  std::string name;
  std::string description;
  std::vector<OperationArgument> arguments;
  // For an alias, the operation it stands for ("index_file" for "create_mem"); "" otherwise.
  std::string alias_of = "";
};

// Every public operation of Tarnel, analyses and memory-style aliases included, in a fixed
// order: the operations, then the aliases. Internal operations (_ingest_file,
// _estimate_file_tokens, _record_perf) are not listed.
const std::vector<OperationInfo>& tarnel_operations();

// The operation called `name`, or nullptr.
const OperationInfo* find_operation(std::string_view name);

// Calls the operation `name` on `tarnel` with `arguments`, a JSON object from argument name to
// value (null stands for no arguments), checked by bind_arguments (common/arguments.h). Left-out
// arguments take their defaults. Answers the operation's JSON answer (remove_index and
// delete_mem answer a JSON boolean).
// Throws ValueError for an unknown operation; TypeError, before the operation runs, when
// `arguments` is not an object, names an argument the operation does not take, leaves out a
// required one, or gives one of a kind the operation does not accept (the message names the
// argument and the expected kind). Whatever the operation throws passes through.
Json call_operation(Tarnel& tarnel, const std::string& name, const Json& arguments);

}  // namespace vantory
