// What happened, in order: the core appends one typed event per change the user should
// hear about, and each front end reads on from its own cursor. The console prints a line
// per event; the window turns them into toasts and repaint hints. The feed is bounded: a
// reader that falls behind loses the oldest events and is told how many, and the core
// never waits for any reader.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dovan {

enum class TransferDirection : std::uint8_t { Send = 0, Receive = 1 };

namespace feed {

struct StateChanged {
    std::uint8_t state = 0;  // engine display state, 0 DISCOVER … 7 CLOSED
};
struct Notice {
    std::string text;  // each addition, a repeat included
};
struct Sysnote {
    std::string title;
    std::string body;
};
struct Sas {
    std::uint32_t sas = 0;
};
struct IdentityChanged {
    std::string name;
    std::string old_fingerprint;
    std::string new_fingerprint;
};
struct Paired {
    std::string fingerprint;
    std::string name;
};
struct Tcp {
    bool ready = false;
};
struct NotificationStored {
    std::string package;
    std::string title;
    std::string text;
};
struct ClipboardReceived {
    std::string text;
};
struct RowChanged {
    TransferDirection direction = TransferDirection::Send;
    std::uint8_t percent = 0;
    std::string status;
    std::string name;
};
struct LocalClipboard {
    std::string text;  // the program itself wrote the local clipboard
};
struct MediaStored {
    bool playing = false;
    std::uint64_t position_ms = 0;
    std::uint64_t duration_ms = 0;
    std::int32_t volume = -1;
    std::string package;
    std::string title;
    std::string artist;
    std::string album;
};
struct Battery {
    std::int32_t level = -1;  // −1: unknown
    bool charging = false;
};
struct ReplyStatus {
    bool ok = false;
    std::string text;
};
struct AlbumList {
    std::uint32_t page = 0;
    std::uint32_t total = 0;
    std::uint32_t count = 0;
    std::string error;
};
struct Thumb {
    std::uint64_t id = 0;
    std::optional<std::size_t> bytes;  // the image's size, or nothing and `error`
    std::string error;
};
struct Drag {
    bool ready = false;
    std::string text;  // the path when ready, else why not
};

}  // namespace feed

using FeedData = std::variant<feed::StateChanged, feed::Notice, feed::Sysnote, feed::Sas, feed::IdentityChanged,
                              feed::Paired, feed::Tcp, feed::NotificationStored, feed::ClipboardReceived,
                              feed::RowChanged, feed::LocalClipboard, feed::MediaStored, feed::Battery,
                              feed::ReplyStatus, feed::AlbumList, feed::Thumb, feed::Drag>;

struct FeedEvent {
    std::uint64_t seq = 0;  // from 1, one more per event
    FeedData data;
};

inline constexpr std::size_t kFeedCapacity = 1024;

class EventFeed {
public:
    explicit EventFeed(std::size_t capacity = kFeedCapacity);
    EventFeed(const EventFeed&) = delete;
    EventFeed& operator=(const EventFeed&) = delete;

    // Adds the event, dropping the oldest when full; returns its sequence number.
    std::uint64_t append(FeedData data);

    struct Batch {
        std::vector<FeedEvent> events;
        std::uint64_t lost = 0;  // events after the cursor that were dropped before this read
        std::uint64_t next = 0;  // the cursor for the following read
    };
    // Events from sequence number `cursor` on, at most `max` of them.
    Batch read(std::uint64_t cursor, std::size_t max = SIZE_MAX) const;

    // The cursor of a reader that starts now and wants nothing that came before.
    std::uint64_t end() const;

    // For a front end's own thread: returns once an event at `cursor` or later exists (true)
    // or after `timeout` (false).
    // After interrupt() every wait returns at once (false unless there are events): for
    // readers shutting down, whether they were already waiting or not.
    bool wait(std::uint64_t cursor, std::chrono::steady_clock::duration timeout) const;
    void interrupt();

private:
    const std::size_t capacity_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::deque<FeedEvent> events_;
    std::uint64_t next_seq_ = 1;
    bool interrupted_ = false;
};

}  // namespace dovan
