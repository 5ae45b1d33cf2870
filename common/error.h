// The exceptions that vantory's libraries let reach their host.
//
// Expected failures are answered as values (error objects, neutral values, zero vectors).
// What must reach the host is thrown as one of the classes below, all derived from
// vantory::Error, named by kind so a host can report "TypeError: ..." the way users know.
// The message names what was wrong and what was expected.
#pragma once

#include <stdexcept>
#include <string>

namespace vantory {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // The kind of failure: "TypeError", "ValueError", ...
  virtual const char* kind() const noexcept { return "Error"; }
};

#define VANTORY_ERROR_KIND(Name, Base)                          \
  class Name : public Base {                                    \
   public:                                                      \
    using Base::Base;                                           \
    const char* kind() const noexcept override { return #Name; } \
  };

// A value of the wrong type (a number where a string belongs, a non-object entry).
VANTORY_ERROR_KIND(TypeError, Error)
// A value of the right type but unusable content (text that is not JSON, a bad integer).
VANTORY_ERROR_KIND(ValueError, Error)
// A required key is missing from an object.
VANTORY_ERROR_KIND(KeyError, Error)
// A position outside a sequence.
VANTORY_ERROR_KIND(IndexError, Error)
// Division by zero.
VANTORY_ERROR_KIND(ZeroDivisionError, Error)
// A failure of the operating system: a file that cannot be read, written or deleted.
VANTORY_ERROR_KIND(OSError, Error)
// Anything else that went wrong at run time.
VANTORY_ERROR_KIND(RuntimeError, Error)

#undef VANTORY_ERROR_KIND

}  // namespace vantory
