// Benchmarks of the vector store, each against its peer on the same data in the same run:
//   semantic N   one semantic_search over N memory entries x 768 dimensions (vectors cached,
//                query embedding cached, entries handed in as JSON) vs numpy and FAISS
//   keyword      keyword_search over 10,000 entries vs a plain Python implementation
//   hybrid       hybrid_search over 10,000 entries vs its two searches run apart
//   load         the first _load_vectors of a 20,000-entry vectors file vs json.load
// Usage: ambrel_bench <semantic N | keyword | hybrid | load> PEER_SCRIPT
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/json_text.h"
#include "common/unicode.h"
#include "memory/ambrel/local_ambrel.h"

namespace {

using vantory::Json;
using vantory::LocalAmbrel;
using vantory::PythonVector;
using vantory::RemoteEmbeddingClient;
using vantory::VectorMap;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDimension = 768;
const char* const kAgent = "bench-agent";
const char* const kQuery = "deploy the staging server tonight";
// Work whose result lands here is not optimised away.
volatile std::size_t sink;

// Wall-clock and processor milliseconds: the machines are shared, and processor time
// suffers less from the other jobs.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

Timing timing_of(const std::function<void()>& work) {
  double cpu = cpu_ms();
  auto start = Clock::now();
  work();
  return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), cpu_ms() - cpu};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Medians of wall and processor time, each on its own.
Timing median_of(const std::vector<Timing>& timings) {
  std::vector<double> wall, cpu;
  for (const Timing& t : timings) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
  }
  return {median(wall), median(cpu)};
}

Timing median_ms(int rounds, const std::function<void()>& work) {
  std::vector<Timing> timings;
  for (int i = 0; i < rounds; ++i) timings.push_back(timing_of(work));
  return median_of(timings);
}

// A peer's [wall, cpu] pair.
Timing peer_timing(const Json& pair) { return {pair[0].get<double>(), pair[1].get<double>()}; }

// "12.34 ms (cpu 11.00 ms)".
std::string text_of(const Timing& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f ms (cpu %.2f ms)", t.wall, t.cpu);
  return text;
}

// A unit vector of pseudo-random numbers, the same for the same seed.
std::vector<float> unit_vector(std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(kDimension);
  double sum = 0;
  for (float& x : v) {
    x = normal(gen);
    sum += static_cast<double>(x) * x;
  }
  for (float& x : v) x = static_cast<float>(x / std::sqrt(sum));
  return v;
}

// Answers every miss with a vector derived from the text instead of asking a service.
class PreparedClient : public RemoteEmbeddingClient {
 public:
  PreparedClient()
      : RemoteEmbeddingClient("http://prepared", std::nullopt, "dense-embedding", kDimension) {}
  PythonVector _call_api(const std::string& text) override {
    return vantory::create_vector(
        unit_vector(static_cast<std::uint32_t>(std::hash<std::string>()(text))));
  }
};

std::string temp_dir() {
  std::string base = vantory::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/vantory-ambrel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// Memory entries shaped like a host's: a sentence of 12 to 24 words drawn from a vocabulary
// of 3,000 words (Zipf-like frequencies), keywords, a person, a topic, an importance and a
// timestamp the store passes through.
Json make_memories(std::size_t n) {
  std::mt19937 gen(42);
  static const char* kSyllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo", "ze", "po",
                                     "an", "er", "is", "ol", "um", "ba", "de", "fi", "go", "hu"};
  std::vector<std::string> vocabulary;
  while (vocabulary.size() < 3000) {
    std::string word;
    for (int s = 0, len = 2 + static_cast<int>(gen() % 3); s < len; ++s)
      word += kSyllables[gen() % 20];
    vocabulary.push_back(word);
  }
  // The query's words are of middling frequency: each occurs in 1 % to 8 % of the entries.
  vocabulary[40] = "deploy";
  vocabulary[90] = "staging";
  vocabulary[200] = "server";
  vocabulary[400] = "tonight";
  // Zipf-like: word k drawn with weight 1 / (k + 10).
  std::vector<double> weights;
  for (std::size_t k = 0; k < vocabulary.size(); ++k) weights.push_back(1.0 / (k + 10));
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  auto words = [&](int count) {
    std::string text;
    for (int w = 0; w < count; ++w) text += (w ? " " : "") + vocabulary[pick(gen)];
    return text;
  };
  Json memories = Json::array();
  for (std::size_t i = 0; i < n; ++i) {
    std::string sentence = words(12 + static_cast<int>(gen() % 13));
    sentence[0] = static_cast<char>(std::toupper(sentence[0]));
    memories.push_back({{"id", "mem-" + std::to_string(i)},
                        {"lossless_restatement", sentence + "."},
                        {"keywords", {words(1), words(1), words(1)}},
                        {"persons", {"Person" + std::to_string(gen() % 200)}},
                        {"topic", words(2)},
                        {"importance", static_cast<double>(gen() % 10) / 10},
                        {"timestamp", "2026-12-0" + std::to_string(1 + i % 9) + "T10:00:00"}});
  }
  return memories;
}

// A store in `dir` holding a vector for every entry, cached.
std::unique_ptr<LocalAmbrel> filled_store(const std::string& dir, const Json& memories,
                                          const std::shared_ptr<PreparedClient>& client) {
  auto store = std::make_unique<LocalAmbrel>(dir, client, false);
  VectorMap map;
  for (std::size_t i = 0; i < memories.size(); ++i) {
    std::vector<float> v = unit_vector(static_cast<std::uint32_t>(i + 1));
    map.insert_or_assign(memories[i]["id"].get<std::string>(),
                         vantory::StoredVector(vantory::create_vector(v)));
  }
  store->_save_vectors(kAgent, map);
  return store;
}

// Runs the peer script and answers its JSON line.
Json run_peer(const std::string& arguments) {
  std::string command = "/usr/bin/python3 " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buf[4096];
  while (std::size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  if (pclose(pipe) != 0) throw std::runtime_error("peer failed: " + command);
  return vantory::parse_json(out);
}

void write_floats(const std::string& path, const std::vector<float>& values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()),
            static_cast<std::streamsize>(values.size() * sizeof(float)));
}

int semantic(std::size_t n, const std::string& peer) {
  std::string dir = temp_dir();
  auto client = std::make_shared<PreparedClient>();
  Json memories = make_memories(n);
  auto store = filled_store(dir + "/store", memories, client);
  store->semantic_search(kAgent, kQuery, memories);  // embeds the query once: cached after
  int rounds = n > 50000 ? 9 : 21;
  Timing ours = median_ms(rounds, [&] { store->semantic_search(kAgent, kQuery, memories); });

  std::vector<float> all;
  all.reserve(n * kDimension);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> v = unit_vector(static_cast<std::uint32_t>(i + 1));
    all.insert(all.end(), v.begin(), v.end());
  }
  write_floats(dir + "/vectors.f32", all);
  std::span<const float> query = client->embed(kQuery).data();
  write_floats(dir + "/query.f32", std::vector<float>(query.begin(), query.end()));
  Json peers = run_peer(peer + " semantic " + dir + "/vectors.f32 " + dir + "/query.f32 " +
                        std::to_string(n) + " " + std::to_string(rounds));
  Timing numpy = peer_timing(peers["numpy"]), faiss = peer_timing(peers["faiss"]);
  std::printf(
      "semantic_search over %zu entries x %zu: vantory %s | numpy %s | FAISS IndexFlatIP, one "
      "thread, %s\n  vantory/numpy %.2f wall, %.2f cpu (goal <= 1.5); vantory/FAISS %.2f wall, "
      "%.2f cpu\n",
      n, kDimension, text_of(ours).c_str(), text_of(numpy).c_str(), text_of(faiss).c_str(),
      ours.wall / numpy.wall, ours.cpu / numpy.cpu, ours.wall / faiss.wall, ours.cpu / faiss.cpu);
  std::filesystem::remove_all(dir);
  return 0;
}

int keyword(const std::string& peer) {
  std::string dir = temp_dir();
  Json memories = make_memories(10000);
  std::size_t found = LocalAmbrel::keyword_search(kQuery, memories, 1000000).size();
  Timing ours = median_ms(41, [&] { LocalAmbrel::keyword_search(kQuery, memories); });
  // What any search over the host's JSON pays before scoring: a visit to every member of
  // every entry and one lower-cased copy of each text.
  std::size_t visited = 0;
  Timing floor = median_ms(41, [&] {
    std::string lowered;
    for (const Json& entry : memories) {
      for (const auto& [key, value] : entry.get_ref<const Json::object_t&>()) {
        visited += key.size() + value.size();
        if (key == "lossless_restatement") {
          vantory::assign_lower(lowered, value.get_ref<const std::string&>());
        }
      }
      visited += lowered.size();
    }
  });
  vantory::write_file_atomic(dir + "/entries.json", vantory::dump_json(memories));
  Json peers = run_peer(peer + " keyword " + dir + "/entries.json '" + kQuery + "' 9");
  Timing python = peer_timing(peers["python"]);
  std::printf(
      "keyword_search over 10,000 entries (%zu ranked): vantory %s | Python %s\n"
      "  Python/vantory %.1fx wall, %.1fx cpu (goal >= 20x)\n"
      "  visiting the entries' members and lower-casing their texts alone: %s\n",
      found, text_of(ours).c_str(), text_of(python).c_str(), python.wall / ours.wall,
      python.cpu / ours.cpu, text_of(floor).c_str());
  sink = visited;
  std::filesystem::remove_all(dir);
  return 0;
}

int hybrid() {
  std::string dir = temp_dir();
  auto client = std::make_shared<PreparedClient>();
  Json memories = make_memories(10000);
  auto store = filled_store(dir + "/store", memories, client);
  store->hybrid_search(kAgent, kQuery, memories);
  std::vector<Timing> hybrid_times, apart_times;
  for (int round = 0; round < 31; ++round) {
    hybrid_times.push_back(timing_of([&] { store->hybrid_search(kAgent, kQuery, memories); }));
    apart_times.push_back(timing_of([&] {
      store->semantic_search(kAgent, kQuery, memories);
      LocalAmbrel::keyword_search(kQuery, memories);
    }));
  }
  Timing ours = median_of(hybrid_times), apart = median_of(apart_times);
  std::printf(
      "hybrid_search over 10,000 entries: %s | semantic + keyword apart %s\n"
      "  hybrid/apart %.2f wall, %.2f cpu (goal <= 1.10)\n",
      text_of(ours).c_str(), text_of(apart).c_str(), ours.wall / apart.wall, ours.cpu / apart.cpu);
  std::filesystem::remove_all(dir);
  return 0;
}

int load(const std::string& peer) {
  std::string dir = temp_dir();
  auto client = std::make_shared<PreparedClient>();
  Json memories = make_memories(20000);
  std::string path = filled_store(dir + "/store", memories, client)->_get_vectors_path(kAgent);
  std::size_t bytes = std::filesystem::file_size(path);
  std::vector<Timing> times;
  for (int round = 0; round < 5; ++round) {
    LocalAmbrel fresh(dir + "/store", client, false);
    times.push_back(timing_of([&] { fresh._load_vectors(kAgent); }));
  }
  Timing ours = median_of(times);
  Json peers = run_peer(peer + " load " + path + " 3");
  Timing python = peer_timing(peers["json.load"]);
  std::printf(
      "first _load_vectors of 20,000 entries (%.1f MB): vantory %s, %.0f MB/s | json.load %s\n"
      "  json.load/vantory %.1fx wall, %.1fx cpu (goal >= 10x)\n",
      bytes / 1e6, text_of(ours).c_str(), bytes / 1e3 / ours.wall, text_of(python).c_str(),
      python.wall / ours.wall, python.cpu / ours.cpu);
  std::filesystem::remove_all(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 3 && args[0] == "semantic") return semantic(std::stoul(args[1]), args[2]);
    if (args.size() == 2 && args[0] == "keyword") return keyword(args[1]);
    if (args.size() == 1 && args[0] == "hybrid") return hybrid();
    if (args.size() == 2 && args[0] == "load") return load(args[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ambrel_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: ambrel_bench <semantic N PEER | keyword PEER | hybrid | load PEER>\n");
  return 2;
}
