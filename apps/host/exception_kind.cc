#include "apps/host/exception_kind.h"

#include <new>

#include "common/error.h"

namespace vantory::host {

const char* exception_kind(const std::exception& e) {
  if (const auto* error = dynamic_cast<const Error*>(&e)) return error->kind();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "MemoryError";
  return "RuntimeError";
}

std::string exception_text(const std::exception& e) {
  return std::string(exception_kind(e)) + ": " + e.what();
}

std::string exception_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return exception_text(e);
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace vantory::host
