// One answer of a Gradio event stream, any bytes: refused as not UTF-8, or read into at most
// one embedding, which the client either refuses with one of its errors (not numbers, not
// finite, or not of the configured length) or turns into a vector of the same length.
#include <cstdint>
#include <string>

#include "common/error.h"
#include "memory/embedding/internal/gradio_stream.h"
#include "tests/fuzz/embedding_client.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  vantory::RemoteEmbeddingClient& client = vantory::fuzzing::offline_client();
  vantory::GradioStreamRead read;
  try {
    read = vantory::read_gradio_stream(body);
  } catch (const vantory::ValueError&) {
    return 0;
  }
  if (read.embedding.is_null()) return 0;
  FUZZ_CHECK(read.embedding.is_array() && !read.embedding.empty());
  try {
    vantory::PythonVector vector = client._finalize_embedding(read.embedding);
    FUZZ_CHECK(vector.size() == read.embedding.size());
  } catch (const vantory::TypeError&) {
  } catch (const vantory::ValueError&) {
  }
  return 0;
}
