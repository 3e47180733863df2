// Reading and hashing a 1 GiB file through ChunkReader + FileHasher, against the plain
// loop it should cost no more than: read into one buffer, SHA-256 and CRC-32 over it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "transfer/chunk.h"

namespace {

constexpr std::size_t kFileBytes = std::size_t{1} << 30;
std::string g_path;

bool make_file() {
    g_path = "/tmp/dovan_bench_chunk_hash_" + std::to_string(::getpid()) + ".bin";
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<unsigned char> block(std::size_t{1} << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
    bool ok = true;
    for (std::size_t written = 0; ok && written < kFileBytes; written += block.size()) {
        block[0] = static_cast<unsigned char>(written >> 20);  // no two blocks alike
        ok = ::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
    }
    return ::close(fd) == 0 && ok;
}

void BM_ChunkReaderFileHasher(benchmark::State& state) {
    dovan::Chunk chunk;
    for (auto _ : state) {
        dovan::ChunkReader reader(dovan::FileHandle(::open(g_path.c_str(), O_RDONLY | O_CLOEXEC)));
        dovan::FileHasher hasher;
        for (;;) {
            auto got = reader.next_into(chunk);
            if (!got) {
                state.SkipWithError(got.error().text.c_str());
                return;
            }
            if (!*got) break;
            hasher.update(chunk);
        }
        auto digest = hasher.finish();
        if (digest.bytes != kFileBytes) state.SkipWithError("short read");
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void BM_PlainReadSha256Crc32(benchmark::State& state) {
    std::vector<unsigned char> buf(dovan::kChunkSize);
    for (auto _ : state) {
        const int fd = ::open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        uLong crc = 0;
        std::size_t total = 0;
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
            EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(n));
            crc = crc32_z(crc, buf.data(), static_cast<std::size_t>(n));
            total += static_cast<std::size_t>(n);
        }
        unsigned char out[32];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx, out, &len);
        EVP_MD_CTX_free(ctx);
        ::close(fd);
        if (total != kFileBytes) state.SkipWithError("short read");
        benchmark::DoNotOptimize(out);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

BENCHMARK(BM_PlainReadSha256Crc32)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ChunkReaderFileHasher)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!make_file()) {
        std::perror("creating the 1 GiB bench file");
        ::unlink(g_path.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(g_path.c_str());
    return 0;
}
