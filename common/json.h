// The JSON value type of every vantory API: objects keep their insertion order.
#pragma once

#include <nlohmann/json.hpp>

namespace vantory {

using Json = nlohmann::ordered_json;

}  // namespace vantory
