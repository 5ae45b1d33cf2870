#include "backend/store/cached_chunking.h"

#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace vantory::backend {

namespace {

// One record of a chunker's answer, shared with the cache's copy of that answer.
class RecordOfAnswer : public CodeUnit {
 public:
  RecordOfAnswer(std::shared_ptr<const Json> records, std::size_t index)
      : records_(std::move(records)), index_(index) {}
  Json to_dict() const override { return (*records_)[index_]; }

 private:
  std::shared_ptr<const Json> records_;
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
    std::shared_ptr<const Json> records = for_path(stored.records, file_path);
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
    std::vector<std::unique_ptr<CodeUnit>> units;
    units.reserve(records->size());
    for (std::size_t i = 0; i < records->size(); ++i) {
      units.push_back(std::make_unique<RecordOfAnswer>(records, i));
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
