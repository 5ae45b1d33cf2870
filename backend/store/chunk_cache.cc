#include "backend/store/chunk_cache.h"

#include <algorithm>
#include <utility>

#include "backend/chunker_revision.h"
#include "backend/storage/database.h"
#include "backend/store/context_table.h"
#include "common/message_text.h"
#include "common/sha256.h"
#include "common/truth_value.h"
#include "common/unicode.h"

namespace vantory::backend {

namespace {

// Answers are taken by the builder call that follows the chunking, at most as many files later
// as Tarnel::index_files lets its workers run ahead (256); more cover answers whose builder
// call never came (a failed delta_update) or a provider shared by threads.
constexpr std::size_t kRememberedAnswers = 320;

// What a source keeps of its latest reads, at most, in the bytes that record_bytes counts:
// enough for the copies of a folder of headers vendored once for each platform.
constexpr std::size_t kRecentReadBytes = 4u << 20;
constexpr std::size_t kRecentReads = 256;
// About what a record holds in memory beside its content: its other members, the keys.
constexpr std::size_t kRecordBytes = 1024;

// About the bytes that `records` take in memory.
std::size_t record_bytes(const Json& records) {
  std::size_t bytes = 0;
  for (const Json& record : records) {
    bytes += kRecordBytes;
    auto content = record.is_object() ? record.find("content") : record.end();
    if (content != record.end() && content->is_string()) {
      bytes += content->get_ref<const std::string&>().size();
    }
  }
  return bytes;
}

bool is_filled_summary(const Json& summary, const Json& made) {
  auto name = made.find("name");
  return summary.is_string() &&
         summary.get_ref<const std::string&>() ==
             "Code unit: " + (name == made.end() ? std::string("unnamed") : value_text(*name));
}

bool is_content_hash(const Json& hash, const Json& made) {
  auto content = made.find("content");
  return hash.is_string() && content != made.end() && content->is_string() &&
         !content->get_ref<const std::string&>().empty() &&
         hash.get_ref<const std::string&>() ==
             content_hash_id(content->get_ref<const std::string&>());
}

}  // namespace

std::string content_hash_id(std::string_view content) {
  return sha256_hex(collapse_whitespace(content));
}

bool is_chunker_record(const Json& stored, const Json& made, const std::string* path) {
  if (!stored.is_object() || !made.is_object() || stored.size() < made.size()) return false;
  auto s = stored.begin();
  for (auto m = made.begin(); m != made.end(); ++m, ++s) {
    if (s.key() != m.key()) return false;
    bool same = path && m.key() == "file_path"
                    ? s.value().is_string() && s.value().get_ref<const std::string&>() == *path
                    : s.value() == m.value();
    if (!same && m.key() == "summary" && !truthy(m.value())) {
      same = is_filled_summary(s.value(), made);
    } else if (!same && m.key() == "hash_id" && !truthy(m.value())) {
      same = is_content_hash(s.value(), made);
    }
    if (!same) return false;
  }
  if (s != stored.end() && s.key() == "summary" && !made.contains("summary")) {
    if (!is_filled_summary(s.value(), made)) return false;
    ++s;
  }
  if (s != stored.end() && s.key() == "hash_id" && !made.contains("hash_id")) {
    if (!is_content_hash(s.value(), made)) return false;
    ++s;
  }
  return s == stored.end();
}

ChunkCache::ChunkCache() = default;
ChunkCache::~ChunkCache() = default;

std::string ChunkCache::key_of(std::string_view language, std::string_view text) {
  Sha256 keyed;
  keyed.update(kChunkerRevision).update('\0').update(language).update('\0').update(text);
  return keyed.hex();
}

void ChunkCache::attach(const std::string& root_path) {
  MutexLock lock(mutex_);
  ++sources_[root_path].attached;
}

void ChunkCache::detach(const std::string& root_path) {
  MutexLock lock(mutex_);
  auto it = sources_.find(root_path);
  if (it != sources_.end() && --it->second.attached <= 0) sources_.erase(it);
}

void ChunkCache::offer(const std::string& root_path, std::shared_ptr<const Json> contexts,
                       const std::vector<std::optional<std::string>>& keys) {
  std::unordered_map<std::string, Stored> offered;
  for (std::size_t i = 0; contexts && i < keys.size() && i < contexts->size(); ++i) {
    const Json& context = (*contexts)[i];
    auto chunks = context.find("chunks");
    if (!keys[i] || chunks == context.end()) continue;
    // Shares ownership of the whole array: no record is copied.
    Stored offer{std::shared_ptr<const Json>(contexts, &*chunks), nullptr, std::nullopt,
                 std::nullopt};
    auto imports = context.find("imports");
    auto file_hash = context.find("file_hash");
    if (imports != context.end() && imports->is_array() && file_hash != context.end() &&
        file_hash->is_string()) {
      offer.imports = std::shared_ptr<const Json>(contexts, &*imports);
      offer.file_hash = file_hash->get<std::string>();
    }
    offered.emplace(*keys[i], std::move(offer));
  }
  MutexLock lock(mutex_);
  auto it = sources_.find(root_path);
  if (it != sources_.end()) it->second.offered = std::move(offered);
}

ChunkCache::Stored ChunkCache::find(const std::string& key, const std::string* path) {
  std::vector<std::shared_ptr<Reader>> readers;
  std::optional<Stored> read_lately;
  {
    MutexLock lock(mutex_);
    for (auto& [root, source] : sources_) {
      auto offered = source.offered.find(key);
      if (offered != source.offered.end()) return offered->second;
      std::deque<RecentRead>& found = source.recent.found;
      auto recent = std::find_if(found.rbegin(), found.rend(),
                                 [&](const RecentRead& read) { return read.key == key; });
      if (recent != found.rend()) {
        read_lately = recent->stored;
        std::rotate(recent.base() - 1, recent.base(), found.end());  // now the latest
        break;
      }
    }
    for (auto& [root, source] : sources_) {
      if (read_lately) break;
      if (!source.reader) source.reader = std::make_shared<Reader>(root);
      readers.push_back(source.reader);
    }
  }
  if (read_lately) return *read_lately;
  for (const std::shared_ptr<Reader>& reader : readers) {
    MutexLock lock(reader->mutex);
    if (!reader->db) reader->db = std::make_unique<Database>(reader->root_path);
    Database& db = *reader->db;
    ReadTransaction snapshot(db);
    Statement st = db.prepare(
        "SELECT id, file_hash, agent_id, vectors_complete FROM contexts WHERE chunk_key = ?1 "
        "LIMIT 1");
    st.bind(1, key);
    if (!st.step()) continue;
    std::int64_t id = st.column_int(0);
    ContextTable table(db);
    Stored stored{std::make_shared<const Json>(table.chunk_records(id, path)), nullptr,
                  std::nullopt, std::nullopt};
    if (!st.is_null(1)) {
      stored.file_hash = st.column_text(1);
      stored.imports = std::make_shared<const Json>(table.import_records(id));
    }
    if (st.column_int(3) != 0) stored.vectors_of = st.column_text(2);
    keep_read(reader->root_path, key, stored);
    return stored;
  }
  MutexLock lock(mutex_);
  auto held = held_.find(key);
  return held == held_.end() ? Stored{} : held->second;
}

void ChunkCache::keep_read(const std::string& root_path, const std::string& key,
                           const Stored& stored) {
  std::vector<RecentRead> evicted;  // freed once the lock is let go
  MutexLock lock(mutex_);
  auto source = sources_.find(root_path);
  if (source == sources_.end()) return;  // detached meanwhile
  RecentReads& recent = source->second.recent;
  auto once = std::find(recent.read_once.begin(), recent.read_once.end(), key);
  if (once == recent.read_once.end()) {
    if (recent.read_once.size() >= kRecentReads) recent.read_once.pop_front();
    recent.read_once.push_back(key);
    return;
  }
  recent.read_once.erase(once);
  std::size_t bytes = record_bytes(*stored.records);
  if (bytes > kRecentReadBytes) return;
  while (!recent.found.empty() &&
         (recent.bytes + bytes > kRecentReadBytes || recent.found.size() >= kRecentReads)) {
    recent.bytes -= recent.found.front().bytes;
    evicted.push_back(std::move(recent.found.front()));
    recent.found.pop_front();
  }
  recent.found.push_back(RecentRead{key, stored, bytes});
  recent.bytes += bytes;
}

void ChunkCache::remember(const std::string& path, const std::string& language, std::string key,
                          std::shared_ptr<const Json> records, Stored known) {
  MutexLock lock(mutex_);
  if (answers_.size() >= kRememberedAnswers) answers_.pop_front();
  bool stored = known.records != nullptr;
  answers_.push_back(Answer{path, language,
                            Taken{std::move(key), std::move(known.imports),
                                  std::move(known.file_hash), std::move(known.vectors_of),
                                  stored},
                            std::move(records)});
}

std::optional<ChunkCache::Taken> ChunkCache::take(const std::string& path,
                                                  const std::string& language,
                                                  const Json& chunks) {
  Answer answer;
  {
    MutexLock lock(mutex_);
    auto it = answers_.end();
    while (it != answers_.begin()) {
      --it;
      if (it->path == path && it->language == language) break;
    }
    if (it == answers_.end() || it->path != path || it->language != language) return std::nullopt;
    answer = std::move(*it);
    answers_.erase(it);
  }
  const Json& made = *answer.records;
  if (!chunks.is_array() || !made.is_array() || chunks.size() != made.size()) return std::nullopt;
  for (std::size_t i = 0; i < made.size(); ++i) {
    if (!is_chunker_record(chunks[i], made[i], &answer.path)) return std::nullopt;
  }
  return std::move(answer.taken);
}

void ChunkCache::hold(const std::string& key, std::shared_ptr<const Json> records,
                      std::shared_ptr<const Json> imports, std::optional<std::string> file_hash) {
  if (!imports || !file_hash) {
    imports = nullptr;
    file_hash.reset();
  }
  MutexLock lock(mutex_);
  held_.emplace(key, Stored{std::move(records), std::move(imports), std::move(file_hash),
                            std::nullopt});
}

void ChunkCache::release(const std::string& key, const Json* records) {
  MutexLock lock(mutex_);
  auto held = held_.find(key);
  if (held != held_.end() && held->second.records.get() == records) held_.erase(held);
}

}  // namespace vantory::backend
