// Ingestion: a file's chunk records, supplied by the caller or cut from the file on disk, go to
// the memory builder.
#include <sys/stat.h>

#include <exception>

#include "coding/internal/ingest_steps.h"
#include "coding/internal/record_views.h"
#include "coding/internal/records.h"
#include "coding/internal/source_text.h"
#include "coding/internal/timing.h"
#include "coding/tarnel.h"
#include "common/error.h"
#include "common/error_answer.h"
#include "common/files.h"

namespace vantory {

namespace {

// The chunk records of the file at `file_path` (an array), or the error object that ends
// auto-chunking.
// Every failure after the existence check is reported with its own text, so that the caller
// learns why the file could not be cut (a directory, an unknown language, a chunker bug).
Json auto_chunk(ChunkingComponent& chunking, const std::string& file_path,
                const std::string& language, std::uint64_t max_bytes) {
  if (!path_exists(file_path)) {
    return error_answer("File not found for auto-chunking: " + file_path);
  }
  try {
    std::string text = read_source_text(file_path, max_bytes);
    std::unique_ptr<Chunker> chunker = chunking.get_chunker(language);
    if (!chunker) throw RuntimeError("no chunker for language " + language);
    return units_to_chunk_records(chunker->chunk_file(text, file_path));
  } catch (const std::exception& e) {
    return error_answer(std::string("Auto-chunking failed: ") + e.what());
  } catch (...) {
    return error_answer("Auto-chunking failed: unknown error");
  }
}

}  // namespace

CutFile cut_file(ChunkingComponent& chunking, const std::string& file_path,
                 std::uint64_t max_bytes) {
  // Detecting a language may read the file's first line: what will not be read as source (a
  // FIFO would block that read) is refused before.
  CutFile cut;
  if (path_exists(file_path)) {
    try {
      cut.bytes = check_regular_file(file_path, max_bytes);
    } catch (const OSError& e) {
      cut.chunks = error_answer(std::string("Auto-chunking failed: ") + e.what());
      return cut;
    }
  }
  cut.language = chunking.detect_language(file_path);
  cut.chunks = auto_chunk(chunking, file_path, cut.language, max_bytes);
  return cut;
}

Json Tarnel::_ingest_file(const std::string& agent_id, const std::string& file_path,
                          const Json& chunks) {
  records::expect_array(chunks, "chunks", true);
  // The language is needed by the builder even for caller-supplied chunks, so the chunking
  // component is bound on every call; a failure to bind it or to detect is the host's to see.
  std::shared_ptr<ChunkingComponent> chunking = provider().bind_chunking();
  if (chunks.is_null()) {
    CutFile cut = cut_file(*chunking, file_path, max_file_bytes_);
    if (cut.chunks.is_object()) return cut.chunks;
    return store_chunks(agent_id, file_path, cut.chunks, cut.language);
  }
  return store_chunks(agent_id, file_path, chunks, chunking->detect_language(file_path));
}

Json Tarnel::store_chunks(const std::string& agent_id, const std::string& file_path,
                          const Json& chunks, const std::string& language) {
  Json result = timed_call("indexing", [&] {
    return builder_->process_file_chunks(agent_id, file_path, chunks, language);
  });
  return records::expect_object(std::move(result), "process_file_chunks");
}

Json Tarnel::index_file(const std::string& agent_id, const std::string& file_path,
                        const Json& chunks) {
  return _ingest_file(agent_id, file_path, chunks);
}

Json Tarnel::reindex_file(const std::string& agent_id, const std::string& file_path,
                          const Json& chunks) {
  return _ingest_file(agent_id, file_path, chunks);
}

Json Tarnel::create_mem(const std::string& agent_id, const std::string& file_path,
                        const Json& chunks) {
  return index_file(agent_id, file_path, chunks);
}

Json Tarnel::update_mem(const std::string& agent_id, const std::string& file_path,
                        const Json& chunks) {
  return reindex_file(agent_id, file_path, chunks);
}

std::int64_t Tarnel::_estimate_file_tokens(const std::string& file_path) {
  struct stat st;
  if (::stat(file_path.c_str(), &st) != 0) return 0;
  // Four bytes per token, truncated toward zero as the double product is.
  return static_cast<std::int64_t>(static_cast<double>(st.st_size) * 0.25);
}

}  // namespace vantory
