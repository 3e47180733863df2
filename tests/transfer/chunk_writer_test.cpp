#include "transfer/chunk_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <vector>

#include "temp_dir.h"

namespace dovan {
namespace {

using testing_support::patterned;
using testing_support::TempDir;

FileHandle open_new(const std::filesystem::path& p, int flags = O_WRONLY) {
    return FileHandle(::open(p.c_str(), flags | O_CREAT | O_CLOEXEC, 0600));
}

Bytes read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

FileDigest digest_of(ByteView data) {
    FileHasher h;
    h.update(data);
    return h.finish();
}

Bytes piece(const Bytes& all, std::size_t at, std::size_t len) {
    return Bytes(all.begin() + static_cast<std::ptrdiff_t>(at), all.begin() + static_cast<std::ptrdiff_t>(at + len));
}

// Two files interleaved through a queue far smaller than either: the limit holds the caller
// back instead of dropping or reordering anything.
TEST(ChunkWriter, InterleavedFilesArriveBitExactWithTheirDigests) {
    TempDir dir;
    const std::size_t chunk = 100000;
    const Bytes a = patterned(chunk * 23 + 17);
    Bytes b = patterned(chunk * 19 + 5);
    for (auto& x : b) x ^= 0x5A;
    ChunkWriter writer(chunk * 2);
    auto sa = writer.sink(open_new(dir.path() / "a"));
    auto sb = writer.sink(open_new(dir.path() / "b"));
    for (std::size_t at = 0; at < std::max(a.size(), b.size()); at += chunk) {
        if (at < a.size()) {
            const Bytes p = piece(a, at, std::min(chunk, a.size() - at));
            sa->write(at, p, crc32(p));
        }
        if (at < b.size()) {
            const Bytes p = piece(b, at, std::min(chunk, b.size() - at));
            sb->write(at, p, crc32(p));
        }
    }
    const Bytes& b_const = b;
    for (auto [sink, data, name] : {std::tuple{sa.get(), &a, "a"}, std::tuple{sb.get(), &b_const, "b"}}) {
        const ChunkSinkResult r = sink->finish();
        EXPECT_FALSE(r.failure) << name;
        EXPECT_TRUE(r.flushed) << name;
        EXPECT_EQ(r.on_disk, data->size()) << name;
        EXPECT_EQ(r.digest.sha256, digest_of(*data).sha256) << name;
        EXPECT_EQ(r.digest.crc32, crc32(*data)) << name;
        EXPECT_EQ(read_all(dir.path() / name), *data) << name;
    }
}

// A sink dropped right after its writes (a failed or dropped receive) still leaves every
// byte it was given; its file is closed, and the writer goes on with the next file.
TEST(ChunkWriter, ADroppedSinkKeepsWhatItWasGivenAndAFailedOneReportsWhere) {
    TempDir dir;
    const Bytes data = patterned(300000);
    ChunkWriter writer(64 * 1024);
    {
        auto s = writer.sink(open_new(dir.path() / "dropped"));
        for (std::size_t at = 0; at < data.size(); at += 30000) s->write(at, piece(data, at, 30000), 0);
    }
    EXPECT_EQ(read_all(dir.path() / "dropped"), data);

    // Read-only: the first write fails, the rest are not tried.
    std::ofstream(dir.path() / "readonly") << "x";
    auto bad = writer.sink(FileHandle(::open((dir.path() / "readonly").c_str(), O_RDONLY | O_CLOEXEC)));
    bad->write(0, piece(data, 0, 1000), 0);
    bad->write(1000, piece(data, 1000, 1000), 0);
    const ChunkSinkResult failed = bad->finish();
    ASSERT_TRUE(failed.failure);
    EXPECT_EQ(failed.failure->offset, 0u);
    EXPECT_EQ(failed.failure->error, EBADF);
    EXPECT_EQ(bad->failure()->offset, 0u);
    EXPECT_EQ(read_all(dir.path() / "readonly"), Bytes{'x'});

    auto next = writer.sink(open_new(dir.path() / "next"));
    next->write(0, piece(data, 0, 5000), 0);
    EXPECT_FALSE(next->finish().failure);
    EXPECT_EQ(read_all(dir.path() / "next"), piece(data, 0, 5000));
}

}  // namespace
}  // namespace dovan
