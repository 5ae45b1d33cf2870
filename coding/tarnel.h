// Tarnel: high-level API for coding context storage.
//
// Navigation tools for MCP: list_directory, search_codebase, get_token_savings.
// CRUD: index_file (create), reindex_file (update), remove_index (delete),
// list_indexed_files (list all). Memory-style aliases (create_mem, get_mem, update_mem,
// delete_mem, list_mems) give the same operations under a second vocabulary.
//
// A Tarnel owns one instance of each outside code-memory component (store, ambrel, builder,
// retriever, filesystem) and drives them; it keeps no code memory of its own. Every operation
// is scoped by an agent id and answers a JSON value. Expected failures are answered with error
// objects {"status": "error", "message": ...}; failures raised inside a component reach the
// caller unchanged (as exceptions), except in the chunking steps of index_file and
// delta_update. An operation documented to answer an object throws TypeError when a
// component answers anything but an object or null.
//
// Thread safety: none. A Tarnel serves one caller at a time; share it between threads only
// behind a lock of your own.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coding/component_provider.h"
#include "common/json.h"

namespace vantory {

class Tarnel {
 public:
  // Builds the components over `root_path` (handed unchanged to the store and the vector
  // component; not checked, created or normalised) through `provider`, in the order store,
  // ambrel, builder, retriever, filesystem. A null provider means default_component_provider().
  // A component constructor that throws makes this constructor throw; the components already
  // built are released.
  explicit Tarnel(std::string root_path = "./.vantory_coding",
                  std::shared_ptr<ComponentProvider> provider = nullptr);
  ~Tarnel();
  Tarnel(const Tarnel&) = delete;
  Tarnel& operator=(const Tarnel&) = delete;

  // --- Files read from disk ---

  // index_file, reindex_file and delta_update (and summarize_context through them) read only
  // regular files of at most max_file_bytes() bytes; any other path that exists is refused at
  // once with their usual error object, before anything opens it, so that a device, a FIFO or
  // a huge file cannot exhaust memory or stall the caller.
  static constexpr std::uint64_t kDefaultMaxFileBytes = 1u << 20;
  std::uint64_t max_file_bytes() const { return max_file_bytes_; }
  void set_max_file_bytes(std::uint64_t bytes) { max_file_bytes_ = bytes; }

  // --- Navigation and index CRUD ---

  // List indexed files through the VFS, organized by language.
  // {"status": "ok", "path": path or "/", "items": [...], "count": n}, `path` passed to the
  // directory view as given ("" is the root). TypeError when the view answers a value without
  // a length.
  Json list_directory(const std::string& agent_id, const std::string& path = "");

  // Remove a file's index (alias delete_mem). The store's answer, unchanged.
  bool remove_index(const std::string& agent_id, const std::string& file_path);

  // List all indexed files (alias list_mems). The store's answer, unchanged; `limit` and
  // `offset` are the store's to bound. TypeError when it is neither an object nor null.
  Json list_indexed_files(const std::string& agent_id, std::int64_t limit = 50,
                          std::int64_t offset = 0);

  // --- Ingestion ---

  // Index a file into code memory (alias create_mem); without chunks, falls back to local
  // parsing of the file. `chunks` is a JSON array of chunk records or null (TypeError
  // otherwise, before anything runs). Answers the builder's object (the builder call is timed
  // under "indexing"), or an error object when the file is missing or cannot be chunked (it is
  // not a regular file, or larger than max_file_bytes(), included).
  // Failures to bind the chunking component, to detect the language or to store reach the
  // caller; so does TypeError when the builder answers neither an object nor null.
  Json index_file(const std::string& agent_id, const std::string& file_path,
                  const Json& chunks = nullptr);

  // Re-index a file in code memory (alias update_mem); without chunks, falls back to local
  // parsing of the file.
  Json reindex_file(const std::string& agent_id, const std::string& file_path,
                    const Json& chunks = nullptr);

  // What index_files says about each file once its answer is final: its index
  // in `paths`, and either index_file's answer (`answer`, `error` null) or the
  // exception that index_file would have thrown (`error`).
  using FileIndexed =
      std::function<void(std::size_t index, const Json* answer, std::exception_ptr error)>;

  // Indexes each of `paths` as index_file without chunks does, with the same
  // answers, faster: the files are read, decoded and cut on `threads` worker
  // threads (0: one per core), and stored by the calling thread in the order
  // given, many files per transaction when the builder can batch
  // (BatchedWrites). At most a bounded number of cut files wait to be stored,
  // whatever the number of paths. `on_indexed` is called on the calling thread
  // for every path, in order for the stored ones, and only once a stored file
  // is durable (its batch committed): a process killed after that call finds
  // the file stored. Every stored file's builder call is timed under
  // "indexing". Throws only what binding the chunking component throws; every
  // other failure is reported through `on_indexed`.
  void index_files(const std::string& agent_id, const std::vector<std::string>& paths,
                   const FileIndexed& on_indexed, unsigned threads = 0);

  // Estimate tokens for a file on disk: the integer part of size in bytes x 0.25; 0 when the
  // file is missing or cannot be measured. Never throws.
  std::int64_t _estimate_file_tokens(const std::string& file_path);

  // Shared logic of index_file and reindex_file.
  Json _ingest_file(const std::string& agent_id, const std::string& file_path,
                    const Json& chunks = nullptr);

  // --- Search ---

  // Search the indexed codebase with hybrid semantic and keyword search (alias get_mem).
  // `file_paths` is a JSON array of strings or null (TypeError otherwise, before anything
  // runs). Answers the retriever's object (its call timed under "search"); with `trace_calls`,
  // adds "call_chain"; with `group_by` "semantic_purpose", adds "grouped_results". TypeError
  // when the retriever answers anything but an object (null passes when no option is asked).
  Json search_codebase(const std::string& agent_id, const std::string& query,
                       std::int64_t top_k = 5, const Json& file_paths = nullptr,
                       bool trace_calls = false,
                       const std::optional<std::string>& group_by = std::nullopt);

  // --- Reports and invalidation ---

  // Get the token savings report. The store's object, unchanged.
  Json get_token_savings(const std::string& agent_id);

  // Comprehensive cache statistics with per-file freshness and recommendations; the enhanced
  // replacement for get_token_savings. The store's object, unchanged.
  Json cache_stats(const std::string& agent_id);

  // Aggregate usage analytics: access counts, tokens, indexing stats. The store's object.
  Json usage_report(const std::string& agent_id);

  // Explicitly invalidate cache entries; scope 'file', 'stale' or 'all'. Scope "all" drops only
  // this agent's entries from the store's global index. Scope "file" without a file_path
  // answers an error object saying that it needs one.
  Json invalidate_cache(const std::string& agent_id,
                        const std::optional<std::string>& file_path = std::nullopt,
                        const std::string& scope = "file");

  // --- Snapshots ---

  // Create an immutable snapshot of all cached contexts; wraps CodingFileSystem.commit_snapshot.
  Json create_snapshot(const std::string& agent_id, const std::string& message = "Snapshot");

  // Compare two snapshots and return the diff; wraps CodingFileSystem.get_diff.
  Json compare_snapshots(const std::string& agent_id, const std::string& sha_a,
                         const std::string& sha_b);

  // --- Summaries ---

  // A file's context at configurable verbosity levels: brief (about 50 tokens), normal (code
  // flow), detailed (full chunks). Looks the file up under its normalised path and re-indexes
  // it from disk first when the store reports it missing or stale. Error objects when no
  // context can be found.
  Json summarize_context(const std::string& agent_id, const std::string& file_path,
                         const std::string& verbosity = "brief");

  // --- Analyses ---

  // Build the import/dependency graph for a list of files; shows what these files import and
  // what imports them; max 10 files per call. `file_paths` is a JSON array of strings (TypeError
  // otherwise, before any store access). Answers {"status": "ok", "results": {path as passed:
  // {"status", "file", "file_path", "imports", "imported_by", "calls_to", "called_by",
  // "external_packages", "unused_functions", "graph_summary"[, "transitive_imports"]}}}; more
  // than ten paths answer an error object. With `depth` > 1 (any value above 1 alike), adds one
  // level of the imported modules' own imports. Reads the store only: the file contexts once,
  // get_file_imports and find_importers once per path, get_file_imports once per imported module
  // that is an indexed file. A function is unused when nothing in its file calls it and no
  // other file calls a name ending in its own. Chunks, call and import records that are not
  // objects, and a "calls" of null, hold nothing and are passed over. Store failures and other
  // records of the wrong shape (KeyError, TypeError naming the member) reach the caller.
  Json dependency_graph(const std::string& agent_id, const Json& file_paths,
                        std::int64_t depth = 1);

  // Check for circular dependencies in the indexed codebase. Answers {"has_circular_deps",
  // "cycles_found", "graph_type" ("DCG" or "DAG"), "module_count"}: every cycle a depth-first
  // search over the file stems meets, in the order met, each as its module names with the first
  // repeated at the end. Reads the file contexts once and get_file_imports once per context.
  // Store failures, an import record without "module" (KeyError) or of the wrong type
  // (TypeError) reach the caller. Uses no recursion: any import chain is fine.
  Json circular_dependency_check(const std::string& agent_id);

  // Code usage within a file: defined versus used functions, unused parameters. Answers
  // {"functions_defined", "functions_used_externally", "functions_unused",
  // "parameters_unused"}, or the error object "File not indexed: <file_path>". A parameter
  // counts as used when its lower-cased name (without a leading * or **) occurs as a whole word
  // in the function's text after its parameter list. Reads the file contexts once; chunks and
  // call records that are not objects are passed over, other records of the wrong shape reach
  // the caller as KeyError or TypeError naming the member.
  Json usage_analysis(const std::string& agent_id, const std::string& file_path);

  // Incrementally re-index a file, only processing changed chunks; compares old vs new chunks
  // by hash_id, skips unchanged, removes stale. Answers {"status": "delta_applied",
  // "file_path", "chunks_added", "chunks_removed", "chunks_unchanged", "total_chunks"}, or an
  // error object: "File not found: <path>" when nothing exists at the normalised path,
  // "Chunking failed: <reason>" when reading or chunking fails (nothing is changed then), the
  // file not being a regular one of at most max_file_bytes() included.
  // Writes: deletes the vectors of removed chunks, then hands every new chunk (with "summary"
  // and "hash_id" filled in) to the builder. A chunking component that cannot be bound, and
  // failures of the store, the vectors or the builder, reach the caller.
  Json delta_update(const std::string& agent_id, const std::string& file_path);

  // Updates each of `paths` as delta_update does, with the same answers and the same stored
  // result, faster: the files are read and cut on worker threads and stored in order, many a
  // transaction, as index_files stores them. The vectors of a file's removed chunks are
  // deleted once its batch is committed (a failure to delete is that file's). `on_updated` is
  // called as index_files calls `on_indexed`, with delta_update's answers or the exceptions
  // it would have thrown. Throws only what binding the chunking component throws.
  void delta_update_files(const std::string& agent_id, const std::vector<std::string>& paths,
                          const FileIndexed& on_updated, unsigned threads = 0);

  // --- Timing ---

  // Performance timing data for key operations, scoped to the life of the instance.
  // {"status": "ok", "profile": {op: {"avg_ms": ..., "count": ...}, ...}}; `agent_id` is
  // accepted and not used.
  Json performance_profile(const std::string& agent_id);

  // Record a performance measurement under `op`; names other than the four tracked ones are
  // ignored.
  void _record_perf(const std::string& op, double elapsed_ms);

  // Operation name -> {"total_ms", "count", "last_ms"}: "indexing", "retrieval", "search",
  // "embedding", in this order; never grows or shrinks. Changed only by _record_perf.
  const Json& _perf_tracker() const { return perf_tracker_; }

  // Replaces the clock read just before and just after the one timed component call of an
  // operation (seconds on a monotonic clock; steady_clock by default), so that a test sees
  // exactly what is timed.
  void set_clock_for_testing(std::function<double()> clock) { clock_ = std::move(clock); }

  // --- Components ---

  // The components the constructor built, in its order; each lives as long as this Tarnel.
  CodingContextStore& store() const { return *store_; }
  CodingAmbrel& ambrel() const { return *ambrel_; }
  CodingMemoryBuilder& builder() const { return *builder_; }
  CodingHybridRetriever& retriever() const { return *retriever_; }
  CodingFileSystem& filesystem() const { return *filesystem_; }

  // --- Backward-compatible aliases ---

  Json create_mem(const std::string& agent_id, const std::string& file_path,
                  const Json& chunks = nullptr);
  Json get_mem(const std::string& agent_id, const std::string& query, std::int64_t top_k = 5,
               const Json& file_paths = nullptr);
  Json update_mem(const std::string& agent_id, const std::string& file_path,
                  const Json& chunks = nullptr);
  bool delete_mem(const std::string& agent_id, const std::string& file_path);
  Json list_mems(const std::string& agent_id, std::int64_t limit = 50, std::int64_t offset = 0);

 private:
  // The builder's half of _ingest_file: stores `chunks` of `file_path`, timed under
  // "indexing".
  Json store_chunks(const std::string& agent_id, const std::string& file_path, const Json& chunks,
                    const std::string& language);

  // Runs `call`, reading the clock just before and just after it, and records the duration in
  // milliseconds under `op`; a call that throws records nothing. Defined in
  // coding/internal/timing.h.
  template <typename Call>
  auto timed_call(const char* op, Call&& call);

  // The provider the components came from (binds the chunking component at call time).
  ComponentProvider& provider() { return *provider_; }

  // Kept first so that it outlives the components it made (it may own their code).
  std::shared_ptr<ComponentProvider> provider_;
  std::unique_ptr<CodingContextStore> store_;
  std::unique_ptr<CodingAmbrel> ambrel_;
  std::unique_ptr<CodingMemoryBuilder> builder_;
  std::unique_ptr<CodingHybridRetriever> retriever_;
  std::unique_ptr<CodingFileSystem> filesystem_;
  Json perf_tracker_;
  std::function<double()> clock_;
  std::uint64_t max_file_bytes_ = kDefaultMaxFileBytes;
};

}  // namespace vantory
