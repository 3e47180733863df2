#include "desktop/thumbnail_decoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "common/text.h"

namespace dovan {

std::variant<QImage, std::string> decode_thumbnail(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return std::string(kThumbnailEmpty);
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
    const QSize declared = reader.size();  // header only
    if (declared.width() < 0 || declared.height() < 0) {
        return format_text("取图像尺寸失败: {}", reader.errorString().toStdString());
    }
    if (auto refused = check_thumbnail_size(static_cast<std::uint64_t>(declared.width()),
                                            static_cast<std::uint64_t>(declared.height()))) {
        return *refused;
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        return format_text("读出像素失败: {}", reader.errorString().toStdString());
    }
    // What was decoded must be what the header promised; anything else is not trusted.
    if (image.size() != declared) return format_text("读出像素失败: {}", "尺寸与声明不符");
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
