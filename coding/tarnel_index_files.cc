// Indexing many files at once: worker threads read and cut them while the
// calling thread stores them, in batches when the builder can.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "coding/batched_writes.h"
#include "coding/internal/delta_steps.h"
#include "coding/internal/ingest_steps.h"
#include "coding/internal/records.h"
#include "coding/internal/timing.h"
#include "coding/prepared_writes.h"
#include "coding/tarnel.h"
#include "common/mutex.h"
#include "common/paths.h"

namespace vantory {

namespace {

// A batch is committed once it holds this many files or has been open this
// long: large enough that a commit's fixed cost (the index pages every
// transaction rewrites) is shared, short enough that other writers of the store
// do not wait long and that progress moves. The hash-keyed indexes take each
// file's units all over their pages, so a commit logs most of them again: an
// index of /usr/include wrote 1,182 MB to the log and the database file with
// 256 files a batch, 962 MB with 512 (peak RSS 45 MB more).
constexpr std::size_t kBatchFiles = 512;
constexpr std::chrono::milliseconds kBatchTime{1000};

// How many cut files may wait for the writer per worker: memory stays bounded
// by the window, not by the number of paths. The writer takes the files in
// order, so one slow file stalls every worker once the window behind it is
// full, and so does a slow commit of the writer (a checkpoint of the log syncs
// the database file). /usr/include on 2 cores: 51 s with 4, 42 s with 16; and
// after the writer got faster, the 2 cores busy 82 to 84% of the time with 16
// and 89 to 90% with 48; later, 1.77 to 1.80 cores busy with 48 and 1.87 to
// 1.89 with 128 (peak RSS 25 MB more), no more with 192.
constexpr std::size_t kWindowPerWorker = 128;
// In all at most this many: the backend remembers what its chunker answered for more files than
// that (chunk_cache.cc), so the files stored know they are the chunker's own.
constexpr std::size_t kMaxWindow = 256;
// And at most about this much source waits, however large the files: a window
// of files near the size limit would otherwise hold hundreds of MB once cut.
constexpr std::uint64_t kMaxWaitingBytes = std::uint64_t{16} << 20;

// A file as a worker left it: cut, and prepared for the store when the builder
// can be told so. For a delta update, with the distinct hash ids of its records.
struct Cut {
  CutFile file;
  std::unique_ptr<PreparedFile> prepared;
  std::exception_ptr error;
  std::unordered_set<Json> hashes;
  std::size_t total = 0;
};

// What a worker does to the file of an index: fills its Cut (throwing leaves the
// failure in it).
using CutStep = std::function<void(std::size_t index, Cut& cut)>;

// The files between the workers and the writer: a window of slots that the
// workers fill in any order and the writer empties in order. A worker may not
// run further ahead of the writer than the window.
class CutWindow {
 public:
  CutWindow(std::size_t count, std::size_t window) : count_(count), slots_(window) {}

  // The next index for a worker to cut; false when there is none left or the
  // window stopped.
  bool claim(std::size_t& index) {
    MutexLock lock(mutex_);
    // The file the writer waits for is claimed already, so waiting for room
    // never waits on itself.
    while (!stopped_ && next_ < count_ &&
           (next_ >= taken_ + slots_.size() || waiting_bytes_ >= kMaxWaitingBytes)) {
      lock.wait(room_);
    }
    if (stopped_ || next_ >= count_) return false;
    index = next_++;
    return true;
  }

  void deliver(std::size_t index, Cut cut) {
    MutexLock lock(mutex_);
    Slot& slot = slots_[index % slots_.size()];
    waiting_bytes_ += cut.file.bytes;
    slot.cut = std::move(cut);
    slot.ready = true;
    if (index == taken_) ready_.notify_one();
  }

  // The file of `index` (the next one in order), once a worker delivered it.
  Cut take(std::size_t index) {
    MutexLock lock(mutex_);
    Slot& slot = slots_[index % slots_.size()];
    while (!slot.ready) lock.wait(ready_);
    Cut cut = std::move(slot.cut);
    waiting_bytes_ -= cut.file.bytes;
    slot.ready = false;
    taken_ = index + 1;
    room_.notify_all();
    return cut;
  }

  void stop() {
    MutexLock lock(mutex_);
    stopped_ = true;
    room_.notify_all();
  }

 private:
  struct Slot {
    bool ready = false;
    Cut cut;
  };
  // Locks: `mutex_` guards the slots and the counters; cutting runs without it.
  const std::size_t count_;
  Mutex mutex_;
  std::vector<Slot> slots_ GUARDED_BY(mutex_);
  std::size_t next_ GUARDED_BY(mutex_) = 0;   // next index to claim
  std::size_t taken_ GUARDED_BY(mutex_) = 0;  // indexes below it are taken by the writer
  std::uint64_t waiting_bytes_ GUARDED_BY(mutex_) = 0;  // of the files delivered, not taken
  bool stopped_ GUARDED_BY(mutex_) = false;
  std::condition_variable room_;
  std::condition_variable ready_;
};

// Workers that cut the files of a window until it runs out; stopped and joined
// on destruction, so that no exception of the writer leaves them running.
class CutWorkers {
 public:
  CutWorkers(CutWindow& window, unsigned count, const CutStep& step) : window_(window) {
    for (unsigned i = 0; i < count; ++i) {
      threads_.emplace_back([&window, &step] {
        std::size_t index;
        while (window.claim(index)) {
          Cut cut;
          try {
            step(index, cut);
          } catch (...) {
            cut.error = std::current_exception();
          }
          window.deliver(index, std::move(cut));
        }
      });
    }
  }
  ~CutWorkers() {
    window_.stop();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  CutWindow& window_;
  std::vector<std::thread> threads_;
};

// The files stored in the open batch, answered once it is committed. Without a
// batch-capable builder every file is answered as soon as it is stored.
class BatchWriter {
 public:
  BatchWriter(BatchedWrites* batches, const Tarnel::FileIndexed& on_indexed)
      : batches_(batches), on_indexed_(on_indexed) {}
  ~BatchWriter() {
    if (open_) batches_->abort_batch();
  }

  // Opens a batch when none is; false (with the failure answered for `index`)
  // when it cannot be opened.
  bool ready_for(std::size_t index) {
    if (!batches_ || open_) return true;
    try {
      batches_->begin_batch();
    } catch (...) {
      on_indexed_(index, nullptr, std::current_exception());
      return false;
    }
    open_ = true;
    opened_at_ = std::chrono::steady_clock::now();
    return true;
  }

  void stored(std::size_t index, Json answer) {
    if (!open_) {
      on_indexed_(index, &answer, nullptr);
      return;
    }
    pending_.emplace_back(index, std::move(answer));
    bool full = pending_.size() >= kBatchFiles || batches_->batch_full() ||
                std::chrono::steady_clock::now() - opened_at_ >= kBatchTime;
    if (full) commit();
  }

  void commit() {
    if (!open_) return;
    open_ = false;
    std::exception_ptr failed;
    try {
      batches_->commit_batch();
    } catch (...) {
      failed = std::current_exception();
      batches_->abort_batch();
    }
    std::vector<std::pair<std::size_t, Json>> done = std::move(pending_);
    pending_.clear();
    for (auto& [index, answer] : done) {
      on_indexed_(index, failed ? nullptr : &answer, failed);
    }
  }

 private:
  BatchedWrites* batches_;
  const Tarnel::FileIndexed& on_indexed_;
  bool open_ = false;
  std::chrono::steady_clock::time_point opened_at_;
  std::vector<std::pair<std::size_t, Json>> pending_;
};

// What the writer does to a cut file, in order: stores it and answers its answer.
using StoreStep = std::function<Json(std::size_t index, Cut& cut)>;

// Cuts `count` files on `threads` worker threads (0: one per core) with `step` and stores
// them in order on the calling thread with `store`, many a transaction when `builder` can
// batch; `on_done` is told of each file as index_files tells `on_indexed`.
void run_pipeline(std::size_t count, unsigned threads, CodingMemoryBuilder& builder,
                  const CutStep& step, const StoreStep& store,
                  const Tarnel::FileIndexed& on_done) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, count));
  CutWindow window(count, std::min(kWindowPerWorker * threads, kMaxWindow));
  BatchWriter writer(dynamic_cast<BatchedWrites*>(&builder), on_done);
  CutWorkers workers(window, threads, step);
  for (std::size_t i = 0; i < count; ++i) {
    Cut cut = window.take(i);
    if (cut.error) {
      on_done(i, nullptr, cut.error);
      continue;
    }
    if (!cut.prepared && cut.file.chunks.is_object()) {  // answered without a write
      on_done(i, &cut.file.chunks, nullptr);
      continue;
    }
    if (!writer.ready_for(i)) continue;
    Json answer;
    try {
      answer = store(i, cut);
    } catch (...) {
      on_done(i, nullptr, std::current_exception());
      continue;
    }
    writer.stored(i, std::move(answer));
  }
  writer.commit();
}

}  // namespace

void Tarnel::index_files(const std::string& agent_id, const std::vector<std::string>& paths,
                         const FileIndexed& on_indexed, unsigned threads) {
  if (paths.empty()) return;
  std::shared_ptr<ChunkingComponent> chunking = provider().bind_chunking();
  auto* preparing = dynamic_cast<PreparedWrites*>(builder_.get());
  const CutStep step = [&](std::size_t index, Cut& cut) {
    cut.file = cut_file(*chunking, paths[index], max_file_bytes_);
    if (preparing && cut.file.chunks.is_array()) {
      cut.prepared = preparing->prepare_file(agent_id, paths[index], std::move(cut.file.chunks),
                                             cut.file.language);
    }
  };
  const StoreStep store = [&](std::size_t index, Cut& cut) {
    if (!cut.prepared) {
      return store_chunks(agent_id, paths[index], cut.file.chunks, cut.file.language);
    }
    Json stored = timed_call("indexing", [&] { return preparing->store_prepared(*cut.prepared); });
    return records::expect_object(std::move(stored), "process_file_chunks");
  };
  run_pipeline(paths.size(), threads, *builder_, step, store, on_indexed);
}

void Tarnel::delta_update_files(const std::string& agent_id, const std::vector<std::string>& paths,
                                const FileIndexed& on_updated, unsigned threads) {
  if (paths.empty()) return;
  std::shared_ptr<ChunkingComponent> chunking = provider().bind_chunking();
  std::vector<std::string> normalised;
  normalised.reserve(paths.size());
  for (const std::string& path : paths) normalised.push_back(normalize_path(path));
  // The hash ids each stored file left behind: their vectors are deleted once the file's
  // batch is committed, outside it, as delta_update deletes them outside its store.
  std::vector<Json> removed(paths.size());
  const FileIndexed after_commit = [&](std::size_t i, const Json* answer,
                                       std::exception_ptr error) {
    if (answer && !removed[i].empty()) {
      try {
        ambrel_->delete_vectors(agent_id, removed[i]);
      } catch (...) {
        error = std::current_exception();
        answer = nullptr;
      }
    }
    removed[i] = Json();
    on_updated(i, answer, error);
  };
  auto* preparing = dynamic_cast<PreparedWrites*>(builder_.get());
  const CutStep step = [&](std::size_t index, Cut& cut) {
    DeltaCut delta = cut_for_delta(*chunking, normalised[index], max_file_bytes_);
    if (delta.answer) {
      cut.file.chunks = std::move(*delta.answer);
      return;
    }
    cut.file.bytes = delta.bytes;  // what waits in the window
    cut.hashes = std::move(delta.hashes);
    cut.total = delta.records.size();
    cut.file.language = std::move(delta.language);
    if (preparing) {
      cut.prepared = preparing->prepare_file(agent_id, normalised[index],
                                             std::move(delta.records), cut.file.language);
    } else {
      cut.file.chunks = std::move(delta.records);
    }
  };
  const StoreStep store = [&](std::size_t index, Cut& cut) {
    const std::string& path = normalised[index];
    std::vector<Json> stored = stored_hash_ids(*store_, agent_id, path);
    Json answer = delta_answer(path, stored, cut.hashes, cut.total, removed[index]);
    timed_call("indexing", [&] {
      return cut.prepared ? preparing->store_prepared(*cut.prepared)
                          : builder_->process_file_chunks(agent_id, path, cut.file.chunks,
                                                          cut.file.language);
    });
    return answer;
  };
  run_pipeline(paths.size(), threads, *builder_, step, store, after_commit);
}

}  // namespace vantory
