// A full repaint of each page at 960 × 660 through the QPainter canvas (offscreen raster),
// and a switch to the album page with 240 thumbnails already decoded in the window cache.
// Run with --benchmark_repetitions=N to get the median.
#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <memory>

#include "desktop/qt_canvas.h"
#include "desktop/thumbnail_decoder.h"
#include "shell/actions.h"
#include "shell/input.h"
#include "shell/paint.h"

namespace {

using namespace dovan;

constexpr int kW = 960, kH = 660;
const Instant kNow = Instant{} + std::chrono::hours(1);

Bytes jpeg(int w, int h, int seed) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor::fromHsv(seed * 37 % 360, 150, 200));
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPG", 80);
    return Bytes(out.begin(), out.end());
}

// Every page with something on it.
UiState busy_state() {
    UiState s = initial_ui_state();
    s.paired = true;
    s.engine_state = kEnginePaired;
    s.tcp_ready = true;
    s.ms_since_rx = 10;
    s.peer_name = "Pixel 8";
    s.peer_fingerprint = "a41c9e03d2b7f615";
    s.peer_address = "192.168.1.23";
    s.devices = {{0xA4C1382F9E01, "Pixel 8"}, {0x1B2C3D4E5F60, "Mate 60"}};
    s.device_status = DeviceStatusView{1, 64, 0};
    s.add_notice("绑定完成：Pixel 8");
    for (int i = 0; i < 12; ++i) {
        PhoneNotification n;
        n.title = "通知标题 " + std::to_string(i);
        n.text = "您的验证码为 4829" + std::to_string(10 + i) + "，5 分钟内有效，请勿告知他人。";
        n.post_ts_ms = 1733700000000ULL + static_cast<std::uint64_t>(i) * 1000;
        n.can_reply = i % 2 == 0;
        s.notifications.push_back(n);
    }
    s.clip_last_received = "一段从手机上复制过来的文字";
    s.send_queue = {{"/home/a/合影.jpg", 3482113}};
    for (int i = 0; i < 7; ++i) {
        TransferRow r;
        r.name = "文件-" + std::to_string(i) + ".bin";
        r.status = i % 3 == 0 ? "已完成" : "发送中";
        r.percent = static_cast<std::uint8_t>(i * 14);
        r.speed_kib = 4000;
        s.transfer_rows.push_back(r);
    }
    s.media = MediaView{"夜空中最亮的星", "逃跑计划", "世界", "com.music", true, 83000, 252000, 100, 35};
    s.bound_devices = {{"a41c9e03d2b7f615", "Pixel 8"}};
    s.local_fingerprint = "3f9a1c0e7b2d4a65";
    return s;
}

struct Fixture {
    Fixture() {
        if (!QGuiApplication::instance()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "bench_window_paint";
            static char* argv[] = {name, nullptr};
            app = std::make_unique<QGuiApplication>(argc, argv);
        }
    }
    std::unique_ptr<QGuiApplication> app;
    PaintResources resources;
    QtThumbnails thumbnails;
    QImage image{kW, kH, QImage::Format_ARGB32_Premultiplied};

    PaintResult paint(const UiState& s) {
        QPainter painter(&image);
        const Metrics m = Metrics::from_pixels(kW, kH, 96);
        QtCanvas canvas(painter, m.scale, resources, &thumbnails);
        PaintInput in(s, LoadedModules{0x1f}, m);
        in.now = kNow;
        in.wall_ms = 1733700000000ULL;
        in.version = "0.5.3";
        in.thumbnails = &thumbnails;
        return paint_window(canvas, in);
    }
    // Thumbnails decode on a worker: paints until every visible picture is back.
    void settle(const UiState& s) {
        for (int pass = 0; pass < 4; ++pass) {
            paint(s);
            thumbnails.wait_idle(std::chrono::seconds(10));
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_FullRepaint(benchmark::State& state) {
    Fixture& f = fixture();
    UiState s = busy_state();
    s.page = static_cast<Page>(state.range(0));
    if (s.page == Page::Album) {
        for (std::uint64_t i = 0; i < 15; ++i) {
            s.album.items.push_back({i, "x", 0, 0, 4032, 3024, 0, 0});
            s.album.thumbnails[i] = ThumbnailEntry{jpeg(100, 75, static_cast<int>(i)), {}};
        }
        s.album.per_page = 15;
        s.album.total = 900;
    }
    f.settle(s);  // warm caches: fonts, icons, thumbnails
    for (auto _ : state) benchmark::DoNotOptimize(f.paint(s));
    state.SetLabel("page " + std::to_string(state.range(0)));
}
BENCHMARK(BM_FullRepaint)->DenseRange(0, 8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SwitchToAlbumWith240CachedThumbnails(benchmark::State& state) {
    Fixture& f = fixture();
    UiState s = busy_state();
    for (std::uint64_t i = 0; i < 240; ++i) {
        s.album.items.push_back({i, "x", 0, 0, 4032, 3024, 0, 0});
        s.album.thumbnails[i] = ThumbnailEntry{jpeg(100, 75, static_cast<int>(i)), {}};
    }
    s.album.per_page = 240;
    s.album.total = 240;
    const Metrics m = Metrics::from_pixels(kW, kH, 96);
    const InputContext ctx{m, LoadedModules{0x1f}, kNow};
    // Decode all 240 once by scrolling through the page, as a user would have.
    s.page = Page::Album;
    for (int row = 0; row < 48; ++row) {
        s.album.scroll = row;
        f.settle(s);
    }
    s.album.scroll = 20;
    click(s, ctx, {kActNav, static_cast<std::uint64_t>(Page::Connect)});
    f.paint(s);
    for (auto _ : state) {
        click(s, ctx, {kActNav, static_cast<std::uint64_t>(Page::Album)});
        benchmark::DoNotOptimize(f.paint(s));
        state.PauseTiming();
        click(s, ctx, {kActNav, static_cast<std::uint64_t>(Page::Connect)});
        f.paint(s);
        state.ResumeTiming();
    }
    state.counters["cached"] = static_cast<double>(f.thumbnails.cached_count());
}
BENCHMARK(BM_SwitchToAlbumWith240CachedThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
