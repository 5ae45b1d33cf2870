// A tool that the host offers to agents (over MCP) and to people (the command line): its name,
// its documentation, its typed arguments and the function that runs it.
//
// Thread safety: a ToolDefinition is immutable once built; whether `run` may be entered from
// several threads at once is up to the tool (the coding tools may not).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/arguments.h"
#include "common/json.h"

namespace vantory::host {

// Reports how far a long tool call has come: `done` of `total` steps, and what it is doing.
using ProgressFn =
    std::function<void(std::int64_t done, std::int64_t total, const std::string& message)>;

// One argument of a tool (common/arguments.h declares how calls are checked against it).
using ToolArgument = Argument;

// What the calls of a tool share with other calls, which decides which calls may run at once.
enum class ToolSharing {
  kCodeMemory,  // drives the one Tarnel: one such call at a time
  kAgentData,   // reads, changes and writes the agent's memories and vectors: one per agent
  kNothing,     // runs beside any other call
};

struct ToolDefinition {
  std::string name;
  std::string description;
  std::vector<ToolArgument> arguments;
  // Runs the tool on its bound arguments: an object that holds every declared argument, in
  // declared order, defaults filled in. Answers any JSON value; throws what the tool throws.
  std::function<Json(const Json& arguments, const ProgressFn& progress)> run;
  ToolSharing sharing = ToolSharing::kCodeMemory;
};

}  // namespace vantory::host
