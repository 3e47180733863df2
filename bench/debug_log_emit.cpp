// Cost of emitting a debug event at a call site, with logging off and on.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/debug_log.h"

namespace {

void emit_one(int i) {
    if (dovan::debug_log_enabled())
        dovan::emit_event(dovan::LogLevel::Info, "file", "file.chunk",
                          {{"file_id", "0x18c4f2a"}, {"index", std::to_string(i)}, {"len", "262144"}});
}

void BM_EmitDisabled(benchmark::State& state) {
    dovan::disable_debug_log();
    int i = 0;
    for (auto _ : state) emit_one(i++);
}
BENCHMARK(BM_EmitDisabled);

// Records beyond what the writer keeps up with are dropped; this measures the caller's
// side only, which must stay free of disk waits.
void BM_EmitEnabled(benchmark::State& state) {
    char tmpl[] = "/tmp/dovan-bench-log-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    if (!dovan::enable_debug_log(tmpl).ok()) {
        state.SkipWithError("enable failed");
        return;
    }
    int i = 0;
    for (auto _ : state) emit_one(i++);
    dovan::disable_debug_log();
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}
BENCHMARK(BM_EmitEnabled);

}  // namespace

BENCHMARK_MAIN();
