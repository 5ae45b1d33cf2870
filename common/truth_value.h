// Python's truth value of a JSON value: null, false, zero, "" and empty arrays and objects are
// false, everything else is true. The test that callers' records are held to when a member
// counts as given.
#pragma once

#include "common/json.h"

namespace vantory {

bool truthy(const Json& value);

}  // namespace vantory
