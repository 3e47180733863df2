#include "desktop/thumbnail_decoder.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "common/text.h"
#include "desktop/main_window.h"
#include "shell/layout.h"
#include "shell/ui_state.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;

// Image plugins, fonts and widgets need an application object; offscreen needs no display.
class QtApp : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_desktop";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};
const auto* const kQtApp = ::testing::AddGlobalTestEnvironment(new QtApp);

Bytes encode(int w, int h, const char* format = "JPG") {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(40, 120, 200));
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    EXPECT_TRUE(img.save(&buf, format));
    return Bytes(out.begin(), out.end());
}

Bytes encode_progressive(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(200, 60, 30));
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    QImageWriter writer(&buf, "jpeg");
    writer.setProgressiveScanWrite(true);
    EXPECT_TRUE(writer.write(img));
    return Bytes(out.begin(), out.end());
}

// A grey progressive file of a size within the limits whose data is `scans` scans of a byte
// each (as fuzz/gen/jpeg_scan_bomb.py writes it). Every scan walks all blocks of the frame
// again: thousands of them take a decoder seconds.
Bytes scan_bomb(int scans, std::uint16_t w = 2048, std::uint16_t h = 1024) {
    Bytes out = {0xFF, 0xD8};
    auto segment = [&](std::uint8_t marker, Bytes payload) {
        const std::size_t n = payload.size() + 2;
        out.insert(out.end(), {0xFF, marker, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        out.insert(out.end(), payload.begin(), payload.end());
    };
    Bytes dqt(65, 1);
    dqt[0] = 0;
    segment(0xDB, dqt);
    segment(0xC2, {8, static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(w >> 8),
                   static_cast<std::uint8_t>(w), 1, 1, 0x11, 0});
    Bytes table(17, 0);
    table[0] = 1;  // one one-bit code, for symbol 0
    Bytes dht = {0x00};
    dht.insert(dht.end(), table.begin(), table.end());
    dht.push_back(0x10);
    dht.insert(dht.end(), table.begin(), table.end());
    segment(0xC4, dht);
    for (int k = 0; k < scans; ++k) {
        segment(0xDA, {1, 1, 0x00, static_cast<std::uint8_t>(k == 0 ? 0 : 1), static_cast<std::uint8_t>(k == 0 ? 0 : 63), 0});
        out.push_back(0x00);
    }
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

// Rewrites the frame header so the file claims another size; the data stays small.
Bytes declare(Bytes jpeg, std::uint16_t w, std::uint16_t h) {
    for (std::size_t i = 0; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<std::uint8_t>(h >> 8);
            jpeg[i + 6] = static_cast<std::uint8_t>(h);
            jpeg[i + 7] = static_cast<std::uint8_t>(w >> 8);
            jpeg[i + 8] = static_cast<std::uint8_t>(w);
            return jpeg;
        }
    }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

std::string error_of(const Bytes& b) {
    auto r = decode_thumbnail(b.data(), b.size());
    if (auto* e = std::get_if<std::string>(&r)) return *e;
    return {};
}

TEST(ThumbnailDecoding, LimitsAndTheirTexts) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::string error;  // empty: decodes
    };
    const Bytes small = encode(160, 120);
    const Case cases[] = {
        {"ordinary thumbnail", small, ""},
        {"largest allowed area", encode(4096, 512), ""},
        {"empty", {}, "缩略图数据是空的"},
        {"one side too long", encode(4097, 1), "缩略图声明的尺寸过大（4097×1），已拒绝解码"},
        {"too many pixels", encode(2048, 2048), "缩略图声明的尺寸过大（2048×2048 ≈ 16 MB），已拒绝解码"},
        {"a small file declaring 65535 × 65535", declare(small, 65535, 65535), "缩略图声明的尺寸过大（65535×65535），已拒绝解码"},
        {"a small file declaring 3000 × 3000", declare(small, 3000, 3000), "缩略图声明的尺寸过大（3000×3000 ≈ 34 MB），已拒绝解码"},
        {"a progressive thumbnail", encode_progressive(320, 240), ""},
        {"a scan bomb at the scan limit", scan_bomb(32), ""},
        {"a scan bomb", scan_bomb(2000), "缩略图的扫描段过多（超过 32 段），已拒绝解码"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.bytes), c.error) << c.name;
}

TEST(ThumbnailDecoding, AnythingButAJpegIsRefused) {
    const Bytes png = encode(16, 16, "PNG");
    EXPECT_TRUE(error_of(png).starts_with("JPEG 解码器创建失败")) << error_of(png);
    const Bytes small = encode(160, 120);
    const Bytes cut(small.begin(), small.begin() + 20);
    EXPECT_FALSE(error_of(cut).empty()) << "a header cut short";
    const Bytes noise(4096, 0x5A);
    EXPECT_FALSE(error_of(noise).empty());
}

TEST(ThumbnailDecoding, DecodedPicturesArePremultipliedAndOfTheDeclaredSize) {
    const Bytes b = encode(160, 120);
    auto r = decode_thumbnail(b.data(), b.size());
    ASSERT_TRUE(std::holds_alternative<QImage>(r));
    const QImage& img = std::get<QImage>(r);
    EXPECT_EQ(img.width(), 160);
    EXPECT_EQ(img.height(), 120);
    EXPECT_EQ(img.format(), QImage::Format_ARGB32_Premultiplied);
}

// A decoder the test holds: it counts its calls, notes its thread, and while closed waits
// (at most a few seconds, so a caller that waited for it shows as slow rather than hung).
class HeldDecoder {
public:
    ThumbnailDecoded operator()(const Bytes& jpeg) {
        std::unique_lock lock(m_);
        ++calls_;
        threads_.insert(std::this_thread::get_id());
        called_.notify_all();
        opened_.wait_for(lock, 3s, [&] { return open_; });
        if (jpeg.empty() || jpeg[0] == 0x00) return std::string("读出像素失败: 坏数据");
        QImage img(static_cast<int>(jpeg.size()), 10, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::red);
        return img;
    }
    void set_open(bool open) {
        std::lock_guard lock(m_);
        open_ = open;
        opened_.notify_all();
    }
    bool wait_calls(int n) {
        std::unique_lock lock(m_);
        return called_.wait_for(lock, 5s, [&] { return calls_ >= n; });
    }
    int calls() {
        std::lock_guard lock(m_);
        return calls_;
    }
    std::set<std::thread::id> threads() {
        std::lock_guard lock(m_);
        return threads_;
    }

private:
    std::mutex m_;
    std::condition_variable called_, opened_;
    bool open_ = true;
    int calls_ = 0;
    std::set<std::thread::id> threads_;
};

QtThumbnails::Decoder through(const std::shared_ptr<HeldDecoder>& d) {
    return [d](const Bytes& jpeg) { return (*d)(jpeg); };
}

using Kind = ThumbnailReadiness::Kind;

TEST(WindowThumbnails, DecodingRunsOnAWorkerAndAPaintNeverWaitsForIt) {
    auto decoder = std::make_shared<HeldDecoder>();
    QtThumbnails thumbs(through(decoder));
    std::atomic<int> ready_calls{0};
    thumbs.set_on_ready([&] { ++ready_calls; });
    decoder->set_open(false);
    thumbs.begin_paint({1});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thumbs.prepare(1, Bytes(100, 0xFF)).kind, Kind::Pending);
    EXPECT_EQ(thumbs.prepare(1, Bytes(100, 0xFF)).kind, Kind::Pending) << "asked again while it decodes";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the paint waited for the decoder";
    ASSERT_TRUE(decoder->wait_calls(1));
    EXPECT_FALSE(decoder->threads().contains(std::this_thread::get_id()));
    EXPECT_EQ(thumbs.peek(1), nullptr);
    decoder->set_open(true);
    ASSERT_TRUE(thumbs.wait_idle(5s));
    EXPECT_EQ(ready_calls.load(), 1) << "one repaint asked for the finished picture";
    thumbs.begin_paint({1});
    EXPECT_EQ(thumbs.prepare(1, Bytes(100, 0xFF)), ThumbnailReadiness::ready());
    ASSERT_NE(thumbs.peek(1), nullptr);
    EXPECT_EQ(thumbs.peek(1)->width(), 100);
    EXPECT_EQ(thumbs.cached_count(), 1u);
    EXPECT_EQ(thumbs.cached_bytes(), 100u * 10 * 4);
    EXPECT_EQ(thumbs.prepare(1, Bytes{}), ThumbnailReadiness::ready()) << "cached: the bytes are not looked at again";
    EXPECT_EQ(decoder->calls(), 1);
}

// A picture that cannot be decoded costs its decode once, not once per repaint.
TEST(WindowThumbnails, AFailingItemIsDecodedOnceAcrossRepaints) {
    auto decoder = std::make_shared<HeldDecoder>();
    QtThumbnails thumbs(through(decoder));
    const Bytes bad(50, 0x00);
    ThumbnailReadiness last;
    for (int paint = 0; paint < 6; ++paint) {
        thumbs.begin_paint({7});
        last = thumbs.prepare(7, bad);
        ASSERT_TRUE(thumbs.wait_idle(5s));
    }
    EXPECT_EQ(decoder->calls(), 1);
    EXPECT_EQ(last, ThumbnailReadiness::failed("读出像素失败: 坏数据"));
    EXPECT_EQ(thumbs.cached_count(), 0u);
    thumbs.release();
    thumbs.begin_paint({7});
    EXPECT_EQ(thumbs.prepare(7, bad).kind, Kind::Failed) << "hiding the window forgets pictures, not failures";
    EXPECT_EQ(decoder->calls(), 1);
    // Other bytes for the item (the phone sent it again) get their own try.
    EXPECT_EQ(thumbs.prepare(7, Bytes(60, 0xFF)).kind, Kind::Pending);
    ASSERT_TRUE(thumbs.wait_idle(5s));
    thumbs.begin_paint({7});
    EXPECT_EQ(thumbs.prepare(7, Bytes(60, 0xFF)), ThumbnailReadiness::ready());
    EXPECT_EQ(decoder->calls(), 2);
}

TEST(WindowThumbnails, TheQueueIsBoundedAndEveryVisibleItemIsServedInTurn) {
    auto decoder = std::make_shared<HeldDecoder>();
    QtThumbnails thumbs(through(decoder));
    std::vector<std::uint64_t> visible;
    for (std::uint64_t id = 1; id <= 20; ++id) visible.push_back(id);
    decoder->set_open(false);
    thumbs.begin_paint(visible);
    EXPECT_EQ(thumbs.prepare(1, Bytes(11, 0xFF)).kind, Kind::Pending);
    ASSERT_TRUE(decoder->wait_calls(1));  // 1 is with the decoder; the queue is empty
    for (auto id : visible) EXPECT_EQ(thumbs.prepare(id, Bytes(10 + id, 0xFF)).kind, Kind::Pending);
    decoder->set_open(true);
    ASSERT_TRUE(thumbs.wait_idle(5s));
    EXPECT_EQ(decoder->calls(), static_cast<int>(1 + kThumbnailQueueJobs)) << "one decoding, the rest of a full queue";
    int paints = 0;
    std::size_t ready = 0;
    while (ready < visible.size() && paints < 10) {
        ++paints;
        thumbs.begin_paint(visible);
        ready = 0;
        for (auto id : visible) ready += thumbs.prepare(id, Bytes(10 + id, 0xFF)) == ThumbnailReadiness::ready();
        ASSERT_TRUE(thumbs.wait_idle(5s));
    }
    EXPECT_EQ(ready, visible.size());
    EXPECT_EQ(decoder->calls(), 20) << "each item decoded once";
}

TEST(WindowThumbnails, WorkForItemsScrolledAwayOrReleasedIsDropped) {
    auto decoder = std::make_shared<HeldDecoder>();
    QtThumbnails thumbs(through(decoder));
    decoder->set_open(false);
    thumbs.begin_paint({1, 2, 3, 4, 5});
    for (std::uint64_t id = 1; id <= 5; ++id) thumbs.prepare(id, Bytes(10, 0xFF));
    ASSERT_TRUE(decoder->wait_calls(1));  // 1 is with the decoder, 2…5 wait
    thumbs.begin_paint({1, 2});           // scrolled: 3…5 are off screen
    decoder->set_open(true);
    ASSERT_TRUE(thumbs.wait_idle(5s));
    EXPECT_EQ(decoder->calls(), 2);

    decoder->set_open(false);
    thumbs.begin_paint({9});
    thumbs.prepare(9, Bytes(10, 0xFF));
    ASSERT_TRUE(decoder->wait_calls(3));
    thumbs.release();  // the window hid while 9 was being decoded
    decoder->set_open(true);
    ASSERT_TRUE(thumbs.wait_idle(5s));
    thumbs.begin_paint({9});
    EXPECT_EQ(thumbs.cached_count(), 0u) << "a picture from before the release is not kept";
    EXPECT_EQ(thumbs.prepare(9, Bytes(10, 0xFF)).kind, Kind::Pending) << "asked for afresh";
    ASSERT_TRUE(thumbs.wait_idle(5s));
    thumbs.begin_paint({9});
    EXPECT_EQ(thumbs.prepare(9, Bytes(10, 0xFF)), ThumbnailReadiness::ready());
}

// Counts the paints a widget gets.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
    int paints = 0;
};

// A clipboard of the test's own, so nothing reaches the system's.
class NoClipboard final : public Clipboard {
public:
    std::optional<std::string> read_text() override { return std::nullopt; }
    void write_text(std::string_view) override {}
    void set_on_change(std::function<void()>) override {}
};

// In the window: the first paint shows the placeholder, and the finished picture brings
// its own repaint, with nothing else asking for one.
TEST(WindowThumbnails, TheWindowDrawsAPictureOnceTheWorkerHasIt) {
    auto ui = SharedUi::create(initial_ui_state(), LoadedModules{0x1f});
    {
        auto g = ui->lock();
        g->page = Page::Album;
        g->album.per_page = 15;
        AlbumItemView item;
        item.id = 42;
        item.width = 160;
        item.height = 120;
        g->album.items = {item};
        QImage img(160, 120, QImage::Format_RGB32);
        img.fill(QColor(0, 200, 0));
        QByteArray out;
        QBuffer buf(&out);
        buf.open(QIODevice::WriteOnly);
        ASSERT_TRUE(img.save(&buf, "JPG"));
        g->album.thumbnails[42] = ThumbnailEntry{Bytes(out.begin(), out.end()), {}};
    }
    NoClipboard clipboard;
    MainWindowOptions options;
    options.clipboard = &clipboard;
    auto window = make_main_window(ui, options);
    PaintCounter counter;
    window->installEventFilter(&counter);
    window->resize(kDefaultClientW, kDefaultClientH);
    window->show();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (counter.paints < 2 && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ASSERT_GE(counter.paints, 2) << "no repaint after the picture was decoded";
    const Rect cell = album_cell_rect(0, 0);
    const QColor centre = window->grab().toImage().pixelColor((cell.l + cell.r) / 2, (cell.t + cell.b) / 2);
    EXPECT_LT(centre.red(), 40);
    EXPECT_GT(centre.green(), 160);
    EXPECT_LT(centre.blue(), 40);
    window.reset();
}

}  // namespace
}  // namespace dovan
