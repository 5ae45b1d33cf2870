// The fast number reader against std::from_chars: whatever prefix it claims to have read must
// be a JSON number and give the same double, bit for bit.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/json_number.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is a sanitizer finding.
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(text.get(), data, size);
  const char* first = text.get();
  const char* last = first + size;

  double value = 0;
  const char* end = vantory::read_json_double(first, last, value);
  if (end == nullptr) return 0;
  FUZZ_CHECK(end > first && end <= last);

  std::string_view number(first, static_cast<std::size_t>(end - first));
  FUZZ_CHECK(number.find_first_not_of("-0123456789.eE+") == std::string_view::npos);
  double expected = 0;
  auto [stop, error] = std::from_chars(first, end, expected);
  FUZZ_CHECK(error == std::errc() || error == std::errc::result_out_of_range);
  FUZZ_CHECK(stop == end);
  // An integer zero has no sign: "-0" reads as 0, the way an integer zero converts.
  if (number.find_first_of(".eE") == std::string_view::npos && expected == 0) expected = 0.0;
  if (error == std::errc::result_out_of_range) return 0;  // left to the general reader's rules
  FUZZ_CHECK(std::memcmp(&value, &expected, sizeof value) == 0);
  return 0;
}
