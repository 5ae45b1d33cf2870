// The shapes of Tarnel's own answers, and the checks on what components answer where an
// operation reads inside it. Internal to libtarnel.
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"

namespace vantory {

// {"status": "error", "message": message}, the answer of every expected failure.
Json error_object(std::string message);

// `value` when it is a JSON object; TypeError naming `what` and the received type otherwise.
// For records that an operation reads members of (a context answer, a chunk, a search hit),
// where null is no more usable than any other non-object.
const Json& expect_dict(const Json& value, std::string_view what);

}  // namespace vantory
