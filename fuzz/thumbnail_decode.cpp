// Thumbnail bytes come from the phone: the marker walk and the decoder behind it must never
// crash, and whatever decodes was within the size, scan and byte limits and of the declared
// size. The corpus holds a scan bomb (fuzz/gen/jpeg_scan_bomb.py): thousands of scans over a
// frame within the size limits, seconds of decoding were it not screened.
#include <QGuiApplication>
#include <QImage>

#include <cstdint>
#include <cstdlib>

#include "desktop/thumbnail_decoder.h"

using namespace dovan;

namespace {
void ensure_app() {
    static QGuiApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_LOGGING_RULES", "qt.gui.imageio*=false");
        static int argc = 1;
        static char name[] = "fuzz_thumbnail_decode";
        static char* argv[] = {name, nullptr};
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ensure_app();
    const auto screened = screen_thumbnail(data, size);
    auto decoded = decode_thumbnail(data, size);
    if (const auto* img = std::get_if<QImage>(&decoded)) {
        const auto* declared = std::get_if<JpegSize>(&screened);
        if (!declared) std::abort();  // decoded although screening refused it
        if (img->width() != static_cast<int>(declared->width) || img->height() != static_cast<int>(declared->height)) std::abort();
        if (check_thumbnail_size(static_cast<std::uint64_t>(img->width()), static_cast<std::uint64_t>(img->height()))) std::abort();
        if (img->format() != QImage::Format_ARGB32_Premultiplied) std::abort();
        // The decoder's work was bounded before it started: few scans, few bytes.
        const auto layout = jpeg_layout(data, size);
        const auto* walked = std::get_if<JpegLayout>(&layout);
        if (!walked || walked->scans == 0 || walked->scans > kThumbnailMaxScans || size > kThumbnailMaxBytes) std::abort();
    } else if (std::get<std::string>(decoded).empty()) {
        std::abort();  // every refusal has its text
    }
    return 0;
}
