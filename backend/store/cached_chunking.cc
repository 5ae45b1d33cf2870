#include "backend/store/cached_chunking.h"

#include <string>
#include <utility>
#include <vector>

#include "backend/store/chunk_body.h"
#include "common/error.h"

namespace vantory::backend {

namespace {

// A chunker's answer for one file: records shared with the cache (a copy's records may name
// the file they were first cut for), and the path they are handed on for.
struct Answered {
  std::shared_ptr<const Json> records;
  std::string path;
};

// One record of a chunker's answer, naming the file it is handed on for.
class RecordOfAnswer : public CodeUnit {
 public:
  RecordOfAnswer(std::shared_ptr<const Answered> answer, std::size_t index)
      : answer_(std::move(answer)), index_(index) {}
  Json to_dict() const override {
    Json record = (*answer_->records)[index_];
    put_in_file(record, answer_->path);
    return record;
  }

 private:
  std::shared_ptr<const Answered> answer_;
  std::size_t index_;
};

class CachedChunker : public Chunker {
 public:
  CachedChunker(std::shared_ptr<ChunkingComponent> chunking, std::string language,
                std::shared_ptr<ChunkCache> cache)
      : chunking_(std::move(chunking)), language_(std::move(language)), cache_(std::move(cache)) {}

  std::vector<std::unique_ptr<CodeUnit>> chunk_file(const std::string& text,
                                                    const std::string& file_path) override {
    std::string key = ChunkCache::key_of(language_, text);
    // The records stored for the same text, maybe at another path: a copy of the file.
    ChunkCache::Stored stored = cache_->find(key, &file_path);
    // Shared as found: each record is put in this file as it is handed on.
    std::shared_ptr<const Json> records = stored.records;
    if (!records) {
      std::unique_ptr<Chunker> chunker = chunking_->get_chunker(language_);
      if (!chunker) throw RuntimeError("no chunker for language " + language_);
      Json made = Json::array();
      for (const std::unique_ptr<CodeUnit>& unit : chunker->chunk_file(text, file_path)) {
        made.push_back(unit->take_dict());  // the units go with this loop
      }
      records = std::make_shared<const Json>(std::move(made));
      stored = ChunkCache::Stored{};
    }
    cache_->remember(file_path, language_, std::move(key), records, std::move(stored));
    auto answer = std::make_shared<const Answered>(Answered{records, file_path});
    std::vector<std::unique_ptr<CodeUnit>> units;
    units.reserve(records->size());
    for (std::size_t i = 0; i < records->size(); ++i) {
      units.push_back(std::make_unique<RecordOfAnswer>(answer, i));
    }
    return units;
  }

 private:
  std::shared_ptr<ChunkingComponent> chunking_;
  std::string language_;
  std::shared_ptr<ChunkCache> cache_;
};

class CachedChunking : public ChunkingComponent {
 public:
  CachedChunking(std::shared_ptr<ChunkingComponent> chunking, std::shared_ptr<ChunkCache> cache)
      : chunking_(std::move(chunking)), cache_(std::move(cache)) {}

  std::string detect_language(const std::string& file_path) override {
    return chunking_->detect_language(file_path);
  }
  // The real chunker is made only when the cache cannot answer.
  std::unique_ptr<Chunker> get_chunker(const std::string& language) override {
    return std::make_unique<CachedChunker>(chunking_, language, cache_);
  }

 private:
  std::shared_ptr<ChunkingComponent> chunking_;
  std::shared_ptr<ChunkCache> cache_;
};

}  // namespace

std::shared_ptr<ChunkingComponent> make_cached_chunking(std::shared_ptr<ChunkingComponent> chunking,
                                                        std::shared_ptr<ChunkCache> cache) {
  return std::make_shared<CachedChunking>(std::move(chunking), std::move(cache));
}

}  // namespace vantory::backend
