#include "shell/event_feed.h"

#include <algorithm>

#include "common/result.h"

namespace dovan {

EventFeed::EventFeed(std::size_t capacity) : capacity_(capacity) {
    invariant(capacity_ > 0, "the event feed holds at least one event");
}

std::uint64_t EventFeed::append(FeedData data) {
    std::uint64_t seq = 0;
    {
        std::lock_guard lock(mu_);
        seq = next_seq_++;
        if (events_.size() == capacity_) events_.pop_front();
        events_.push_back(FeedEvent{seq, std::move(data)});
    }
    cv_.notify_all();
    return seq;
}

EventFeed::Batch EventFeed::read(std::uint64_t cursor, std::size_t max) const {
    std::lock_guard lock(mu_);
    Batch out;
    const std::uint64_t oldest = events_.empty() ? next_seq_ : events_.front().seq;
    if (cursor < oldest) {
        out.lost = oldest - cursor;
        cursor = oldest;
    }
    cursor = std::min(cursor, next_seq_);
    const std::size_t first = static_cast<std::size_t>(cursor - oldest);
    const std::size_t n = std::min(max, events_.size() - first);
    out.events.assign(events_.begin() + static_cast<std::ptrdiff_t>(first),
                      events_.begin() + static_cast<std::ptrdiff_t>(first + n));
    out.next = cursor + n;
    return out;
}

std::uint64_t EventFeed::end() const {
    std::lock_guard lock(mu_);
    return next_seq_;
}

bool EventFeed::wait(std::uint64_t cursor, std::chrono::steady_clock::duration timeout) const {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return next_seq_ > cursor || interrupted_; });
    return next_seq_ > cursor;
}

void EventFeed::interrupt() {
    {
        std::lock_guard lock(mu_);
        interrupted_ = true;
    }
    cv_.notify_all();
}

}  // namespace dovan
