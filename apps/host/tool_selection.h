// Which tools a host lists to its clients. Every tool list costs an agent part of its context in
// every conversation, so by default the list holds only the tools an agent needs to work on a
// code base and keep notes (indexing a folder, search, summaries, the analyses, the notes), each
// described by when to use it; the other operations (the single-file and snapshot operations,
// the reports, the memory-style aliases, the raw vector store) are listed on request.
//
// A tool left out of the list is still called when a client names it: the list decides what an
// agent is shown, not what it may do.
//
// Thread safety: the functions are pure and may be called from any thread.
#pragma once

#include <string_view>
#include <vector>

#include "apps/host/tool.h"

namespace vantory::host {

// The tools of `all` that `choice` lists, in the order of `all`:
//   "" or "default"  the default set, each with its short description
//   "all"            every tool, with its full description
//   "a,b,..."        the tools named, with their full descriptions; "default" among the names
//                    stands for the default set (with the short descriptions).
// Throws ValueError naming a tool that `all` does not hold.
std::vector<ToolDefinition> select_tools(const std::vector<ToolDefinition>& all,
                                         std::string_view choice);

}  // namespace vantory::host
