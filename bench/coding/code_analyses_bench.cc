// How dependency_graph (10 files, one transitive level) and circular_dependency_check grow
// with the number of indexed files. The agent's data is synthetic (ten chunks, five calls and
// about four imports per file) and served by an in-memory store that hands out one shared
// snapshot of the contexts, as the backend's store does; what a deep copy of those contexts
// would cost is shown beside the figures for comparison.
//
// Usage: bench_code_analyses [--runs N] [--dump DIR]
//   --dump DIR also writes each data set as DIR/agent_<files>.json and the medians as
//   DIR/cpp_medians.json, for the Python peer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "coding/tarnel.h"
#include "common/error.h"
#include "common/files.h"
#include "common/json_text.h"

namespace vantory {
namespace {

struct AgentData {
  Json contexts = Json::array();
  std::unordered_map<std::string, Json> imports;    // stored path -> import records
  std::unordered_map<std::string, Json> importers;  // module stem -> importer records
  Json requested = Json::array();                   // the ten files analysed
};

AgentData make_agent(int files, unsigned seed) {
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  AgentData data;
  for (int i = 0; i < files; ++i) {
    std::string path = "src/pkg" + std::to_string(i % 50) + "/mod" + std::to_string(i) + ".py";
    Json chunks = Json::array();
    for (int k = 0; k < 10; ++k) {
      bool method = k >= 7;
      std::string name = method ? "Service.handle" + std::to_string(k) : "func" + std::to_string(k);
      Json calls = Json::array();
      if (k < 5) {
        std::string target;
        switch (k % 3) {
          case 0: target = "mod" + std::to_string(pick(files)) + ".func" + std::to_string(pick(7)); break;
          case 1: target = "func" + std::to_string(pick(7)); break;
          default: target = "self.handle" + std::to_string(7 + pick(3));
        }
        calls.push_back(Json{{"target", target}, {"line", 10 * k + 2}, {"signature", target + "(a)"}});
      }
      chunks.push_back(Json{{"name", name},
                            {"type", method ? "method" : "function"},
                            {"content", "def " + name + "(self, a, b):\n    value = self.store.get(a)\n"
                                        "    return self.cache.put(value, b)\n"},
                            {"summary", "Code unit: " + name},
                            {"start_line", 10 * k + 1},
                            {"calls", std::move(calls)},
                            {"parameters", Json::array({Json{{"name", "a"}}, Json{{"name", "b"}}})}});
    }
    data.contexts.push_back(Json{{"file_path", path},
                                 {"language", "python"},
                                 {"chunks", std::move(chunks)},
                                 {"external_imports", Json::array({"requests", "numpy"})}});
    // Imports point at nearby earlier modules, as layered code does; every 25th module and
    // the next one import each other, so cycles exist but stay short.
    Json records = Json::array();
    auto import_module = [&](int target, bool dotted) {
      std::string module = "mod" + std::to_string(target);
      records.push_back(Json{{"module", dotted ? "pkg" + std::to_string(target % 50) + "." + module : module}});
      data.importers[module].push_back(Json{{"file_path", path}});
    };
    for (int j = 0; j < 3 && i > 0; ++j) import_module(i - 1 - pick(std::min(i, 50)), j == 0);
    if (i % 25 == 0 && i + 1 < files) import_module(i + 1, false);
    if (i % 25 == 1) import_module(i - 1, false);
    records.push_back(Json{{"module", "os.path"}});
    data.imports[path] = std::move(records);
    if (i < 10) data.requested.push_back(path);
  }
  return data;
}

class MemoryStore : public CodingContextStore {
 public:
  explicit MemoryStore(const AgentData& data)
      : data_(data), contexts_(std::make_shared<const Json>(data.contexts)) {}
  std::shared_ptr<const Json> _load_agent_data(const std::string&, const std::string&) override {
    return contexts_;
  }
  Json get_file_imports(const std::string&, const std::string& path) override {
    auto it = data_.imports.find(path);
    return it == data_.imports.end() ? Json::array() : it->second;
  }
  Json find_importers(const std::string&, const std::string& module) override {
    auto it = data_.importers.find(module);
    return it == data_.importers.end() ? Json::array() : it->second;
  }
  Json retrieve_file_context(const std::string&, const std::string&) override { return unused(); }
  void _save_agent_data(const std::string&, const std::string&, const Json&) override { unused(); }
  void _save_global_index() override { unused(); }
  void drop_global_index_entries(const std::string&) override { unused(); }
  bool delete_code_mem(const std::string&, const std::string&) override { return unused(); }
  Json list_code_mems(const std::string&, std::int64_t, std::int64_t) override { return unused(); }
  Json get_token_savings_report(const std::string&) override { return unused(); }
  Json get_detailed_cache_stats(const std::string&) override { return unused(); }
  Json get_usage_report(const std::string&) override { return unused(); }
  Json invalidate_with_vectors(const std::string&, const std::string&) override { return unused(); }
  Json invalidate_stale(const std::string&) override { return unused(); }

 private:
  [[noreturn]] static bool unused() { throw RuntimeError("not used by this benchmark"); }
  const AgentData& data_;
  std::shared_ptr<const Json> contexts_;
};

struct NoAmbrel : CodingAmbrel {
  void delete_vectors(const std::string&, const Json&) override {}
};
struct NoBuilder : CodingMemoryBuilder {
  Json process_file_chunks(const std::string&, const std::string&, const Json&, const std::string&) override {
    return Json::object();
  }
};
struct NoRetriever : CodingHybridRetriever {
  Json search(const std::string&, const std::string&, std::int64_t, const Json&) override { return Json::object(); }
};
struct NoFileSystem : CodingFileSystem {
  Json list_dir(const std::string&, const std::string&) override { return Json::array(); }
  Json commit_snapshot(const std::string&, const std::string&) override { return nullptr; }
  Json get_diff(const std::string&, const std::string&, const std::string&) override { return nullptr; }
};

class MemoryProvider : public ComponentProvider {
 public:
  explicit MemoryProvider(const AgentData& data) : data_(data) {}
  std::unique_ptr<CodingContextStore> make_store(const std::string&) override {
    return std::make_unique<MemoryStore>(data_);
  }
  std::unique_ptr<CodingAmbrel> make_ambrel(const std::string&) override { return std::make_unique<NoAmbrel>(); }
  std::unique_ptr<CodingMemoryBuilder> make_builder(CodingContextStore&, CodingAmbrel&) override {
    return std::make_unique<NoBuilder>();
  }
  std::unique_ptr<CodingHybridRetriever> make_retriever(CodingContextStore&, CodingAmbrel&) override {
    return std::make_unique<NoRetriever>();
  }
  std::unique_ptr<CodingFileSystem> make_filesystem(CodingContextStore&) override {
    return std::make_unique<NoFileSystem>();
  }
  std::shared_ptr<ChunkingComponent> bind_chunking() override { throw RuntimeError("no chunking here"); }

 private:
  const AgentData& data_;
};

template <typename Setup, typename Operation>
double median_ms(int runs, Setup setup, Operation operation) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    setup();
    auto start = std::chrono::steady_clock::now();
    operation();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void dump(const AgentData& data, const std::string& path) {
  Json imports = Json::object();
  for (const Json& context : data.contexts) {
    const std::string& file = context["file_path"].get_ref<const std::string&>();
    imports[file] = data.imports.at(file);
  }
  Json importers = Json::object();
  for (const auto& [module, records] : data.importers) importers[module] = records;
  write_file_atomic(path, dump_json(Json{{"contexts", data.contexts},
                                        {"imports", std::move(imports)},
                                        {"importers", std::move(importers)},
                                        {"requested", data.requested}}));
}

int run(int argc, char** argv) {
  int runs = 7;
  std::string dump_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--dump")) dump_dir = argv[i + 1];
  }
  const int sizes[] = {1000, 5000, 20000};
  double copy_ms[3];
  double graph_ms[3];
  double cycles_ms[3];
  Json medians = Json::object();
  std::printf("median of %d runs at 20,000 files (4x and 20x as many at 5,000 and 1,000), ms.\n"
              "Beside the two analyses: a deep copy of the contexts and its release (what a store\n"
              "that handed out copies would add to every call; not included)\n", runs);
  std::printf("files  contexts copy+free  dependency_graph(10 files)  circular_dependency_check  cycles\n");
  for (int s = 0; s < 3; ++s) {
    AgentData data = make_agent(sizes[s], 7u + static_cast<unsigned>(s));
    if (!dump_dir.empty()) dump(data, dump_dir + "/agent_" + std::to_string(sizes[s]) + ".json");
    Tarnel tarnel("./unused", std::make_shared<MemoryProvider>(data));
    std::size_t cycles = 0;
    // Small agents are measured more often: their runs are short and their medians anchor
    // every ratio, so they must not be the noisy ones.
    int size_runs = runs * (sizes[2] / sizes[s]);
    auto nothing = [] {};
    graph_ms[s] = median_ms(size_runs, nothing, [&] { tarnel.dependency_graph("bench", data.requested, 2); });
    cycles_ms[s] = median_ms(size_runs, nothing, [&] {
      cycles = tarnel.circular_dependency_check("bench")["cycles_found"].size();
    });
    // Last: freeing a copy this large leaves the allocator busy for whatever runs next.
    copy_ms[s] = median_ms(size_runs, nothing, [&] { Json copy = data.contexts; });
    std::printf("%5d  %18.2f  %26.2f  %25.2f  %6zu\n", sizes[s], copy_ms[s], graph_ms[s], cycles_ms[s], cycles);
    medians[std::to_string(sizes[s])] = Json{{"dependency_graph_ms", graph_ms[s]}, {"circular_check_ms", cycles_ms[s]}, {"cycles", cycles}};
  }
  if (!dump_dir.empty()) write_file_atomic(dump_dir + "/cpp_medians.json", dump_json(medians));
  for (auto [big, small] : {std::pair{1, 0}, std::pair{2, 1}, std::pair{2, 0}}) {
    std::printf("ratio %d/%d files (%.0fx data): copy %.2f, dependency_graph %.2f, "
                "circular_dependency_check %.2f\n",
                sizes[big], sizes[small], static_cast<double>(sizes[big]) / sizes[small],
                copy_ms[big] / copy_ms[small], graph_ms[big] / graph_ms[small],
                cycles_ms[big] / cycles_ms[small]);
  }
  return 0;
}

}  // namespace
}  // namespace vantory

int main(int argc, char** argv) { return vantory::run(argc, argv); }
