// Benchmarks of the embedding library, each against its peer in the same run:
//   cache   load and save of a 10,000 x 768 cache file vs Python's json module
//   embed   embed() of a cached 1 KB text
//   batch   embed_batch of 200 texts vs 200 sequential embed calls, service answering in 20 ms
//   openai  1,000 texts through the OpenAI format in batches of 64 vs the REST format one text
//           a request, both through embed_batch, service answering each request in 20 ms
//   memory  peak memory of a client holding 100,000 cached 768-dimension embeddings, filled
//           through embed (the periodic saves included) or loaded from its cache file
// Usage: embedding_bench <cache PEER_SCRIPT | embed | batch | openai | memory fill|load DIR>
#include <httplib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/files.h"
#include "common/json_text.h"
#include "memory/embedding/remote_embedding_client.h"

namespace {

using vantory::PythonVector;
using vantory::RemoteEmbeddingClient;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDimension = 768;

double seconds_of(const std::function<void()>& work) {
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median_of(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(seconds_of(work));
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
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

// Answers every miss with a prepared vector instead of asking a service.
class PreparedClient : public RemoteEmbeddingClient {
 public:
  PreparedClient(std::optional<std::string> cache_path = std::nullopt)
      : RemoteEmbeddingClient("http://prepared", std::nullopt, "dense-embedding", kDimension, 60,
                              true, std::move(cache_path)) {}
  PythonVector _call_api(const std::string& text) override {
    return vantory::create_vector(unit_vector(static_cast<std::uint32_t>(text.size() * 7919 +
                                                                         text.back())));
  }
};

std::string temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantory-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// Wall-clock and CPU seconds of one piece of work.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Timing timing_of(const std::function<void()>& work) {
  double cpu = cpu_seconds();
  auto start = Clock::now();
  work();
  return {std::chrono::duration<double>(Clock::now() - start).count(), cpu_seconds() - cpu};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The same cache file as the library writes it: keys of "text <i>", unit vectors.
std::string cache_text(std::size_t entries) {
  std::string text = "{";
  for (std::size_t i = 0; i < entries; ++i) {
    if (i) text += ", ";
    vantory::append_json_string(text,
                                RemoteEmbeddingClient::_get_cache_key("text " + std::to_string(i)));
    text += ": ";
    std::vector<float> v = unit_vector(static_cast<std::uint32_t>(i));
    vantory::append_json_float_array(text, v.data(), v.size());
  }
  return text + "}";
}

int bench_cache(const std::string& peer_script) {
  constexpr std::size_t kEntries = 10000;
  constexpr int kRounds = 5;
  // The cache directory on disk, where a save ends with fsync, and on tmpfs, where it does not.
  std::string disk = temp_dir();
  std::string memory = "/dev/shm/vantory-bench-" + std::to_string(getpid());
  vantory::make_directories(memory);
  std::string text = cache_text(kEntries);
  vantory::write_file_atomic(disk + "/embedding_cache.json", text);
  vantory::write_file_atomic(memory + "/embedding_cache.json", text);
  double mb = static_cast<double>(text.size()) / 1e6;

  // Rounds interleave vantory and its peer so that a busy machine slows both alike.
  std::vector<double> load_wall, load_cpu, save_wall, save_cpu, tmpfs_save_wall;
  std::vector<double> py_load_wall, py_load_cpu, py_save_wall, py_save_cpu;
  bool identical = true;
  for (int round = 0; round < kRounds; ++round) {
    std::unique_ptr<RemoteEmbeddingClient> client;
    Timing load = timing_of([&] {
      client = std::make_unique<RemoteEmbeddingClient>("http://unused", std::nullopt,
                                                        "dense-embedding", std::nullopt, 60, true,
                                                        disk);
    });
    Timing save = timing_of([&] { client->save_cache(); });
    identical = identical && client->cache_size() == kEntries &&
                vantory::read_file(disk + "/embedding_cache.json") == text;
    RemoteEmbeddingClient in_memory("http://unused", std::nullopt, "dense-embedding",
                                    std::nullopt, 60, true, memory);
    tmpfs_save_wall.push_back(timing_of([&] { in_memory.save_cache(); }).wall);
    load_wall.push_back(load.wall);
    load_cpu.push_back(load.cpu);
    save_wall.push_back(save.wall);
    save_cpu.push_back(save.cpu);

    std::string command = "/usr/bin/python3 " + peer_script + " " + disk + "/embedding_cache.json";
    FILE* peer = popen(command.c_str(), "r");
    if (peer == nullptr) throw std::runtime_error("could not run " + command);
    char name[16];
    double wall, cpu;
    while (std::fscanf(peer, "%15s %lf %lf", name, &wall, &cpu) == 3) {
      bool is_load = std::string(name) == "load";
      (is_load ? py_load_wall : py_save_wall).push_back(wall);
      (is_load ? py_load_cpu : py_save_cpu).push_back(cpu);
    }
    if (pclose(peer) != 0 || py_load_wall.size() != static_cast<std::size_t>(round + 1)) {
      throw std::runtime_error("the Python peer failed: " + command);
    }
  }
  std::filesystem::remove_all(disk);
  std::filesystem::remove_all(memory);

  std::printf("cache file: %zu entries x %zu dims, %.1f MB, medians of %d interleaved rounds%s\n",
              kEntries, kDimension, mb, kRounds, identical ? "" : "  (SAVED FILE DIFFERS)");
  std::printf("  load  vantory %.3f s wall (%.0f MB/s), %.3f s cpu | python json %.3f s wall, "
              "%.3f s cpu | ratio %.1fx wall, %.1fx cpu\n",
              median(load_wall), mb / median(load_wall), median(load_cpu), median(py_load_wall),
              median(py_load_cpu), median(py_load_wall) / median(load_wall),
              median(py_load_cpu) / median(load_cpu));
  std::printf("  save  vantory %.3f s wall (%.0f MB/s, fsync included), %.3f s cpu | python json "
              "%.3f s wall, %.3f s cpu | ratio %.1fx wall, %.1fx cpu\n",
              median(save_wall), mb / median(save_wall), median(save_cpu), median(py_save_wall),
              median(py_save_cpu), median(py_save_wall) / median(save_wall),
              median(py_save_cpu) / median(save_cpu));
  std::printf("  save to tmpfs (no disk flush) %.3f s wall (%.0f MB/s)\n", median(tmpfs_save_wall),
              mb / median(tmpfs_save_wall));
  return 0;
}

int bench_embed() {
  PreparedClient client;
  std::string text(1024, 'x');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  client.embed(text);
  constexpr int kCalls = 200000;
  double per_call = median_of(5, [&] {
    for (int i = 0; i < kCalls; ++i) client.embed(text);
  }) / kCalls;
  std::printf("embed of a cached 1 KB text: %.3f us/call (goal < 2 us)\n", per_call * 1e6);
  return 0;
}

// The library's server listens with a backlog of 5: ten clients connecting at once would have
// SYNs dropped and retried a second later. Listening again widens the queue.
struct WideServer : httplib::Server {
  void widen_backlog() { ::listen(svr_sock_, 128); }
};

int bench_batch() {
  WideServer server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  std::string answer = vantory::dump_json(vantory::Json(unit_vector(1)));
  server.Post("/embed", [&](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the service's think time
    res.set_content(answer, "application/json");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  server.widen_backlog();
  std::thread loop([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::yield();

  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/embed";
  auto texts = [](int round) {
    std::vector<std::string> out;
    for (int i = 0; i < 200; ++i) out.push_back("r" + std::to_string(round) + " " + std::to_string(i));
    return out;
  };
  int round = 0;
  double sequential = median_of(1, [&] {
    RemoteEmbeddingClient client(url);
    for (const std::string& t : texts(round++)) client.embed(t);
  });
  double batch = median_of(3, [&] {
    RemoteEmbeddingClient client(url);
    client.embed_batch(texts(round++));
  });
  server.stop();
  loop.join();
  std::printf("200 texts, service answering after 20 ms: sequential embed %.3f s, embed_batch "
              "(10 workers) %.3f s, ratio %.1fx (goal >= 8x)\n",
              sequential, batch, sequential / batch);
  return 0;
}

int bench_openai() {
  WideServer server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  std::string vector_text = vantory::dump_json(vantory::Json(unit_vector(1)));
  server.Post("/embed", [&](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    res.set_content(vector_text, "application/json");
  });
  // The answers are made once per batch size: the service's own work is its 20 ms, and what
  // is measured is the client's.
  std::mutex answers_mutex;
  std::map<std::size_t, std::string> answers;
  auto answer_of = [&](std::size_t inputs) -> const std::string& {
    std::lock_guard<std::mutex> guard(answers_mutex);
    std::string& body = answers[inputs];
    if (body.empty()) {
      body = "{\"object\": \"list\", \"data\": [";
      for (std::size_t i = 0; i < inputs; ++i) {
        if (i) body += ", ";
        body += "{\"object\": \"embedding\", \"index\": " + std::to_string(i) +
                ", \"embedding\": " + vector_text + "}";
      }
      body += "]}";
    }
    return body;
  };
  server.Post("/v1/embeddings", [&](const httplib::Request& req, httplib::Response& res) {
    std::size_t inputs = vantory::parse_json(req.body)["input"].size();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    res.set_content(answer_of(inputs), "application/json");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  server.widen_backlog();
  std::thread loop([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::yield();

  std::string base = "http://127.0.0.1:" + std::to_string(port);
  auto texts = [](int round) {
    std::vector<std::string> out;
    for (int i = 0; i < 1000; ++i) {
      out.push_back("r" + std::to_string(round) + " text " + std::to_string(i));
    }
    return out;
  };
  int round = 0;
  double rest = median_of(3, [&] {
    RemoteEmbeddingClient client(base + "/embed", std::nullopt, std::nullopt, kDimension, 60,
                                 false);
    client.embed_batch(texts(round++));
  });
  double rest_sequential = median_of(1, [&] {
    RemoteEmbeddingClient client(base + "/embed", std::nullopt, std::nullopt, kDimension, 60,
                                 false);
    for (const std::string& text : texts(round++)) client.embed(text);
  });
  // CPU seconds of one OpenAI round (client and server share this process): on a machine
  // shared with other work, they tell how much of the wall time is waiting for a core.
  double cpu_before = cpu_seconds();
  double openai = median_of(5, [&] {
    RemoteEmbeddingClient client(base + "/v1/embeddings", std::nullopt, "bench-model", kDimension,
                                 60, false, std::nullopt, std::nullopt, "openai", 64);
    client.embed_batch(texts(round++));
  });
  double openai_cpu = (cpu_seconds() - cpu_before) / 5;
  server.stop();
  loop.join();
  std::printf(
      "1,000 texts, service answering each request after 20 ms: OpenAI batches of 64 through "
      "embed_batch (10 workers) %.3f s (%.3f CPU s); REST one text a request through "
      "embed_batch %.3f s, ratio %.1fx; REST one embed call after another %.3f s, ratio %.1fx "
      "(goal >= 20x)\n",
      openai, openai_cpu, rest, rest / openai, rest_sequential, rest_sequential / openai);
  return 0;
}

long status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return 0;
}

// Peak memory of a client holding 100,000 embeddings: filled through embed (phase "fill",
// which then writes them as a cache file into `dir`), or loaded from that file (phase "load",
// run in a fresh process).
int bench_memory(const std::string& phase, const std::string& dir) {
  constexpr std::size_t kEntries = 100000;
  double raw = static_cast<double>(kEntries * kDimension * sizeof(float)) / 1e6;
  long before = status_kb("VmRSS:");
  auto report = [&](const char* what, std::size_t entries) {
    double used = static_cast<double>(status_kb("VmHWM:") - before) * 1024 / 1e6;
    std::printf("  %-34s %zu entries, peak %.1f MB over %.1f MB of raw float32: %.3fx\n", what,
                entries, used, raw, used / raw);
  };
  if (phase == "fill") {
    PreparedClient client;
    for (std::size_t i = 0; i < kEntries; ++i) client.embed("text " + std::to_string(i));
    report("filled through embed", client.cache_size());
    // The same entries as a cache file for the load phase, written piece by piece.
    vantory::AtomicFileWriter file(dir + "/embedding_cache.json");
    std::string piece = "{";
    for (std::size_t i = 0; i < kEntries; ++i) {
      std::string text = "text " + std::to_string(i);
      if (i) piece += ", ";
      vantory::append_json_string(piece, RemoteEmbeddingClient::_get_cache_key(text));
      piece += ": ";
      std::span<const float> values = client.embed(text).data();
      vantory::append_json_float_array(piece, values.data(), values.size());
      if (piece.size() > (1 << 20)) {
        file.append(piece);
        piece.clear();
      }
    }
    file.append(piece + "}");
    file.commit();
  } else {
    PreparedClient client(dir);
    report("loaded from the cache file", client.cache_size());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "";
  // The library's diagnostics would drown the figures; failures are reported on stdout.
  std::freopen("/dev/null", "w", stderr);
  try {
    if (which == "cache" && argc > 2) return bench_cache(argv[2]);
    if (which == "embed") return bench_embed();
    if (which == "batch") return bench_batch();
    if (which == "openai") return bench_openai();
    if (which == "memory" && argc > 3) return bench_memory(argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::printf("embedding_bench %s failed: %s\n", which.c_str(), e.what());
    return 1;
  }
  std::printf(
      "usage: embedding_bench <cache PEER_SCRIPT | embed | batch | openai | memory fill|load "
      "DIR>\n");
  return 2;
}
