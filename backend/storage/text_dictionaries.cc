#include "backend/storage/text_dictionaries.h"

// The trainer with parameters of its own (ZDICT_trainFromBuffer_fastCover).
#define ZDICT_STATIC_LINKING_ONLY
#include <zdict.h>
#include <zstd.h>

#include <vector>

#include "backend/storage/database.h"
#include "backend/storage/packed_texts.h"
#include "common/error.h"

namespace vantory::backend {

namespace {

// Large enough for the shapes a code base repeats; small beside the store.
constexpr std::size_t kDictionaryBytes = 64 * 1024;
// What a dictionary is trained on: bodies spread over the whole store, about a MB (training
// takes about 0.02 s a MB, on the writer's time; four times as much would make bodies only
// 1.5% smaller).
constexpr std::int64_t kSamples = 2000;
constexpr std::size_t kSampleBytes = 1200 * 1024;
// Each later dictionary is due when the chunks ever stored have grown this many times.
constexpr std::int64_t kGrowth = 16;

// The chunk id from which the dictionary after `count` of them is due.
std::int64_t due_after(std::int64_t count) {
  std::int64_t due = kFirstDictionaryUnits;
  for (std::int64_t i = 0; i < count && due < (INT64_MAX / kGrowth); ++i) due *= kGrowth;
  return due;
}

std::int64_t largest_chunk_id(Database& db) {
  Statement st = db.prepare("SELECT max(id) FROM chunks");
  return st.step() && !st.is_null(0) ? st.column_int(0) : 0;
}

std::int64_t dictionary_count(Database& db) {
  Statement st = db.prepare("SELECT count(*) FROM text_dictionaries");
  return st.step() ? st.column_int(0) : 0;
}

// What the bodies spread over ids 1..`largest` held before compression.
std::vector<std::string> sample_payloads(Database& db, std::int64_t largest) {
  std::vector<std::string> samples;
  std::size_t bytes = 0;
  std::int64_t count = std::min(kSamples, largest);
  std::int64_t last = 0;
  for (std::int64_t i = 0; i < count && bytes < kSampleBytes; ++i) {
    std::int64_t from = std::max(last + 1, largest * i / count + 1);
    Statement st = db.prepare(
        "SELECT id, body FROM chunks WHERE id >= ?1 AND body_of IS NULL ORDER BY id LIMIT 1");
    st.bind(1, from);
    if (!st.step()) break;
    last = st.column_int(0);
    samples.push_back(packed_payload(st.column_blob(1), db.text_dictionaries()));
    bytes += samples.back().size();
  }
  return samples;
}

// The dictionary trained on `samples`, or "" when zstd finds none to make of them.
std::string train(const std::vector<std::string>& samples) {
  std::string joined;
  std::vector<std::size_t> sizes;
  for (const std::string& sample : samples) {
    if (sample.empty()) continue;
    joined += sample;
    sizes.push_back(sample.size());
  }
  if (joined.size() < kDictionaryBytes) return "";
  std::string dictionary(kDictionaryBytes, '\0');
  // zstd's default trainer tries several segment sizes on three quarters of the samples, then
  // trains on them all: four times the work. On code bodies (the Lib, /usr/include) every size
  // from 200 to 1,000 bytes made dictionaries that compressed other bodies as well as its
  // choice (537), or 1% better, in a fifth of the time.
  ZDICT_fastCover_params_t params{};
  params.k = 400;
  params.d = 8;
  params.f = 20;
  params.accel = 1;
  params.splitPoint = 1.0;
  params.zParams.compressionLevel = kPackedTextLevel;
  std::size_t n = ZDICT_trainFromBuffer_fastCover(dictionary.data(), dictionary.size(),
                                                  joined.data(), sizes.data(),
                                                  static_cast<unsigned>(sizes.size()), params);
  if (ZDICT_isError(n)) return "";
  dictionary.resize(n);
  return dictionary;
}

}  // namespace

TextDictionary::TextDictionary(std::int64_t id, std::string_view bytes) : id_(id) {
  compress_ = ZSTD_createCDict(bytes.data(), bytes.size(), kPackedTextLevel);
  decompress_ = ZSTD_createDDict(bytes.data(), bytes.size());
  if (!compress_ || !decompress_) {
    ZSTD_freeCDict(compress_);
    ZSTD_freeDDict(decompress_);
    throw RuntimeError("text dictionary " + std::to_string(id) + " cannot be loaded");
  }
}

TextDictionary::~TextDictionary() {
  ZSTD_freeCDict(compress_);
  ZSTD_freeDDict(decompress_);
}

void TextDictionaries::open() {
  std::int64_t newest = 0;
  {
    Statement st = db_.prepare("SELECT max(id) FROM text_dictionaries");
    if (st.step() && !st.is_null(0)) newest = st.column_int(0);
  }
  std::shared_ptr<const TextDictionary> dictionary = newest ? load(newest) : nullptr;
  MutexLock lock(mutex_);
  current_ = std::move(dictionary);
}

std::shared_ptr<const TextDictionary> TextDictionaries::current() const {
  MutexLock lock(mutex_);
  return current_;
}

const TextDictionary* TextDictionaries::find(std::int64_t id) {
  {
    MutexLock lock(mutex_);
    auto it = loaded_.find(id);
    if (it != loaded_.end()) return it->second.get();
  }
  return load(id).get();
}

std::shared_ptr<const TextDictionary> TextDictionaries::load(std::int64_t id) {
  Statement st = db_.prepare("SELECT dictionary FROM text_dictionaries WHERE id = ?1");
  st.bind(1, id);
  if (!st.step()) return nullptr;
  auto dictionary = std::make_shared<const TextDictionary>(id, st.column_blob(0));
  MutexLock lock(mutex_);
  return loaded_.emplace(id, std::move(dictionary)).first->second;
}

void TextDictionaries::train_when_due() {
  if (next_due_ < 0) next_due_ = due_after(dictionary_count(db_));
  std::int64_t largest = largest_chunk_id(db_);
  if (largest < next_due_) return;
  Transaction tx(db_);
  // Another connection may have trained the one due meanwhile.
  std::int64_t count = dictionary_count(db_);
  next_due_ = due_after(count);
  if (largest < next_due_) {
    open();
    return;
  }
  std::string dictionary = train(sample_payloads(db_, largest));
  if (dictionary.empty()) {
    // Nothing to learn from these bodies: try again once the store has doubled.
    next_due_ = std::max(next_due_, largest * 2);
    return;
  }
  db_.prepare("INSERT INTO text_dictionaries(dictionary) VALUES(?1)")
      .bind_blob(1, dictionary.data(), dictionary.size())
      .run();
  std::int64_t id = db_.last_insert_rowid();
  tx.commit();
  next_due_ = due_after(count + 1);
  auto made = std::make_shared<const TextDictionary>(id, dictionary);
  MutexLock lock(mutex_);
  loaded_[id] = made;
  current_ = std::move(made);
}

}  // namespace vantory::backend
