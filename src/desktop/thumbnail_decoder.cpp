#include "desktop/thumbnail_decoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "common/text.h"

namespace dovan {

std::variant<QImage, std::string> decode_thumbnail(const std::uint8_t* data, std::size_t size) {
    // Our own reading of the markers decides first; the decoder only sees what passed.
    auto screened = screen_thumbnail(data, size);
    if (auto* refused = std::get_if<std::string>(&screened)) return *refused;
    const JpegSize declared = std::get<JpegSize>(screened);
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    reader.setDecideFormatFromContent(false);
    reader.setAutoTransform(false);
    if (!reader.canRead()) {
        return format_text("JPEG 解码器创建失败: {}", reader.errorString().toStdString());
    }
    const QSize header = reader.size();
    if (header.width() != static_cast<int>(declared.width) || header.height() != static_cast<int>(declared.height)) {
        return format_text("取图像尺寸失败: {}", reader.errorString().toStdString());
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        return format_text("读出像素失败: {}", reader.errorString().toStdString());
    }
    // What was decoded must be what the header promised; anything else is not trusted.
    if (image.width() != header.width() || image.height() != header.height()) {
        return format_text("读出像素失败: {}", "尺寸与声明不符");
    }
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void QtThumbnails::begin_paint(const std::vector<std::uint64_t>& visible) {
    visible_ = std::unordered_set<std::uint64_t>(visible.begin(), visible.end());
}

std::optional<std::string> QtThumbnails::prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) {
    if (cache_.use(id)) return std::nullopt;
    auto decoded = decode_thumbnail(jpeg.data(), jpeg.size());
    if (auto* error = std::get_if<std::string>(&decoded)) return *error;
    QImage image = std::move(std::get<QImage>(decoded));
    const auto bytes = static_cast<std::uint64_t>(image.width()) * static_cast<std::uint64_t>(image.height()) * 4;
    cache_.add(id, std::move(image), bytes, visible_);
    return std::nullopt;
}

}  // namespace dovan
