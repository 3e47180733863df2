#include "session/replay_window.h"

#include "common/text.h"

namespace dovan {

ReplayWindow::Verdict ReplayWindow::check(std::uint32_t seq) const {
    if (!init_ || seq > highest_) return Verdict::Fresh;
    const std::uint32_t d = highest_ - seq;
    if (d > kMaxAge || d >= kSize) return Verdict::TooOld;
    if ((bitmap_ >> d) & 1u) return Verdict::Replay;
    return Verdict::Fresh;
}

bool ReplayWindow::marked(std::uint32_t seq) const {
    if (!init_ || seq > highest_) return false;
    const std::uint32_t d = highest_ - seq;
    return d < kSize && ((bitmap_ >> d) & 1u);
}

bool ReplayWindow::beyond_memory(std::uint32_t seq) const {
    return init_ && seq <= highest_ && highest_ - seq >= kSize;
}

void ReplayWindow::accept(std::uint32_t seq) {
    if (!init_) {
        init_ = true;
        highest_ = seq;
        bitmap_ = 1;
        return;
    }
    if (seq > highest_) {
        const std::uint32_t d = seq - highest_;
        bitmap_ = d < kSize ? (bitmap_ << d) | 1u : 1u;
        highest_ = seq;
        return;
    }
    const std::uint32_t d = highest_ - seq;
    if (d < kSize) bitmap_ |= std::uint64_t{1} << d;
}

LinkReplayGuard::Outcome LinkReplayGuard::check(std::uint32_t seq, int link) const {
    const ReplayWindow& own = windows_[link & 1];
    const ReplayWindow& other = windows_[(link & 1) ^ 1];
    switch (own.check(seq)) {
        case ReplayWindow::Verdict::TooOld:
            return {false, format_text("超出窗口：seq={} 过旧（当前最高 {}）", seq, own.highest())};
        case ReplayWindow::Verdict::Replay:
            return {false, format_text("重放：seq={} 已被接收过", seq)};
        case ReplayWindow::Verdict::Fresh:
            break;
    }
    if (other.marked(seq)) return {false, format_text("重放：seq={} 已被接收过", seq)};
    // The other link has forgotten whether it took this seq; accepting it could let a frame
    // recorded there be replayed here.
    if (other.beyond_memory(seq))
        return {false, format_text("超出窗口：seq={} 过旧（当前最高 {}）", seq, other.highest())};
    return {};
}

}  // namespace dovan
