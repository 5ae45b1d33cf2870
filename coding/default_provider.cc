#include "coding/component_provider.h"

#include "common/error.h"

namespace vantory {

std::shared_ptr<ComponentProvider> default_component_provider() {
  throw RuntimeError("the default code-memory backend is not built yet");
}

}  // namespace vantory
