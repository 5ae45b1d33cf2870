// An OpenAI-format answer, any bytes, for a batch of one to four texts: whenever the reader
// of the plain form takes it, the general parser takes it too and matches every text, with
// the same floats; so the fast reader never answers what the exact one would not.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/json_text.h"
#include "common/unicode.h"
#include "memory/embedding/internal/openai_answer.h"
#include "memory/embedding/python_vector.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets how many texts were asked about; the rest is the answer.
  std::size_t count = data[0] % 4 + 1;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!vantory::utf8_decode_error(text).empty()) return 0;
  auto plain = vantory::read_plain_openai_answer(text, count);
  if (!plain) return 0;
  vantory::Json parsed;
  try {
    parsed = vantory::parse_json(text);
  } catch (const vantory::Error&) {
    FUZZ_CHECK(false);
  }
  vantory::OpenAiAnswer answer = vantory::read_openai_answer(parsed, count);
  FUZZ_CHECK(answer.unusable == 0 && plain->size() == count);
  for (std::size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(answer.rows[i] != nullptr);
    vantory::PythonVector exact = vantory::create_vector(*answer.rows[i]);
    const std::vector<float>& fast = (*plain)[i];
    FUZZ_CHECK(exact.size() == fast.size());
    for (std::size_t k = 0; k < fast.size(); ++k) {
      FUZZ_CHECK(exact.data()[k] == fast[k] ||
                 (exact.data()[k] != exact.data()[k] && fast[k] != fast[k]));
    }
  }
  return 0;
}
