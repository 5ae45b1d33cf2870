// The answer of an expected failure: {"status": "error", "message": <text>}, in that key order.
// Operations answer it instead of throwing when the caller can do something about the failure
// (a missing file, an unknown scope); the programs recognise it to report a failure.
//
// All functions are thread-safe.
#pragma once

#include <optional>
#include <string>

#include "common/json.h"

namespace vantory {

// {"status": "error", "message": message}.
Json error_answer(std::string message);

// The message of `answer` when it is an error answer (an object whose status is "error"),
// nothing otherwise. A missing message reads as "failed", one that is not text as its JSON
// text.
std::optional<std::string> error_answer_message(const Json& answer);

}  // namespace vantory
