#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/debug_log.h"
#include "temp_dir.h"
#include "transfer/chunk.h"

namespace dovan {
namespace {

using testing_support::patterned;
using testing_support::TempDir;

// Scripted reads: a negative step fails the call with that errno, a positive one caps the
// bytes the call may return; once the script is used up, reads go straight to the file.
std::vector<int> g_script;
std::size_t g_step = 0;

ssize_t scripted_read(int fd, void* buf, size_t count) {
    if (g_step < g_script.size()) {
        const int s = g_script[g_step++];
        if (s < 0) {
            errno = -s;
            return -1;
        }
        count = std::min(count, static_cast<size_t>(s));
    }
    return ::read(fd, buf, count);
}

void set_script(std::vector<int> steps) {
    g_script = std::move(steps);
    g_step = 0;
}

FileHandle open_file(const std::filesystem::path& p) {
    return FileHandle(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
}

std::size_t open_fd_count() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator{}));
}

std::string sha256_hex(ByteView data) {
    unsigned char out[32];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
    return hex_lower(ByteView(out, len));
}

TEST(ChunkCount, RoundsUpAndSaturates) {
    struct Case {
        std::uint64_t size;
        std::uint32_t count;
    } cases[] = {
        {0, 0},
        {1, 1},
        {262144, 1},
        {262145, 2},
        {0xFFFFFFFFULL * 262144, 0xFFFFFFFF},
        {0xFFFFFFFFULL * 262144 + 1, 0xFFFFFFFF},
        {~0ULL, 0xFFFFFFFF},
    };
    for (const auto& c : cases) EXPECT_EQ(chunk_count(c.size), c.count) << c.size;
}

TEST(Crc32, MatchesIeeeCheckValueAndContinues) {
    EXPECT_EQ(crc32(as_bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32({}), 0u);
    EXPECT_EQ(crc32_update(crc32(as_bytes("1234")), as_bytes("56789")), 0xCBF43926u);
}

// The folding CRC takes different paths by length and alignment; zlib is the reference.
TEST(Crc32, AgreesWithZlibAtEveryLengthClassAndOffset) {
    const Bytes data = patterned(kMaxChunkSize + 64);
    const std::size_t lengths[] = {1, 7, 15, 16, 17, 31, 63, 64, 65, 127, 128, 255, 256, 257,
                                   1000, 4095, 4096, 65537, kMaxChunkSize};
    for (std::size_t offset = 0; offset < 9; ++offset) {
        for (std::size_t len : lengths) {
            const ByteView view(data.data() + offset, len);
            const auto expected = static_cast<std::uint32_t>(::crc32_z(0, view.data(), view.size()));
            EXPECT_EQ(crc32(view), expected) << "offset " << offset << " length " << len;
            const std::size_t cut = len / 3;
            EXPECT_EQ(crc32_update(crc32(view.subspan(0, cut)), view.subspan(cut)), expected)
                << "offset " << offset << " length " << len << " cut " << cut;
        }
    }
}

TEST(VerifyChunk, RefusesOversizeAndWrongCrc) {
    const Bytes ok = patterned(1000);
    const Bytes big(kMaxChunkSize + 1, 0);
    EXPECT_TRUE(verify_chunk(0, ok, crc32(ok)).ok());
    EXPECT_TRUE(verify_chunk(0, Bytes(kMaxChunkSize, 0), crc32(Bytes(kMaxChunkSize, 0))).ok());

    auto too_big = verify_chunk(3, big, crc32(big));
    ASSERT_FALSE(too_big.ok());
    EXPECT_EQ(too_big.error().text, "块大小超上限：262145 > 262144");

    auto bad = verify_chunk(5, as_bytes("123456789"), 0xABCD);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().text, "块 CRC32 校验失败：index=5 期望 0x0000ABCD 实际 0xCBF43926");
    EXPECT_EQ(std::string(kDigestMismatchText), "整文件 SHA-256 校验失败");
}

TEST(ChunkReader, CutsFilesIntoExactChunks) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> lengths;
    } cases[] = {
        {0, {}},
        {1, {1}},
        {262144, {262144}},
        {262145, {262144, 1}},
        {3 * 262144 + 5, {262144, 262144, 262144, 5}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes content = patterned(c.size);
        ChunkReader reader(open_file(dir.write("f.bin", content)));
        Bytes joined;
        std::vector<std::size_t> lengths;
        for (;;) {
            auto got = reader.next();
            ASSERT_TRUE(got.ok()) << got.error().text;
            if (!got->has_value()) break;
            const Chunk& chunk = **got;
            EXPECT_EQ(chunk.index, lengths.size());
            EXPECT_EQ(chunk.crc32, crc32(chunk.data));
            lengths.push_back(chunk.data.size());
            joined.insert(joined.end(), chunk.data.begin(), chunk.data.end());
        }
        EXPECT_EQ(lengths, c.lengths);
        EXPECT_EQ(joined, content);
        EXPECT_EQ(lengths.size(), chunk_count(c.size));
        EXPECT_TRUE(reader.at_end());
        // End stays end, even if the file grows afterwards.
        std::filesystem::resize_file(dir.path() / "f.bin", c.size + 10);
        auto again = reader.next();
        ASSERT_TRUE(again.ok());
        EXPECT_FALSE(again->has_value());
    }
}

TEST(ChunkReader, ReusedChunkKeepsOneBuffer) {
    TempDir dir;
    const Bytes content = patterned(2 * 262144 + 3);
    ChunkReader reader(open_file(dir.write("f.bin", content)));
    Chunk chunk;
    ASSERT_TRUE(*reader.next_into(chunk));
    const auto* storage = chunk.data.data();
    ASSERT_TRUE(*reader.next_into(chunk));
    ASSERT_TRUE(*reader.next_into(chunk));
    EXPECT_EQ(chunk.data.data(), storage);
    EXPECT_EQ(chunk.index, 2u);
    EXPECT_EQ(chunk.data, Bytes(content.end() - 3, content.end()));
    EXPECT_FALSE(*reader.next_into(chunk));
}

TEST(ChunkReader, RetriesInterruptedReadsAndFillsAfterShortOnes) {
    TempDir dir;
    const Bytes content = patterned(262145);
    set_script({-EINTR, 1000, -EINTR, 7, 1, -EINTR});
    ChunkReader reader(open_file(dir.write("f.bin", content)), &scripted_read);
    auto first = reader.next();
    ASSERT_TRUE(first.ok()) << first.error().text;
    ASSERT_TRUE(first->has_value());
    EXPECT_EQ((*first)->data, Bytes(content.begin(), content.begin() + 262144));
    auto second = reader.next();
    ASSERT_TRUE(second.ok()) << second.error().text;
    ASSERT_TRUE(second->has_value());
    EXPECT_EQ((*second)->index, 1u);
    EXPECT_EQ((*second)->data, Bytes{content.back()});
}

TEST(ChunkReader, ReportsOtherReadErrors) {
    TempDir dir;
    set_script({4096, -EIO});
    ChunkReader reader(open_file(dir.write("f.bin", patterned(10000))), &scripted_read);
    auto got = reader.next();
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().text, "IO 失败: Input/output error");
    EXPECT_EQ(got.error().text, io_error_text(EIO));
}

TEST(ChunkReader, LogsEverySixteenthChunk) {
    TempDir dir;
    const auto path = dir.path() / "sparse.bin";
    { std::ofstream touch(path); }
    std::filesystem::resize_file(path, 17 * 262144ULL + 9);  // chunks 0..17
    DebugCapture capture;
    ChunkReader reader(open_file(path));
    Chunk chunk;
    while (*reader.next_into(chunk)) {
    }
    const auto events = capture.events("chunk.read");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].module, "transfer");
    EXPECT_EQ(events[0].field("index"), "0");
    EXPECT_EQ(events[0].field("len"), "262144");
    EXPECT_EQ(events[1].field("index"), "16");
    EXPECT_EQ(events[1].field("len"), "262144");
}

TEST(FileHasher, FinishReportsAbcAndLeavesStateRunning) {
    DebugCapture capture;
    FileHasher hasher;
    hasher.update(as_bytes("ab"));
    const FileDigest early = hasher.finish();
    EXPECT_EQ(early.bytes, 2u);
    hasher.update(as_bytes("c"));
    const FileHasher copy = hasher;
    const FileDigest digest = hasher.finish();

    EXPECT_EQ(hex_lower(digest.sha256),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest.crc32, 0x352441C2u);
    EXPECT_EQ(digest.bytes, 3u);
    EXPECT_EQ(hex_lower(hasher.finish().sha256), hex_lower(digest.sha256));
    EXPECT_EQ(hex_lower(copy.finish().sha256), hex_lower(digest.sha256));

    const auto events = capture.events("hash.finish");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].module, "transfer");
    EXPECT_EQ(events[1].field("bytes"), "3");
    EXPECT_EQ(events[1].field("crc32"), "352441C2");
    EXPECT_EQ(events[1].field("sha8"), "ba7816bf");
}

TEST(FileHasher, FreshAndMovedFromHashersStartEmpty) {
    constexpr std::string_view kEmpty =
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const FileDigest fresh = FileHasher().finish();
    EXPECT_EQ(hex_lower(fresh.sha256), kEmpty);
    EXPECT_EQ(fresh.crc32, 0u);
    EXPECT_EQ(fresh.bytes, 0u);

    // A resumed send replaces its hasher; the old one must not carry anything over.
    FileHasher used;
    used.update(as_bytes("stale"));
    FileHasher taken = std::move(used);
    EXPECT_EQ(taken.bytes(), 5u);
    EXPECT_EQ(hex_lower(used.finish().sha256), kEmpty);
    used.update(as_bytes("abc"));
    const FileDigest d = used.finish();
    EXPECT_EQ(d.bytes, 3u);
    EXPECT_EQ(d.crc32, 0x352441C2u);
    EXPECT_EQ(hex_lower(d.sha256).substr(0, 8), "ba7816bf");
}

class OpenAtChunk : public ::testing::Test {
protected:
    static constexpr std::size_t kSize = 2 * 262144 + 100;  // three chunks, the last short
    TempDir dir;
    Bytes content = patterned(kSize);
    std::string path = dir.write("f.bin", content).string();
};

TEST_F(OpenAtChunk, ResumesAndRehashesThePrefix) {
    struct Case {
        std::uint32_t k;
        std::uint64_t pending;
        std::uint64_t hashed;  // prefix bytes fed on the way
        bool whole;            // prefix plus the remainder cover the whole file
    } cases[] = {
        {0, 0, 0, true},
        {1, 262144, 262144, true},
        {2, 2 * 262144, 2 * 262144, true},
        {3, kSize, kSize, true},  // k = chunk count: positioned at the end
        {2, 0, 0, false},         // nothing pending: skipped chunks stay unhashed
        {2, 262144, 262144, false},
    };
    const std::string whole = sha256_hex(content);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "k=" << c.k << " pending=" << c.pending);
        FileHasher hasher;
        std::uint64_t pending = c.pending;
        auto reader = open_at_chunk(path, c.k, hasher, pending);
        ASSERT_TRUE(reader.ok()) << reader.error().text;
        EXPECT_EQ(hasher.bytes(), c.hashed);
        EXPECT_EQ(pending, c.pending - c.hashed);
        EXPECT_EQ(reader->next_index(), c.k);

        // Continuing from chunk k completes exactly the file's remainder.
        Chunk chunk;
        std::size_t offset = std::min(std::size_t{c.k} * 262144, kSize);
        while (*reader->next_into(chunk)) {
            EXPECT_EQ(chunk.data, Bytes(content.begin() + static_cast<std::ptrdiff_t>(offset),
                                        content.begin() + static_cast<std::ptrdiff_t>(offset + chunk.data.size())));
            offset += chunk.data.size();
            hasher.update(chunk);
        }
        EXPECT_EQ(offset, kSize);
        const FileDigest digest = hasher.finish();
        EXPECT_EQ(hex_lower(digest.sha256) == whole, c.whole);
        EXPECT_EQ(digest.crc32 == crc32(content), c.whole);
    }
}

TEST_F(OpenAtChunk, FailuresCloseTheFile) {
    const std::string missing = (dir.path() / "missing.bin").string();
    struct Case {
        std::string path;
        std::uint32_t k;
        std::uint64_t pending;
        std::vector<int> script;
        std::string error;
        std::uint64_t hashed;
    } cases[] = {
        {missing, 0, 0, {}, "打开文件失败: No such file or directory", 0},
        {path, 4, 0, {}, "续传起点超过文件长度", 0},
        {path, 4, kSize, {}, "续传起点超过文件长度", kSize},
        {path, 2, 100, {}, "续传补算摘要失败: 协议违规: 补入前缀超出待补字节（262144 > 100）", 0},
        {path, 2, 262144 + 5,
         {},
         "续传补算摘要失败: 协议违规: 补入前缀超出待补字节（262144 > 5）",
         262144},
        {path, 2, 2 * 262144, {262144, -EIO}, "读取文件失败: IO 失败: Input/output error", 262144},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        set_script(c.script);
        const std::size_t fds_before = open_fd_count();
        FileHasher hasher;
        std::uint64_t pending = c.pending;
        auto reader = open_at_chunk(c.path, c.k, hasher, pending, &scripted_read);
        ASSERT_FALSE(reader.ok());
        EXPECT_EQ(reader.error().text, c.error);
        EXPECT_EQ(hasher.bytes(), c.hashed);
        EXPECT_EQ(pending, c.pending - c.hashed);
        EXPECT_EQ(open_fd_count(), fds_before);
    }
    set_script({});
}

TEST_F(OpenAtChunk, EmptyFileHasNoChunkToResumeFrom) {
    const std::string empty = dir.write("empty.bin", {}).string();
    FileHasher hasher;
    std::uint64_t pending = 0;
    auto at_zero = open_at_chunk(empty, 0, hasher, pending);
    ASSERT_TRUE(at_zero.ok());
    EXPECT_FALSE(*at_zero->next_into(*std::make_unique<Chunk>()));
    auto at_one = open_at_chunk(empty, 1, hasher, pending);
    ASSERT_FALSE(at_one.ok());
    EXPECT_EQ(at_one.error().text, "续传起点超过文件长度");
}

}  // namespace
}  // namespace dovan
