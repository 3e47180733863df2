#include "protocol/ble_frag.h"

#include <algorithm>

#include "common/bytes.h"

namespace dovan {

namespace {


FragError frag_error(FragError::Kind k, std::uint64_t a = 0, std::uint64_t b = 0) { return {k, a, b, {}}; }

}  // namespace

std::string FragError::display() const {
    switch (kind) {
        case Kind::TooShort: return format_text("分片包不足 {} 字节", a);
        case Kind::IndexOutOfRange: return format_text("分片索引 {} 越界（cnt={}）", a, b);
        case Kind::GroupTooLarge: return format_text("分组声明大小超上限（cnt={} per={}）", a, FRAG_MAX_PAYLOAD);
        case Kind::Duplicate: return format_text("重复分片 {}", a);
        case Kind::CountMismatch: return format_text("分组计数不一致（收到 {} 但 cnt={}）", a, b);
        case Kind::HeaderInvalid: return format_text("重组完成但帧头校验失败: {}", frame_error.display());
        case Kind::LengthMismatch: return format_text("重组长度与帧头不符（header={} 实际={}）", a, b);
        case Kind::MtuTooSmall: return format_text("MTU 过小，单包载荷为 0（mtu={}）", a);
        case Kind::TooManyFragments: return format_text("分片数超 u16 上限（{} 片）", a);
        case Kind::BuildFailed: return frame_error.display();
    }
    return {};
}

std::string FragError::context() const {
    switch (kind) {
        case Kind::BuildFailed: return format_text("组帧失败: {}", display());
        case Kind::MtuTooSmall:
        case Kind::TooManyFragments: return format_text("分片失败: {}", display());
        default: return format_text("BLE 分片错误: {}", display());
    }
}

Result<void, FragError> BleFragmenter::push_frame(const FrameHeader& header, ByteView payload, std::size_t mtu,
                                                  std::deque<Bytes>& queue) {
    // Same checks as encode_frame, without building a whole-frame copy that would only be
    // sliced up again.
    const std::size_t need = header.body_len();
    if (header.payload_len > FRAME_MAX_PAYLOAD) {
        FragError e = frag_error(FragError::Kind::BuildFailed);
        e.frame_error = FrameError::payload_too_large(header.payload_len);
        return fail(e);
    }
    if (payload.size() != need) {
        FragError e = frag_error(FragError::Kind::BuildFailed);
        e.frame_error = FrameError::length_mismatch(need, payload.size());
        return fail(e);
    }
    const auto head = write_header(header);
    return push_parts(ByteView(head), payload, mtu, queue);
}

Result<void, FragError> BleFragmenter::push_encoded(ByteView frame, std::size_t mtu, std::deque<Bytes>& queue) {
    // Only whole, well-formed frames go out; the receiver would refuse anything else.
    auto header = parse_header(frame);
    FragError e = frag_error(FragError::Kind::BuildFailed);
    if (!header) {
        e.frame_error = header.error();
        return fail(e);
    }
    if (header->frame_len() != frame.size()) {
        e.frame_error = FrameError::length_mismatch(header->frame_len(), frame.size());
        return fail(e);
    }
    return push_parts(frame, {}, mtu, queue);
}

Result<void, FragError> BleFragmenter::push_parts(ByteView head, ByteView body, std::size_t mtu,
                                                  std::deque<Bytes>& queue) {
    const std::uint16_t group = next_group_;
    next_group_ = static_cast<std::uint16_t>(next_group_ + 1);

    const std::size_t budget = mtu >= 3 ? mtu - 3 : 0;
    if (budget < FRAG_HEADER_LEN + 1) return fail(frag_error(FragError::Kind::MtuTooSmall, mtu));
    const std::size_t per = std::min<std::size_t>(budget, 512) - FRAG_HEADER_LEN;
    const std::size_t total = head.size() + body.size();
    const std::size_t cnt = (total + per - 1) / per;
    if (cnt > 0xFFFF) return fail(frag_error(FragError::Kind::TooManyFragments, cnt));

    for (std::size_t i = 0; i < cnt; ++i) {
        const std::size_t from = i * per;
        const std::size_t to = std::min(from + per, total);
        Bytes frag;
        frag.reserve(FRAG_HEADER_LEN + (to - from));
        put_be(frag, group, 2);
        put_be(frag, static_cast<std::uint16_t>(i), 2);
        put_be(frag, static_cast<std::uint16_t>(cnt), 2);
        if (from < head.size()) {
            const std::size_t end = std::min(to, head.size());
            frag.insert(frag.end(), head.begin() + static_cast<std::ptrdiff_t>(from),
                        head.begin() + static_cast<std::ptrdiff_t>(end));
        }
        if (to > head.size()) {
            const std::size_t b0 = std::max(from, head.size()) - head.size();
            const std::size_t b1 = to - head.size();
            frag.insert(frag.end(), body.begin() + static_cast<std::ptrdiff_t>(b0),
                        body.begin() + static_cast<std::ptrdiff_t>(b1));
        }
        queue.push_back(std::move(frag));
    }
    return {};
}

void BleReassembler::purge(Instant now) {
    std::erase_if(groups_, [now](const auto& kv) {
        const Instant last = kv.second.last_activity;
        return last <= now && now - last >= FRAG_GROUP_IDLE;
    });
}

void BleReassembler::evict_oldest() {
    auto oldest = groups_.begin();
    for (auto it = groups_.begin(); it != groups_.end(); ++it) {
        if (it->second.last_activity < oldest->second.last_activity) oldest = it;
    }
    if (oldest != groups_.end()) groups_.erase(oldest);
}

void BleReassembler::raise_mtu(std::size_t m) {
    if (m > mtu_ && m >= BLE_MTU_INITIAL && m <= BLE_MTU_MAX) mtu_ = m;
}

Result<std::optional<Bytes>, FragError> BleReassembler::take(ByteView value, Instant now) {
    raise_mtu(std::min(value.size(), BLE_MTU_MAX));
    if (value.size() < FRAG_HEADER_LEN) return fail(frag_error(FragError::Kind::TooShort, value.size()));
    const std::uint16_t id = load_be16(value.data());
    const std::uint16_t index = load_be16(value.data() + 2);
    const std::uint16_t cnt = load_be16(value.data() + 4);
    if (index >= cnt) return fail(frag_error(FragError::Kind::IndexOutOfRange, index, cnt));

    purge(now);

    auto it = groups_.find(id);
    if (it == groups_.end()) {
        if (cnt > FRAG_MAX_CNT) return fail(frag_error(FragError::Kind::GroupTooLarge, cnt));
        if (groups_.size() >= FRAG_MAX_GROUPS) evict_oldest();
        Group g;
        g.slots.resize(cnt);
        g.last_activity = now;
        g.cnt = cnt;
        it = groups_.emplace(id, std::move(g)).first;
    }
    Group& g = it->second;
    if (g.cnt != cnt) {
        groups_.erase(it);
        return fail(frag_error(FragError::Kind::CountMismatch, index, cnt));
    }

    const ByteView payload = value.subspan(FRAG_HEADER_LEN);
    // Oversized input is not worth a report: nothing a conforming peer sends looks like it.
    if (payload.size() > FRAG_MAX_PAYLOAD || g.received + payload.size() > FRAG_MAX_FRAME) {
        groups_.erase(it);
        return std::optional<Bytes>();
    }
    auto& slot = g.slots[index];
    if (slot) return fail(frag_error(FragError::Kind::Duplicate, index));
    slot.emplace(payload.begin(), payload.end());
    ++g.got;
    g.received += payload.size();
    g.last_activity = now;
    if (g.got < g.cnt) return std::optional<Bytes>();

    Bytes frame;
    frame.reserve(static_cast<std::size_t>(g.received));
    for (const auto& s : g.slots) frame.insert(frame.end(), s->begin(), s->end());
    groups_.erase(it);

    auto header = parse_header(frame);
    if (!header) {
        FragError e = frag_error(FragError::Kind::HeaderInvalid);
        e.frame_error = header.error();
        return fail(e);
    }
    const std::size_t expected = header->frame_len();
    if (expected != frame.size()) return fail(frag_error(FragError::Kind::LengthMismatch, expected, frame.size()));
    return std::optional<Bytes>(std::move(frame));
}

}  // namespace dovan
