// Timing one component call into a Tarnel's tracker. Internal to libtarnel.
#pragma once

#include <utility>

#include "coding/tarnel.h"

namespace vantory {

// When `call` throws, nothing is recorded: a failed call is not a measurement.
template <typename Call>
auto Tarnel::timed_call(const char* op, Call&& call) {
  double start = clock_();
  auto result = std::forward<Call>(call)();
  double end = clock_();
  _record_perf(op, (end - start) * 1000.0);
  return result;
}

}  // namespace vantory
