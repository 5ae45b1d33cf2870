// Timing one component call into a Tarnel's tracker. Internal to libtarnel.
#pragma once

#include <utility>

#include "coding/tarnel.h"

namespace vantory {

// Runs `call`, reading the Tarnel's clock just before and just after it, and records the
// duration in milliseconds under `op`. When `call` throws, nothing is recorded: a failed call
// is not a measurement.
template <typename Call>
auto timed_call(Tarnel& tarnel, const char* op, Call&& call) {
  double start = tarnel._clock();
  auto result = std::forward<Call>(call)();
  double end = tarnel._clock();
  tarnel._record_perf(op, (end - start) * 1000.0);
  return result;
}

}  // namespace vantory
