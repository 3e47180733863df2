// Cost of sealing and opening one frame payload, from a control-sized message to a
// 256 KiB file chunk, nonce derivation included.
#include <benchmark/benchmark.h>

#include "crypto/cipher.h"

namespace {

void BM_SealOpenFrame(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    dovan::Key32 key{};
    key.fill(0x42);
    dovan::SessionId sid{};
    sid.fill(0x07);
    const dovan::Bytes header = {'D', 'V', 1, 10, 0x10, 0, 0, 0, 1, 0, 0, 0, 0};
    const dovan::Bytes plain(n, 0xAB);
    dovan::Bytes frame;
    frame.reserve(n + 16);
    std::uint32_t seq = 1;
    for (auto _ : state) {
        const auto nonce = dovan::frame_nonce(key, 1, seq++, sid);
        frame.clear();
        dovan::seal_frame_payload_into(key, nonce, header, plain, frame);
        auto opened = dovan::open_frame_payload(key, nonce, header, frame);
        benchmark::DoNotOptimize(opened);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_SealOpenFrame)->Arg(64)->Arg(4096)->Arg(256 * 1024);

}  // namespace

BENCHMARK_MAIN();
