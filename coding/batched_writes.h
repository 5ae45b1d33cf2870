// BatchedWrites: an optional capability of a CodingMemoryBuilder: the files it
// stores between begin_batch and commit_batch are written in one transaction,
// which costs far less than one transaction per file when a whole tree is
// indexed. Tarnel asks a builder for it (a builder that lacks it stores every
// file on its own) and uses it in index_files.
//
// Inside a batch, process_file_chunks answers as usual; a file whose call
// throws leaves the batch's other files as they were. None of the batch's files
// is durable, or visible to other connections, before commit_batch returns.
#pragma once

namespace vantory {

class BatchedWrites {
 public:
  virtual ~BatchedWrites() = default;
  // Starts a batch; a batch already open is committed first. Throws when the
  // store cannot be written (its lock is held too long by another writer, for
  // one).
  virtual void begin_batch() = 0;
  // Makes the batch's files durable. Throws when that fails: then none of them
  // is stored.
  virtual void commit_batch() = 0;
  // Drops the batch's files. Never throws.
  virtual void abort_batch() noexcept = 0;
  // True when the open batch holds as much as it should before it is committed (a builder
  // may keep what it wrote until the commit).
  virtual bool batch_full() const { return false; }
};

}  // namespace vantory
