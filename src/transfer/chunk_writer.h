// Received chunks go to disk on a thread of their own: the page cache copy was a large part of
// the core thread's work while a file came in, and the core must not wait on a disk. The
// file's SHA-256 is taken on the caller's thread as chunks are handed over, so the two run
// side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "transfer/chunk.h"

namespace dovan {

// The first write of a file that failed: where, and the system's error number.
struct ChunkWriteFailure {
    std::uint64_t offset = 0;
    int error = 0;
};

struct ChunkSinkResult {
    std::optional<ChunkWriteFailure> failure;
    bool flushed = false;         // fsync succeeded
    std::uint64_t on_disk = 0;    // the file's size after the writes
    FileDigest digest;            // of every byte handed over, in order (moot after a failure)
};

struct ChunkWriterShared;
struct ChunkSinkState;

// One file being received. Writes are queued in the order given and done in that order;
// after the first failure the rest of the file's writes are dropped. Dropping the sink
// waits for its queued writes and closes the file.
class ChunkSink {
public:
    ~ChunkSink();
    ChunkSink(const ChunkSink&) = delete;
    ChunkSink& operator=(const ChunkSink&) = delete;

    // Blocks only while the writer already holds its limit of queued bytes.
    void write(std::uint64_t offset, Bytes data, std::uint32_t crc);
    std::optional<ChunkWriteFailure> failure() const;
    // Waits for the queued writes, syncs and closes the file.
    ChunkSinkResult finish();

private:
    friend class ChunkWriter;
    ChunkSink(std::shared_ptr<ChunkWriterShared> shared, std::shared_ptr<ChunkSinkState> state);

    std::shared_ptr<ChunkWriterShared> shared_;
    std::shared_ptr<ChunkSinkState> state_;
};

class ChunkWriter {
public:
    static constexpr std::size_t kDefaultQueueBytes = std::size_t{4} << 20;

    explicit ChunkWriter(std::size_t max_queued_bytes = kDefaultQueueBytes);
    ~ChunkWriter();
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // The thread starts with the first sink, so an idle program has none.
    std::unique_ptr<ChunkSink> sink(FileHandle file);

private:
    std::shared_ptr<ChunkWriterShared> shared_;
};

}  // namespace dovan
