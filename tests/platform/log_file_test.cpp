#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_log.h"

namespace dovan {
namespace {
namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> read_lines(const fs::path& p) {
    std::vector<std::string> out;
    std::ifstream in(p, std::ios::binary);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void write_file(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

// The number after `key=` in a plain line, or after "key":" in a JSON line.
long field_number(const std::string& line, const std::string& key) {
    auto pos = line.find(key + "=");
    std::size_t skip = key.size() + 1;
    if (pos == std::string::npos) {
        pos = line.find("\"" + key + "\":\"");
        skip = key.size() + 4;
    }
    if (pos == std::string::npos) return -1;
    return std::stol(line.substr(pos + skip));
}

class DebugLogFiles : public testing::Test {
protected:
    void SetUp() override {
        disable_debug_log();
        char tmpl[] = "/tmp/dovan-debuglog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        logs_ = root_ / "Dovan" / "Logs";
    }
    void TearDown() override {
        disable_debug_log();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void emit_seq(int n, const std::string& tag = "t") {
        for (int i = 0; i < n; ++i)
            emit_event(LogLevel::Info, "app", "test.seq", {{"tag", tag}, {"seq", std::to_string(i)}});
    }

    fs::path root_;
    fs::path logs_;
};

TEST_F(DebugLogFiles, RecordsFromSeveralThreadsKeepTheirOrderInBothFiles) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    EXPECT_TRUE(debug_log_enabled());
    constexpr int kThreads = 4, kEach = 800;  // fewer than the queue holds: nothing dropped
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                emit_event(LogLevel::Warn, "session", "test.order",
                           {{"thread", std::to_string(t)}, {"seq", std::to_string(i)}});
        });
    for (auto& th : threads) th.join();
    disable_debug_log();
    EXPECT_FALSE(debug_log_enabled());

    const auto json = read_lines(logs_ / "dovan-debug.ndjson");
    const auto plain = read_lines(logs_ / "dovan-debug.log");
    ASSERT_EQ(json.size(), std::size_t{kThreads * kEach});
    ASSERT_EQ(plain.size(), json.size());
    std::vector<long> next(kThreads, 0);
    for (std::size_t i = 0; i < json.size(); ++i) {
        const long t = field_number(json[i], "thread");
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(field_number(json[i], "seq"), next[t]++) << json[i];
        // Line i of both files is the same record.
        EXPECT_EQ(field_number(plain[i], "thread"), t);
        EXPECT_EQ(field_number(plain[i], "seq"), field_number(json[i], "seq"));
        EXPECT_NE(plain[i].find("] WARN session test.order thread="), std::string::npos);
    }
}

TEST_F(DebugLogFiles, DisableWritesEverythingQueuedAndReenableAppends) {
    write_file((fs::create_directories(logs_), logs_ / "dovan-debug.log"), "older line\n");
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(4000);
    disable_debug_log();
    emit_seq(5, "after-off");  // logging is off: goes nowhere

    ASSERT_TRUE(enable_debug_log(logs_).ok());
    // Already on: a second enable changes nothing, not even the folder.
    ASSERT_TRUE(enable_debug_log(root_ / "elsewhere").ok());
    EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
    emit_event(LogLevel::Error, "app", "test.again");
    ASSERT_TRUE(flush_debug_log(std::chrono::seconds(5)));

    const auto plain = read_lines(logs_ / "dovan-debug.log");
    ASSERT_EQ(plain.size(), 4002u);
    EXPECT_EQ(plain.front(), "older line");
    EXPECT_EQ(field_number(plain[4000], "seq"), 3999);
    EXPECT_NE(plain.back().find("] ERROR app test.again"), std::string::npos);
    EXPECT_EQ(read_lines(logs_ / "dovan-debug.ndjson").size(), 4001u);
}

TEST_F(DebugLogFiles, RingKeepsTheNewestLinesWithinItsByteBudget) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(300);
    const auto ring = debug_ring_snapshot();
    disable_debug_log();
    const auto plain = read_lines(logs_ / "dovan-debug.log");
    ASSERT_EQ(plain.size(), 300u);

    // The ring is the longest suffix of the log whose lines (+1 each) fit in 4096 bytes.
    std::size_t total = 0, keep = 0;
    while (keep < plain.size() && total + plain[plain.size() - 1 - keep].size() + 1 <= kDebugRingBytes)
        total += plain[plain.size() - 1 - keep++].size() + 1;
    ASSERT_GT(keep, 1u);
    ASSERT_LT(keep, plain.size());
    EXPECT_EQ(ring, std::vector<std::string>(plain.end() - static_cast<long>(keep), plain.end()));
}

TEST_F(DebugLogFiles, RingCutsOneLongLineToItsLastBytesOnACharacterBoundary) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(3);
    emit_event(LogLevel::Info, "app", "big", {{"v", std::string(10000, 'x') + "END"}});
    auto ring = debug_ring_snapshot();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0], std::string(4093, 'x') + "END");

    // Three-byte characters: 4096 is not a multiple of 3, so the cut moves forward.
    emit_event(LogLevel::Info, "app", "big", {{"v", "验" + std::string(3, 'a') + [] {
                                                    std::string s;
                                                    for (int i = 0; i < 4000; ++i) s += "证";
                                                    return s;
                                                }()}});
    ring = debug_ring_snapshot();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_LE(ring[0].size(), kDebugRingBytes);
    EXPECT_GT(ring[0].size(), kDebugRingBytes - 3);
    EXPECT_EQ(ring[0].substr(0, 3), "证");
    EXPECT_EQ(ring[0].size() % 3, 0u);

    // A following short line pushes the long one out entirely.
    emit_event(LogLevel::Info, "app", "small");
    ring = debug_ring_snapshot();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_NE(ring[0].find("INFO app small"), std::string::npos);
}

TEST_F(DebugLogFiles, FirstRecordPastFiftyMebibytesRotatesBothFiles) {
    fs::create_directories(logs_);
    {
        // Sparse: the real threshold without writing 50 MiB.
        std::ofstream(logs_ / "dovan-debug.ndjson");
        fs::resize_file(logs_ / "dovan-debug.ndjson", kDebugLogRotateBytes);
    }
    write_file(logs_ / "dovan-debug.1.ndjson", "gen1\n");
    write_file(logs_ / "dovan-debug.2.ndjson", "gen2\n");
    write_file(logs_ / "dovan-debug.log", "plain0\n");
    write_file(logs_ / "dovan-debug.1.log", "plain1\n");

    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_event(LogLevel::Info, "app", "test.rotate", {{"n", "1"}});
    emit_event(LogLevel::Info, "app", "test.rotate", {{"n", "2"}});
    disable_debug_log();

    EXPECT_EQ(read_file(logs_ / "dovan-debug.2.ndjson"), "gen1\n");
    EXPECT_EQ(read_file(logs_ / "dovan-debug.2.log"), "plain1\n");
    EXPECT_EQ(read_file(logs_ / "dovan-debug.1.log").substr(0, 7), "plain0\n");
    EXPECT_EQ(read_lines(logs_ / "dovan-debug.1.log").size(), 2u);

    // The record that crossed the limit closes the old generation.
    const auto old_size = fs::file_size(logs_ / "dovan-debug.1.ndjson");
    EXPECT_GT(old_size, kDebugLogRotateBytes);
    std::ifstream old(logs_ / "dovan-debug.1.ndjson", std::ios::binary);
    old.seekg(static_cast<std::streamoff>(kDebugLogRotateBytes));
    std::string tail;
    std::getline(old, tail);
    EXPECT_EQ(field_number(tail, "n"), 1);

    const auto fresh = read_lines(logs_ / "dovan-debug.ndjson");
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(field_number(fresh[0], "n"), 2);
    ASSERT_EQ(read_lines(logs_ / "dovan-debug.log").size(), 1u);
}

TEST_F(DebugLogFiles, RotationKeepsTwoOlderGenerationsInStep) {
    constexpr std::uint64_t kLimit = 2000;
    ASSERT_TRUE(enable_debug_log(logs_, kLimit).ok());
    emit_seq(200);
    disable_debug_log();

    std::vector<long> json_seqs, plain_seqs;
    for (const char* gen : {".2", ".1", ""}) {
        const auto json_path = logs_ / (std::string("dovan-debug") + gen + ".ndjson");
        const auto json = read_lines(json_path);
        const auto plain = read_lines(logs_ / (std::string("dovan-debug") + gen + ".log"));
        ASSERT_EQ(json.size(), plain.size()) << gen;  // rotated together
        for (std::size_t i = 0; i < json.size(); ++i) {
            json_seqs.push_back(field_number(json[i], "seq"));
            plain_seqs.push_back(field_number(plain[i], "seq"));
        }
        if (*gen) {
            const auto size = fs::file_size(json_path);
            EXPECT_GE(size, kLimit);
            EXPECT_LT(size, kLimit + json.back().size() + 1);
        } else {
            EXPECT_LT(fs::file_size(json_path), kLimit);
        }
    }
    EXPECT_FALSE(fs::exists(logs_ / "dovan-debug.3.ndjson"));
    EXPECT_EQ(json_seqs, plain_seqs);
    ASSERT_FALSE(json_seqs.empty());
    EXPECT_EQ(json_seqs.back(), 199);
    for (std::size_t i = 1; i < json_seqs.size(); ++i) EXPECT_EQ(json_seqs[i], json_seqs[i - 1] + 1);
    EXPECT_GT(json_seqs.front(), 0);  // the oldest generation was deleted
}

TEST_F(DebugLogFiles, EnableFailuresLeaveLoggingOff) {
    write_file(root_ / "plain-file", "x");
    auto r = enable_debug_log(root_ / "plain-file" / "Logs");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text.rfind("创建日志目录失败: ", 0), 0u) << r.error().text;
    EXPECT_FALSE(debug_log_enabled());

    fs::create_directories(logs_ / "dovan-debug.log");  // a folder where the file belongs
    r = enable_debug_log(logs_);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text.rfind("打开日志文件失败: ", 0), 0u) << r.error().text;
    EXPECT_FALSE(debug_log_enabled());
}

TEST_F(DebugLogFiles, ExportAfterDisableCopiesBothFilesAndTheRing) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(10);
    disable_debug_log();
    const auto ring = debug_ring_snapshot();
    ASSERT_EQ(ring.size(), 10u);

    const auto dest = root_ / "export" / "nested";
    auto r = export_debug_log(dest);
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(*r, dest);

    std::string ts;
    for (const auto& e : fs::directory_iterator(dest)) {
        const auto name = e.path().filename().string();
        if (name.rfind("dovan-debug-ring-", 0) == 0) ts = name.substr(17, name.size() - 17 - 4);
    }
    ASSERT_FALSE(ts.empty());
    EXPECT_EQ(read_file(dest / ("dovan-debug-export-" + ts + ".ndjson")),
              read_file(logs_ / "dovan-debug.ndjson"));
    EXPECT_EQ(read_file(dest / ("dovan-debug-export-" + ts + ".log")),
              read_file(logs_ / "dovan-debug.log"));
    // Lines joined by line feeds, none after the last.
    std::string joined;
    for (const auto& l : ring) joined += (joined.empty() ? "" : "\n") + l;
    EXPECT_EQ(read_file(dest / ("dovan-debug-ring-" + ts + ".log")), joined);
    EXPECT_EQ(std::distance(fs::directory_iterator(dest), fs::directory_iterator{}), 3);
}

TEST_F(DebugLogFiles, ExportWhileOnSeesRecordsStillInTheBuffers) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(3);
    auto r = export_debug_log(root_ / "out");
    ASSERT_TRUE(r.ok()) << r.error().text;
    for (const auto& e : fs::directory_iterator(root_ / "out"))
        if (e.path().extension() == ".ndjson") {
            EXPECT_EQ(read_lines(e.path()).size(), 3u);
        }
}

TEST_F(DebugLogFiles, ExportOutcomes) {
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    disable_debug_log();
    fs::remove(logs_ / "dovan-debug.ndjson");
    fs::remove(logs_ / "dovan-debug.log");
    // Nothing on disk and an empty ring.
    auto r = export_debug_log(root_ / "none");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text, "暂无可导出的日志文件");

    // Only the ring has content.
    ASSERT_TRUE(enable_debug_log(logs_).ok());
    emit_seq(2);
    disable_debug_log();
    fs::remove(logs_ / "dovan-debug.ndjson");
    fs::remove(logs_ / "dovan-debug.log");
    r = export_debug_log(root_ / "ring-only");
    ASSERT_TRUE(r.ok()) << r.error().text;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_ / "ring-only"))
        names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("dovan-debug-ring-", 0), 0u);

    // A destination that cannot be created.
    write_file(root_ / "a-file", "x");
    r = export_debug_log(root_ / "a-file" / "sub");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text.rfind("创建导出目录失败: ", 0), 0u) << r.error().text;
}

TEST(DebugLogExport, FailsWhenLoggingWasNeverOnInThisProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process, since the log folder is remembered for the process's lifetime.
    EXPECT_EXIT(
        {
            char tmpl[] = "/tmp/dovan-debuglog-XXXXXX";
            if (!mkdtemp(tmpl)) std::_Exit(3);
            std::ofstream(std::string(tmpl) + "/dovan-debug.ndjson") << "old\n";
            auto r = export_debug_log(std::string(tmpl) + "/out");
            std::error_code ec;
            fs::remove_all(tmpl, ec);
            std::_Exit(!r.ok() && r.error().text == "Debug 日志从未开启，无可导出内容" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(DebugLogFiles, EmitNeverWaitsForAStalledWriter) {
    fs::create_directories(logs_);
    const auto fifo = logs_ / "dovan-debug.ndjson";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(enable_debug_log(logs_).ok());

    // Nobody reads the pipe: the writer blocks once it is full and the queue fills up.
    constexpr int kCount = 20000;
    emit_seq(kCount);
    const auto ring = debug_ring_snapshot();
    ASSERT_FALSE(ring.empty());
    EXPECT_EQ(field_number(ring.back(), "seq"), kCount - 1);  // the ring keeps dropped records

    std::string received;
    std::thread drain([&] {
        fcntl(reader, F_SETFL, 0);
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(reader, buf, sizeof buf);
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    disable_debug_log();
    drain.join();
    ::close(reader);

    std::istringstream in(received);
    long last = -1, lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        const long seq = field_number(line, "seq");
        EXPECT_GT(seq, last);
        last = seq;
    }
    EXPECT_GE(lines, static_cast<long>(kDebugQueueCapacity));
    EXPECT_LT(lines, kCount);
}

TEST_F(DebugLogFiles, CaptureAloneKeepsRecordsInMemoryOnly) {
    EXPECT_FALSE(debug_log_enabled());
    {
        DebugCapture capture;
        EXPECT_TRUE(debug_log_enabled());
        emit_event(LogLevel::Warn, "lan", "udp.beacon", {{"port", "55676"}});
        emit_event(LogLevel::Info, "lan", "udp.other");
        ASSERT_EQ(capture.events("udp.beacon").size(), 1u);
        const auto rec = capture.events("udp.beacon")[0];
        EXPECT_EQ(rec.field("port"), "55676");
        EXPECT_EQ(rec.level, LogLevel::Warn);
        EXPECT_GT(rec.ts_ms, 1'600'000'000'000ULL);
        EXPECT_EQ(capture.records().size(), 2u);

        // With the file log on too, both receive the record.
        ASSERT_TRUE(enable_debug_log(logs_).ok());
        capture.clear();
        emit_event(LogLevel::Info, "lan", "udp.both");
        disable_debug_log();
        EXPECT_TRUE(capture.has("udp.both"));
        EXPECT_EQ(read_lines(logs_ / "dovan-debug.log").size(), 1u);
    }
    EXPECT_FALSE(debug_log_enabled());
}

}  // namespace
}  // namespace dovan
