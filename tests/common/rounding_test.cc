#include "common/rounding.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantory {
namespace {

TEST(Rounding, DecidedOnTheExactBinaryValue) {
  struct Case {
    double x;
    int places;
    double want;
  } cases[] = {
      {0.25, 1, 0.2},     {0.35, 1, 0.3},     {10.05, 1, 10.1},  {10.045, 1, 10.0},
      {0.0625, 3, 0.062}, {0.1875, 3, 0.188}, {1.0005, 3, 1.0},  {2.0005, 3, 2.001},
      {4.050000000000001, 3, 4.05}, {-0.04, 1, -0.0}, {2.5, 0, 2.0}, {1e300, 3, 1e300},
  };
  for (const auto& c : cases) EXPECT_EQ(round_places(c.x, c.places), c.want) << c.x;
  EXPECT_TRUE(std::signbit(round_places(-0.04, 1)));
  EXPECT_TRUE(std::isnan(round_places(NAN, 2)));
  EXPECT_EQ(round_places(INFINITY, 2), INFINITY);
}

}  // namespace
}  // namespace vantory
