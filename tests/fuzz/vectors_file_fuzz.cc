// An agent id and the vectors file found under it, any bytes: the file's path stays inside
// the store's agents folder whatever the id, the file loads whole or not at all, and what
// loaded is written back and read again unchanged.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"
#include "common/paths.h"
#include "memory/ambrel/local_ambrel.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct ScratchDirectory {
  ScratchDirectory() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = std::string(base) + "/vantory-fuzz-store-" + std::to_string(getpid());
    std::filesystem::create_directories(path);
  }
  ~ScratchDirectory() { std::filesystem::remove_all(path); }
  std::string path;
};

const std::string& root() {
  static const ScratchDirectory directory;
  return directory.path;
}

std::shared_ptr<vantory::RemoteEmbeddingClient> offline_client() {
  static auto client = std::make_shared<vantory::RemoteEmbeddingClient>(
      "http://127.0.0.1:9/embed", std::nullopt, "dense-embedding", 8, 60, false);
  return client;
}

bool same_numbers(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0 && !(std::isnan(a[i]) && std::isnan(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  std::string agent(input.substr(0, newline));
  std::string text(input.substr(newline + 1));

  vantory::LocalAmbrel store(root(), offline_client(), false);
  std::string agents = vantory::normalize_path(root() + "/agents");
  std::string path = vantory::normalize_path(store._get_vectors_path(agent));
  // <agents>/<one folder>/vectors.json, or <agents>/vectors.json for the empty id.
  FUZZ_CHECK(path.substr(0, agents.size() + 1) == agents + "/");
  std::string_view below(path.c_str() + agents.size() + 1);
  FUZZ_CHECK(below == "vectors.json" || (below.find('/') == below.rfind('/') &&
                                         below.substr(below.find('/')) == "/vectors.json"));
  vantory::make_directories(vantory::normalize_path(store._get_agent_path(agent)));
  vantory::write_file_atomic(path, text);

  std::set<std::string> keys;
  bool valid = true;
  try {
    vantory::parse_number_array_object(
        text, [&](std::string&& key, std::vector<double>&) { keys.insert(std::move(key)); });
  } catch (const vantory::Error&) {
    valid = false;
  }
  vantory::VectorMap loaded = store._load_vectors(agent);
  FUZZ_CHECK(loaded.size() == (valid ? keys.size() : 0));
  if (!loaded.empty()) {
    store._save_vectors(agent, loaded);
    vantory::LocalAmbrel fresh(root(), offline_client(), false);
    vantory::VectorMap again = fresh._load_vectors(agent);
    FUZZ_CHECK(again.size() == loaded.size());
    for (const auto& [id, vector] : loaded) {
      const vantory::StoredVector* other = again.find(id);
      FUZZ_CHECK(other != nullptr && same_numbers(other->tolist(), vector.tolist()));
    }
  }
  std::filesystem::remove_all(root() + "/agents");
  return 0;
}
