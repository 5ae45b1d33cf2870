// A REST service's answer, any bytes: it is refused with one of the library's errors or
// becomes a vector of the answer's length, and the client's dimension follows it.
#include <cstdint>
#include <string>

#include "common/error.h"
#include "common/json_text.h"
#include "tests/fuzz/embedding_client.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  vantory::RemoteEmbeddingClient& client = vantory::fuzzing::offline_client();
  try {
    vantory::Json numbers = client._parse_response(vantory::parse_json(body));
    vantory::PythonVector vector = client._finalize_embedding(numbers);
    FUZZ_CHECK(numbers.is_array() && vector.size() == numbers.size());
    FUZZ_CHECK(client.get_dimension() == static_cast<std::int64_t>(vector.size()));
  } catch (const vantory::Error&) {
  }
  return 0;
}
