// Rounding to a number of decimal places the way Python's round(x, n) does.
#pragma once

namespace vantory {

// The double nearest to the n-place decimal that is nearest to the exact binary value of `x`;
// only an exact tie goes to the even digit. 0.25 -> 0.2, 0.35 -> 0.3, 10.05 -> 10.1 (n = 1);
// 1.0005 -> 1.0, 2.0005 -> 2.001 (n = 3). NaN and infinities come back unchanged.
double round_places(double x, int places);

}  // namespace vantory
