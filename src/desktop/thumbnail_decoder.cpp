#include "desktop/thumbnail_decoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "common/text.h"

namespace dovan {

ThumbnailDecoded decode_thumbnail(const std::uint8_t* data, std::size_t size) {
    // Our own reading of the markers decides first; the decoder only sees what passed, so
    // its work is bounded by the bytes, the scans and the declared pixels.
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

QtThumbnails::QtThumbnails(Decoder decoder)
    : decoder_(decoder ? std::move(decoder)
                       : Decoder([](const std::vector<std::uint8_t>& jpeg) { return decode_thumbnail(jpeg.data(), jpeg.size()); })) {}

QtThumbnails::~QtThumbnails() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void QtThumbnails::set_on_ready(std::function<void()> on_ready) {
    std::lock_guard lock(callback_mutex_);
    on_ready_ = std::move(on_ready);
}

void QtThumbnails::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= job.jpeg.size();
        busy_ = true;
        lock.unlock();
        Done done{job.id, job.epoch, job.jpeg.size(), decoder_(job.jpeg)};
        lock.lock();
        done_.push_back(std::move(done));
        lock.unlock();
        {
            std::lock_guard callback(callback_mutex_);
            if (on_ready_) on_ready_();
        }
        lock.lock();
        busy_ = false;  // only now: idle means the repaint for this one was asked for too
        if (queue_.empty()) idle_.notify_all();
    }
}

void QtThumbnails::begin_paint(const std::vector<std::uint64_t>& visible) {
    visible_ = std::unordered_set<std::uint64_t>(visible.begin(), visible.end());
    std::vector<Done> finished;
    {
        std::lock_guard lock(mutex_);
        finished.swap(done_);
        // Work for items scrolled away is not started; they are asked for again when shown.
        std::erase_if(queue_, [&](const Job& job) {
            if (visible_.contains(job.id)) return false;
            queued_bytes_ -= job.jpeg.size();
            in_flight_.erase(job.id);
            return true;
        });
        for (const Done& d : finished)
            if (d.epoch == epoch_) in_flight_.erase(d.id);
    }
    for (Done& d : finished) {
        if (d.epoch != epoch_) continue;
        if (auto* error = std::get_if<std::string>(&d.result)) {
            if (failures_.size() >= kThumbnailFailuresKept) failures_.clear();
            failures_[d.id] = Failure{d.size, std::move(*error)};
            continue;
        }
        QImage image = std::move(std::get<QImage>(d.result));
        const auto bytes = static_cast<std::uint64_t>(image.width()) * static_cast<std::uint64_t>(image.height()) * 4;
        failures_.erase(d.id);
        cache_.add(d.id, std::move(image), bytes, visible_);
    }
}

ThumbnailReadiness QtThumbnails::prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) {
    if (cache_.use(id)) return ThumbnailReadiness::ready();
    if (auto f = failures_.find(id); f != failures_.end()) {
        if (f->second.size == jpeg.size()) return ThumbnailReadiness::failed(f->second.text);
        failures_.erase(f);  // other bytes for the item: they get their own try
    }
    {
        std::lock_guard lock(mutex_);
        if (in_flight_.contains(id)) return ThumbnailReadiness::pending();
        // A full queue takes nothing now; each finished picture repaints, and the next
        // paint asks again.
        if (queue_.size() >= kThumbnailQueueJobs ||
            (!queue_.empty() && queued_bytes_ + jpeg.size() > kThumbnailQueueBytes)) {
            return ThumbnailReadiness::pending();
        }
        queue_.push_back(Job{id, epoch_, jpeg});
        queued_bytes_ += jpeg.size();
        in_flight_.insert(id);
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
    return ThumbnailReadiness::pending();
}

void QtThumbnails::release() {
    cache_.clear();
    std::lock_guard lock(mutex_);
    ++epoch_;
    queue_.clear();
    queued_bytes_ = 0;
    done_.clear();
    in_flight_.clear();
}

bool QtThumbnails::wait_idle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [&] { return queue_.empty() && !busy_; });
}

}  // namespace dovan
