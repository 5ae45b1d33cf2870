// The code flow of one file: its units in order, what each calls, and which units of the
// same file call it. Answered by retrieve_file_context and shown by normal summaries.
//
// Thread-safe: a pure function.
#pragma once

#include "common/json.h"

namespace vantory::backend {

// {"units": [{"name", "type", "start_line", "end_line", "calls": [distinct call targets in
//  order], "called_by": [names of units of this file that call it]}], "imports": [modules],
//  "unit_count", "call_count"} from the file's chunk and import records. Import chunks are
// left out of "units" (their modules are listed under "imports").
Json build_code_flow(const Json& chunks, const Json& imports);

}  // namespace vantory::backend
