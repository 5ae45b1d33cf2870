// The general JSON reader on arbitrary bytes: it either refuses the text with a ValueError or
// answers a value whose written text reads back to the same text.
#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vantory::Json value;
  try {
    value = vantory::parse_json(text);
  } catch (const vantory::ValueError&) {
    return 0;
  }
  std::string written = vantory::dump_json(value);
  vantory::Json again = vantory::parse_json(written);
  FUZZ_CHECK(vantory::dump_json(again) == written);
  return 0;
}
