// Cutting frames into BLE fragments and putting them back together. A fragment is one GATT
// value: group id, index, cnt (u16 BE each), then a slice of the frame. Both halves belong to
// the session engine and run on the core thread only; they hold no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "platform/clock.h"
#include "protocol/frame.h"

namespace dovan {

constexpr std::size_t FRAG_HEADER_LEN = 6;
constexpr std::size_t FRAG_MAX_PAYLOAD = 506;  // largest ATT value (512) minus the fragment header
constexpr std::size_t FRAG_MAX_FRAME = FRAME_HEADER_LEN + FRAME_MAX_PAYLOAD + FRAME_TAG_LEN;  // 1048605
constexpr std::uint16_t FRAG_MAX_CNT = 2072;  // 2073 x 506 would exceed the largest frame
constexpr std::size_t FRAG_MAX_GROUPS = 32;
constexpr Duration FRAG_GROUP_IDLE = std::chrono::seconds(5);
constexpr std::size_t BLE_MTU_INITIAL = 23;
constexpr std::size_t BLE_MTU_MAX = 517;

struct FragError {
    enum class Kind : std::uint8_t {
        // receiving side
        TooShort,         // a = value length
        IndexOutOfRange,  // a = index, b = cnt
        GroupTooLarge,    // a = cnt
        Duplicate,        // a = index
        CountMismatch,    // a = the fragment's index, b = the fragment's cnt
        HeaderInvalid,    // frame_error
        LengthMismatch,   // a = length the header declares, b = reassembled length
        // sending side
        MtuTooSmall,       // a = MTU value
        TooManyFragments,  // a = computed cnt
        BuildFailed,       // frame_error
    };
    Kind kind = Kind::TooShort;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    FrameError frame_error{};

    // The error's own text, e.g. "重复分片 1".
    std::string display() const;
    // The text the engine reports with code -1: wrapped as "BLE 分片错误: …", "分片失败: …"
    // or "组帧失败: …" by the side it came from.
    std::string context() const;
    bool operator==(const FragError&) const = default;
};

// Sender half: owns the per-engine group counter.
class BleFragmenter {
public:
    // Builds the frame and appends its fragments, contiguous and in index order, to `queue`.
    // On failure nothing is appended. A group id is consumed once the frame is built, even
    // if fragmenting then fails.
    Result<void, FragError> push_frame(const FrameHeader& header, ByteView payload, std::size_t mtu,
                                       std::deque<Bytes>& queue);
    // Same for bytes that already form a whole frame (header included).
    Result<void, FragError> push_encoded(ByteView frame, std::size_t mtu, std::deque<Bytes>& queue);

    std::uint16_t next_group() const { return next_group_; }
    void set_next_group(std::uint16_t g) { next_group_ = g; }

private:
    Result<void, FragError> push_parts(ByteView head, ByteView body, std::size_t mtu, std::deque<Bytes>& queue);
    std::uint16_t next_group_ = 0;
};

// Receiver half: the learned link MTU and the table of incomplete groups.
class BleReassembler {
public:
    // Takes one received value. Returns the bytes of a complete, header-checked frame; nothing
    // when more fragments are needed or the value was silently dropped; or the error to report.
    Result<std::optional<Bytes>, FragError> take(ByteView value, Instant now);

    // Longest value seen so far, capped at 517, never below 23; the sender's budget.
    std::size_t mtu() const { return mtu_; }
    // A size the link is known to carry (the value seen, or the MTU the stack negotiated):
    // taken when it lies within 23..517 and is larger; the value never falls.
    void raise_mtu(std::size_t m);
    std::size_t group_count() const { return groups_.size(); }
    bool has_group(std::uint16_t id) const { return groups_.count(id) != 0; }

private:
    struct Group {
        std::vector<std::optional<Bytes>> slots;
        std::uint64_t received = 0;
        Instant last_activity{};
        std::uint16_t cnt = 0;
        std::uint16_t got = 0;
    };
    void purge(Instant now);
    void evict_oldest();

    std::size_t mtu_ = BLE_MTU_INITIAL;
    std::unordered_map<std::uint16_t, Group> groups_;
};

}  // namespace dovan
