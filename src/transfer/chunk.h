// Files travel in 256 KiB chunks, each with its CRC-32; the whole file is checked with
// SHA-256. Both directions share these pieces: sending reads, receiving verifies.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/text.h"

namespace dovan {

inline constexpr std::uint32_t kChunkSize = 262144;
inline constexpr std::uint32_t kMaxChunkSize = 262144;

// 0 for an empty file; 0xFFFFFFFF when the count does not fit 32 bits.
std::uint32_t chunk_count(std::uint64_t size);

// IEEE 802.3 CRC-32 (zlib's); crc32_update continues a running value.
std::uint32_t crc32(ByteView data);
std::uint32_t crc32_update(std::uint32_t crc, ByteView data);

// Display texts of transfer failures.
std::string io_error_text(int err);  // "IO 失败: …" with the system's error text
std::string crc_mismatch_text(std::uint32_t index, std::uint32_t expected, std::uint32_t actual);
std::string chunk_too_large_text(std::uint64_t size);
inline constexpr std::string_view kDigestMismatchText = "整文件 SHA-256 校验失败";

// A received chunk must fit the largest chunk and carry the CRC of its data.
Status verify_chunk(std::uint32_t index, ByteView data, std::uint32_t crc);

// Owns one POSIX file descriptor; closes it when dropped.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

struct Chunk {
    std::uint32_t index = 0;
    Bytes data;
    std::uint32_t crc32 = 0;
};

// Reads a file front to back in chunks. The read function is ::read unless a test needs
// to stage interrupted, short or failing reads.
class ChunkReader {
public:
    using ReadFn = ssize_t (*)(int fd, void* buf, size_t count);

    explicit ChunkReader(FileHandle file, ReadFn read_fn = nullptr);

    // The next chunk in a freshly allocated 256 KiB buffer, nothing at the end, or
    // "IO 失败: …".
    Result<std::optional<Chunk>> next();
    // Same, reusing the storage of `out` so a loop over a file allocates once. False at end.
    Result<bool> next_into(Chunk& out);

    std::uint32_t next_index() const { return index_; }
    bool at_end() const { return ended_; }

private:
    FileHandle file_;
    ReadFn read_;
    std::uint32_t index_ = 0;
    bool ended_ = false;
};

struct FileDigest {
    std::array<std::uint8_t, 32> sha256{};
    std::uint32_t crc32 = 0;
    std::uint64_t bytes = 0;
};

// SHA-256, CRC-32 and byte count of one file, fed in order. finish() works on a copy, so
// more data may follow and the hasher can be finished again.
class FileHasher {
public:
    FileHasher();
    FileHasher(const FileHasher& other);
    FileHasher& operator=(const FileHasher& other);
    // A moved-from hasher is as good as a fresh one.
    FileHasher(FileHasher&& other) noexcept;
    FileHasher& operator=(FileHasher&& other) noexcept;
    ~FileHasher();

    void update(ByteView data);
    // For data whose CRC-32 is already known (a chunk just read or verified): the file CRC
    // is combined from it instead of a second pass over the bytes.
    void update(ByteView data, std::uint32_t data_crc);
    void update(const Chunk& chunk) { update(chunk.data, chunk.crc32); }
    FileDigest finish() const;
    std::uint64_t bytes() const { return bytes_; }

private:
    struct CtxFree {
        void operator()(void* ctx) const;
    };
    std::unique_ptr<void, CtxFree> ctx_;
    std::uint32_t crc_ = 0;
    std::uint64_t bytes_ = 0;
};

// Reopens a file so that its next chunk is chunk k, feeding the first `pending_prefix`
// bytes into `hasher` on the way (a resumed send must still hash the whole file).
// On failure the hasher and pending_prefix keep whatever was fed before it.
Result<ChunkReader> open_at_chunk(const std::string& path, std::uint32_t k, FileHasher& hasher,
                                  std::uint64_t& pending_prefix,
                                  ChunkReader::ReadFn read_fn = nullptr);

}  // namespace dovan
