// Throughput of the TCP reader: 1 GiB of 1 MiB frames pushed through a loopback
// connection into the inbound queue while a consumer drains it.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "lan/tcp_channel.h"
#include "protocol/frame.h"

namespace dovan {
namespace {

constexpr int FRAMES = 1024;

Bytes chunk_frame() {
    FrameHeader h;
    h.type = FILE_CHUNK;
    h.flags = FLAG_ENCRYPTED;
    h.payload_len = FRAME_MAX_PAYLOAD;
    auto head = write_header(h);
    Bytes f(head.begin(), head.end());
    f.resize(h.frame_len(), 0x5A);
    return f;
}

void BM_TcpReaderThroughput(benchmark::State& state) {
    auto opened = open_listener(TcpChannelOptions::loopback(0));
    if (!opened) {
        state.SkipWithError(opened.error().text.c_str());
        return;
    }
    TcpChannel ch = std::move(opened).value();
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SocketAddress to = SocketAddress::ipv4(0x7F000001, ch.port());
    if (::connect(client.get(), to.raw(), to.raw_len()) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    while (!ch.take_accepted()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const Bytes frame = chunk_frame();
    std::size_t total = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < FRAMES; ++i) {
                std::size_t sent = 0;
                while (sent < frame.size()) {
                    ssize_t r = ::send(client.get(), frame.data() + sent, frame.size() - sent,
                                       MSG_NOSIGNAL);
                    if (r <= 0) return;
                    sent += static_cast<std::size_t>(r);
                }
            }
        });
        int got = 0;
        while (got < FRAMES) {
            bool any = false;
            while (auto f = ch.pop_frame()) {
                total += f->bytes.size();
                ++got;
                any = true;
            }
            if (any) {
                ch.wake_reader();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (auto c = ch.take_closed()) {
                state.SkipWithError(c->reason.c_str());
                break;
            }
        }
        producer.join();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
    client.reset();
    ch.stop_and_join();
}
BENCHMARK(BM_TcpReaderThroughput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dovan

BENCHMARK_MAIN();
