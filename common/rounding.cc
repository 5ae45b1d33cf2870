#include "common/rounding.h"

#include <charconv>
#include <cmath>

namespace vantory {

double round_places(double x, int places) {
  if (!std::isfinite(x)) return x;
  if (places < 0) places = 0;
  if (places > 100) return x;
  // to_chars in fixed form rounds the exact binary value, ties to even; reading the decimal
  // back gives the nearest double.
  char buf[512];
  auto written = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, places);
  double rounded = x;
  std::from_chars(buf, written.ptr, rounded);
  return rounded;
}

}  // namespace vantory
