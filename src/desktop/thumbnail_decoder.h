// Album thumbnails decoded with QImageReader. The markers are screened first (size, scans,
// structure, declared size) and decoding runs on a worker thread, never on the window's.
#pragma once

#include <QImage>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "shell/thumbnails.h"

namespace dovan {

using ThumbnailDecoded = std::variant<QImage, std::string>;

// The picture as premultiplied 32-bit pixels, or the text the cell shows instead.
ThumbnailDecoded decode_thumbnail(const std::uint8_t* data, std::size_t size);

// Thumbnails waiting for the worker at once, and the bytes they may hold between them
// (a single one is always taken).
inline constexpr std::size_t kThumbnailQueueJobs = 8;
inline constexpr std::size_t kThumbnailQueueBytes = 8388608;
// Failures remembered by item; past this many the memory starts over.
inline constexpr std::size_t kThumbnailFailuresKept = 1024;

// The window's thumbnails. A visible item's JPEG is handed to one worker thread on first
// ask, and the picture is collected at a later paint and cached within the byte bound; the
// cell shows a placeholder meanwhile. A failure is remembered for the item and bytes of that
// length, so a bad picture is decoded once, not at every repaint. Everything but the
// worker's decoding happens on the thread that paints.
class QtThumbnails final : public ThumbnailSource {
public:
    using Decoder = std::function<ThumbnailDecoded(const std::vector<std::uint8_t>&)>;

    // `decoder` runs on the worker thread; by default decode_thumbnail.
    explicit QtThumbnails(Decoder decoder = {});
    ~QtThumbnails() override;
    QtThumbnails(const QtThumbnails&) = delete;
    QtThumbnails& operator=(const QtThumbnails&) = delete;

    // Called on the worker thread after each decode, e.g. to post a repaint. Once this has
    // returned, the previous callback is not running and is never called again.
    void set_on_ready(std::function<void()> on_ready);

    // Collects what the worker finished and drops waiting work for items no longer shown.
    void begin_paint(const std::vector<std::uint64_t>& visible) override;
    ThumbnailReadiness prepare(std::uint64_t id, const std::vector<std::uint8_t>& jpeg) override;
    std::size_t cached_count() const override { return cache_.count(); }
    std::uint64_t cached_bytes() const override { return cache_.bytes(); }

    const QImage* peek(std::uint64_t id) const { return cache_.peek(id); }
    // Lets go of the decoded pictures and of the work not yet collected.
    void release();
    // Waits until the worker has nothing queued or running (tools that render one frame,
    // tests). False when `timeout` passed first.
    bool wait_idle(std::chrono::milliseconds timeout);

private:
    struct Job {
        std::uint64_t id = 0;
        std::uint64_t epoch = 0;
        std::vector<std::uint8_t> jpeg;
    };
    struct Done {
        std::uint64_t id = 0;
        std::uint64_t epoch = 0;
        std::size_t size = 0;
        ThumbnailDecoded result;
    };
    struct Failure {
        std::size_t size = 0;
        std::string text;
    };

    void run();

    const Decoder decoder_;
    // The painting thread's own.
    ThumbnailCache<QImage> cache_;
    std::unordered_set<std::uint64_t> visible_;
    std::unordered_map<std::uint64_t, Failure> failures_;

    // Shared with the worker.
    std::mutex mutex_;
    std::condition_variable wake_;   // work queued, or stop
    std::condition_variable idle_;   // the worker ran out of work
    std::deque<Job> queue_;
    std::size_t queued_bytes_ = 0;
    std::vector<Done> done_;
    // Items queued, being decoded or decoded but not yet collected: asked for once.
    std::unordered_set<std::uint64_t> in_flight_;
    std::uint64_t epoch_ = 0;  // raised by release(); older results are dropped
    bool busy_ = false;
    bool stop_ = false;
    std::thread worker_;

    std::mutex callback_mutex_;
    std::function<void()> on_ready_;
};

}  // namespace dovan
