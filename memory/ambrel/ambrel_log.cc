#include "memory/ambrel/internal/ambrel_log.h"

#include "common/diagnostics.h"

namespace vantory {

void log_ambrel_line(std::string_view text) { write_error_line("[Ambrel] ", text); }

}  // namespace vantory
