// The embedding cache file, any bytes, as a client loads it when it starts: the file loads
// whole or not at all, and what loaded survives a save and a reload unchanged.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "memory/embedding/remote_embedding_client.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// A folder of this process's own, removed when the process ends.
struct ScratchDirectory {
  ScratchDirectory() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = std::string(base) + "/vantory-fuzz-cache-" + std::to_string(getpid());
    std::filesystem::create_directories(path);
  }
  ~ScratchDirectory() { std::filesystem::remove_all(path); }
  std::string path;
};

const std::string& cache_directory() {
  static const ScratchDirectory directory;
  return directory.path;
}

std::size_t loaded_entries() {
  vantory::RemoteEmbeddingClient client("http://127.0.0.1:9/embed", std::nullopt,
                                        "dense-embedding", 768, 60, true, cache_directory());
  return client.cache_size();
}

// A client that loads the file and writes it again; answers what it wrote.
std::string load_and_save() {
  {
    vantory::RemoteEmbeddingClient client("http://127.0.0.1:9/embed", std::nullopt,
                                          "dense-embedding", 768, 60, true, cache_directory());
    client.save_cache();
  }
  return vantory::read_file(cache_directory() + "/embedding_cache.json");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::set<std::string> keys;
  bool valid = true;
  try {
    vantory::parse_number_array_object(
        text, [&](std::string&& key, std::vector<double>&) { keys.insert(std::move(key)); });
  } catch (const vantory::Error&) {
    valid = false;
  }
  const std::string file = cache_directory() + "/embedding_cache.json";
  vantory::write_file_atomic(file, text);
  FUZZ_CHECK(loaded_entries() == (valid ? keys.size() : 0));
  if (!valid) return 0;

  std::string saved = load_and_save();
  FUZZ_CHECK(load_and_save() == saved);
  FUZZ_CHECK(loaded_entries() == keys.size());
  return 0;
}
