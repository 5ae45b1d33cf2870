// How a failure is named to agents and people: "TypeError: argument 'x' must be string".
#pragma once

#include <exception>
#include <string>

namespace vantory::host {

// The kind of `e`: the kind of a vantory::Error ("TypeError", "OSError", ...), "MemoryError"
// for an allocation failure, "RuntimeError" for anything else.
const char* exception_kind(const std::exception& e);

// "<kind>: <message>".
std::string exception_text(const std::exception& e);

// The same for a caught exception handed on; "unknown error" for one that is no
// std::exception. `error` must not be null.
std::string exception_text(std::exception_ptr error);

}  // namespace vantory::host
