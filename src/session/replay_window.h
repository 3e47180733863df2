// Anti-replay for encrypted frames, one sliding window per link.
//
// Both links draw from one send counter, and each link delivers in order, but frames on
// the two links overtake each other freely (a clipboard push over BLE while file chunks
// stream over TCP). A single shared window would drop a BLE frame overtaken by 17 TCP
// frames as "too old"; a window per link keeps the age rule meaningful, and the other
// link's window catches a frame replayed across links.
#pragma once

#include <cstdint>
#include <string>

namespace dovan {

class ReplayWindow {
public:
    static constexpr std::uint32_t kSize = 64;
    static constexpr std::uint32_t kMaxAge = 16;

    enum class Verdict : std::uint8_t { Fresh, TooOld, Replay };

    Verdict check(std::uint32_t seq) const;
    // Whether `seq` was accepted and is still remembered by the bitmap.
    bool marked(std::uint32_t seq) const;
    // Whether `seq` lies so far behind that the bitmap no longer remembers it.
    bool beyond_memory(std::uint32_t seq) const;
    // Records an accepted frame; call only after the frame opened successfully.
    void accept(std::uint32_t seq);
    void reset() { *this = ReplayWindow{}; }

    bool initialized() const { return init_; }
    std::uint32_t highest() const { return highest_; }

private:
    bool init_ = false;
    std::uint32_t highest_ = 0;
    std::uint64_t bitmap_ = 0;
};

// The pair of per-link windows the engine keeps.
class LinkReplayGuard {
public:
    struct Outcome {
        bool ok = true;
        // Filled on refusal: the inner text ("超出窗口：…" or "重放：…").
        std::string reason;
    };

    Outcome check(std::uint32_t seq, int link) const;
    void accept(std::uint32_t seq, int link) { windows_[link & 1].accept(seq); }
    void reset() {
        windows_[0].reset();
        windows_[1].reset();
    }
    const ReplayWindow& window(int link) const { return windows_[link & 1]; }

private:
    ReplayWindow windows_[2];
};

}  // namespace dovan
