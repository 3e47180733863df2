#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "protocol/ble_frag.h"
#include "protocol/tlv_codec.h"

namespace dovan {
namespace {

const Instant T0 = Instant{} + std::chrono::hours(1);

FrameHeader header(std::uint8_t type, std::uint32_t len, std::uint8_t flags = 0, std::uint32_t seq = 0) {
    FrameHeader h;
    h.type = type;
    h.flags = flags;
    h.seq = seq;
    h.payload_len = len;
    return h;
}

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return b;
}

Bytes fragment(std::uint16_t group, std::uint16_t index, std::uint16_t cnt, ByteView payload) {
    Bytes f = {static_cast<std::uint8_t>(group >> 8), static_cast<std::uint8_t>(group),
               static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index),
               static_cast<std::uint8_t>(cnt >> 8),   static_cast<std::uint8_t>(cnt)};
    f.resize(6 + payload.size());
    std::copy(payload.begin(), payload.end(), f.begin() + 6);
    return f;
}

Bytes frame_bytes(const FrameHeader& h, ByteView payload) {
    auto f = encode_frame(h, payload);
    EXPECT_TRUE(f.ok());
    return *f;
}

TEST(BleFragmenter, CutsAtTheMtuBudget) {
    struct Case {
        std::size_t mtu;
        std::size_t frame_len;
        std::vector<std::size_t> payload_sizes;
    } cases[] = {
        {23, 20, {14, 6}},
        {23, 13, {13}},
        {10, 15, std::vector<std::size_t>(15, 1)},
        {185, 13 + 400, {176, 176, 61}},
        {517, 13 + 1000, {506, 506, 1}},
        {600, 13 + 1000, {506, 506, 1}},
    };
    for (const auto& c : cases) {
        BleFragmenter frag;
        std::deque<Bytes> q;
        const Bytes payload = pattern(c.frame_len - 13);
        const auto h = header(CLIPBOARD_PUSH, static_cast<std::uint32_t>(payload.size()));
        ASSERT_TRUE(frag.push_frame(h, payload, c.mtu, q).ok()) << c.mtu;
        ASSERT_EQ(q.size(), c.payload_sizes.size()) << c.mtu;
        Bytes joined;
        for (std::size_t i = 0; i < q.size(); ++i) {
            const auto& f = q[i];
            ASSERT_EQ(f.size(), 6 + c.payload_sizes[i]) << c.mtu << " #" << i;
            EXPECT_EQ(f[0] << 8 | f[1], 0) << c.mtu;
            EXPECT_EQ(static_cast<std::size_t>(f[2] << 8 | f[3]), i);
            EXPECT_EQ(static_cast<std::size_t>(f[4] << 8 | f[5]), q.size());
            joined.insert(joined.end(), f.begin() + 6, f.end());
        }
        EXPECT_EQ(joined, frame_bytes(h, payload)) << c.mtu;
    }
}

TEST(BleFragmenter, FailuresAppendNothing) {
    struct Case {
        const char* name;
        FrameHeader h;
        std::size_t payload;
        std::size_t mtu;
        const char* context;
        std::uint16_t next_group_after;
    } cases[] = {
        {"mtu 9", header(HELLO, 4), 4, 9, "分片失败: MTU 过小，单包载荷为 0（mtu=9）", 1},
        {"mtu 0", header(HELLO, 4), 4, 0, "分片失败: MTU 过小，单包载荷为 0（mtu=0）", 1},
        {"65536 fragments", header(FILE_CHUNK, 65536 - 13 + 1), 65536 - 13 + 1, 10, "分片失败: 分片数超 u16 上限（65537 片）",
         1},
        {"tag missing", header(PAIR_DONE, 4, FLAG_ENCRYPTED), 4, 23, "组帧失败: 帧长校验失败：需要 20 但只有 4", 0},
    };
    for (const auto& c : cases) {
        BleFragmenter frag;
        std::deque<Bytes> q = {Bytes{1, 2, 3}};
        auto r = frag.push_frame(c.h, pattern(c.payload), c.mtu, q);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error().context(), c.context) << c.name;
        EXPECT_EQ(q.size(), 1u) << c.name;
        EXPECT_EQ(frag.next_group(), c.next_group_after) << c.name;
    }
}

TEST(BleFragmenter, GroupCounterWrapsAndFramesStayContiguous) {
    BleFragmenter frag;
    frag.set_next_group(65535);
    std::deque<Bytes> q;
    ASSERT_TRUE(frag.push_frame(header(CLIPBOARD_PUSH, 20), pattern(20), 23, q).ok());
    ASSERT_TRUE(frag.push_encoded(frame_bytes(header(HEARTBEAT, 3), single_tlv(TAG_PING)), 23, q).ok());
    ASSERT_EQ(q.size(), 5u);  // 33 bytes in three fragments, then 16 bytes in two
    const std::uint16_t groups[] = {65535, 65535, 65535, 0, 0};
    for (std::size_t i = 0; i < q.size(); ++i) EXPECT_EQ(q[i][0] << 8 | q[i][1], groups[i]) << i;
    EXPECT_EQ(frag.next_group(), 1);
}

TEST(BleFragmenter, EncodedFrameMustBeWhole) {
    BleFragmenter frag;
    std::deque<Bytes> q;
    Bytes f = frame_bytes(header(HEARTBEAT, 3), single_tlv(TAG_PING));
    f.pop_back();
    auto r = frag.push_encoded(f, 23, q);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().context(), "组帧失败: 帧长校验失败：需要 16 但只有 15");
    auto empty = frag.push_encoded({}, 23, q);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().context(), "组帧失败: 输入不足 0 字节");
    EXPECT_TRUE(q.empty());
}

// Feeds fragments and returns the frames completed along the way.
struct Feed {
    BleReassembler r;
    std::vector<Bytes> frames;
    std::vector<std::string> errors;
    void take(ByteView v, Instant now) {
        auto out = r.take(v, now);
        if (!out.ok()) {
            errors.push_back(out.error().context());
        } else if (out->has_value()) {
            frames.push_back(**out);
        }
    }
};

TEST(BleReassembler, RoundTripsAtBothMtusInAnyOrder) {
    for (std::size_t mtu : {23u, 185u}) {
        BleFragmenter frag;
        std::deque<Bytes> q;
        const Bytes sealed = pattern(700 + 16);
        const auto h = header(FILE_CHUNK, 700, FLAG_ENCRYPTED, 42);
        ASSERT_TRUE(frag.push_frame(h, sealed, mtu, q).ok());
        std::vector<Bytes> frags(q.begin(), q.end());
        std::mt19937 rng(static_cast<unsigned>(mtu));
        std::shuffle(frags.begin(), frags.end(), rng);
        Feed feed;
        for (const auto& f : frags) feed.take(f, T0);
        EXPECT_TRUE(feed.errors.empty()) << mtu;
        ASSERT_EQ(feed.frames.size(), 1u) << mtu;
        EXPECT_EQ(feed.frames[0], frame_bytes(h, sealed)) << mtu;
        EXPECT_EQ(feed.r.group_count(), 0u);
    }
}

TEST(BleReassembler, ReverseOrderAndInterleavedGroups) {
    const Bytes a = frame_bytes(header(HELLO, 20), pattern(20));  // 33 bytes
    const Bytes b = frame_bytes(header(BIND, 2), pattern(2));     // 15 bytes
    auto slice = [](const Bytes& f, std::size_t i) {
        return ByteView(f).subspan(i * 14, std::min<std::size_t>(14, f.size() - i * 14));
    };
    Feed feed;
    feed.take(fragment(7, 2, 3, slice(a, 2)), T0);
    feed.take(fragment(8, 1, 2, slice(b, 1)), T0);
    feed.take(fragment(7, 0, 3, slice(a, 0)), T0);
    feed.take(fragment(8, 0, 2, slice(b, 0)), T0);
    feed.take(fragment(7, 1, 3, slice(a, 1)), T0);
    EXPECT_TRUE(feed.errors.empty());
    ASSERT_EQ(feed.frames.size(), 2u);
    EXPECT_EQ(feed.frames[0], b);
    EXPECT_EQ(feed.frames[1], a);
}

TEST(BleReassembler, LearnsMtuFromLongestValue) {
    BleReassembler r;
    struct Step {
        std::size_t len;
        std::size_t mtu_after;
    } steps[] = {{5, 23}, {200, 200}, {100, 200}, {600, 517}, {300, 517}};
    for (const auto& s : steps) {
        // Even a value that is then dropped teaches the MTU.
        (void)r.take(Bytes(s.len, 0xFF), T0);
        EXPECT_EQ(r.mtu(), s.mtu_after) << s.len;
    }
}

TEST(BleReassembler, ReportsMalformedFragments) {
    struct Case {
        const char* name;
        Bytes value;
        const char* context;
    } cases[] = {
        {"5 bytes", Bytes(5, 0), "BLE 分片错误: 分片包不足 5 字节"},
        {"index = cnt", fragment(1, 3, 3, {}), "BLE 分片错误: 分片索引 3 越界（cnt=3）"},
        {"cnt 0", fragment(1, 0, 0, {}), "BLE 分片错误: 分片索引 0 越界（cnt=0）"},
        {"cnt 2073", fragment(1, 0, 2073, Bytes(10, 0)), "BLE 分片错误: 分组声明大小超上限（cnt=2073 per=506）"},
    };
    for (const auto& c : cases) {
        Feed feed;
        feed.take(c.value, T0);
        ASSERT_EQ(feed.errors.size(), 1u) << c.name;
        EXPECT_EQ(feed.errors[0], c.context) << c.name;
        EXPECT_EQ(feed.r.group_count(), 0u) << c.name;
    }
    Feed feed;
    feed.take(fragment(1, 0, 2072, Bytes(10, 0)), T0);
    EXPECT_TRUE(feed.errors.empty());
    EXPECT_TRUE(feed.r.has_group(1));
}

TEST(BleReassembler, DuplicateLeavesGroupIntact) {
    const Bytes f = frame_bytes(header(HELLO, 20), pattern(20));
    const ByteView v(f);
    Feed feed;
    feed.take(fragment(3, 1, 3, v.subspan(14, 14)), T0);
    feed.take(fragment(3, 1, 3, Bytes(14, 0xEE)), T0 + std::chrono::seconds(4));
    ASSERT_EQ(feed.errors, std::vector<std::string>{"BLE 分片错误: 重复分片 1"});
    // The duplicate did not refresh the group: 5 s after the first copy it is gone.
    feed.take(fragment(3, 0, 3, v.subspan(0, 14)), T0 + std::chrono::seconds(5));
    feed.take(fragment(3, 2, 3, v.subspan(28)), T0 + std::chrono::seconds(5));
    EXPECT_TRUE(feed.frames.empty());
    // Within the idle time the first copy is kept and the frame completes intact.
    Feed again;
    again.take(fragment(3, 1, 3, v.subspan(14, 14)), T0);
    again.take(fragment(3, 1, 3, Bytes(14, 0xEE)), T0);
    again.take(fragment(3, 0, 3, v.subspan(0, 14)), T0);
    again.take(fragment(3, 2, 3, v.subspan(28)), T0);
    ASSERT_EQ(again.frames.size(), 1u);
    EXPECT_EQ(again.frames[0], f);
}

TEST(BleReassembler, CountMismatchDestroysGroup) {
    Feed feed;
    feed.take(fragment(9, 0, 3, Bytes(14, 1)), T0);
    feed.take(fragment(9, 2, 4, Bytes(14, 1)), T0);
    ASSERT_EQ(feed.errors, std::vector<std::string>{"BLE 分片错误: 分组计数不一致（收到 2 但 cnt=4）"});
    EXPECT_FALSE(feed.r.has_group(9));
}

TEST(BleReassembler, IdleGroupsArePurged) {
    const Bytes f = frame_bytes(header(HELLO, 20), pattern(20));
    const ByteView v(f);
    struct Case {
        const char* name;
        Duration gap;
        bool completes;
    } cases[] = {
        {"4.999 s", std::chrono::milliseconds(4999), true},
        {"5 s", std::chrono::seconds(5), false},
        {"clock went back", -std::chrono::seconds(10), true},
    };
    for (const auto& c : cases) {
        Feed feed;
        feed.take(fragment(4, 0, 3, v.subspan(0, 14)), T0);
        feed.take(fragment(4, 1, 3, v.subspan(14, 14)), T0);
        feed.take(fragment(4, 2, 3, v.subspan(28)), T0 + c.gap);
        EXPECT_TRUE(feed.errors.empty()) << c.name;
        EXPECT_EQ(feed.frames.size(), c.completes ? 1u : 0u) << c.name;
        // A purged group's late fragment starts a fresh group that waits for the rest.
        EXPECT_EQ(feed.r.has_group(4), !c.completes) << c.name;
    }
}

TEST(BleReassembler, ThirtyThirdGroupEvictsLeastRecentlyActive) {
    Feed feed;
    for (std::uint16_t g = 0; g < 32; ++g) {
        // Group 5 is the oldest; every other group is touched later.
        const Instant at = g == 5 ? T0 : T0 + std::chrono::milliseconds(100 + g);
        feed.take(fragment(g, 0, 2, Bytes(3, 0)), at);
    }
    ASSERT_EQ(feed.r.group_count(), 32u);
    feed.take(fragment(100, 0, 2, Bytes(3, 0)), T0 + std::chrono::seconds(1));
    EXPECT_EQ(feed.r.group_count(), 32u);
    EXPECT_FALSE(feed.r.has_group(5));
    EXPECT_TRUE(feed.r.has_group(4));
    EXPECT_TRUE(feed.r.has_group(100));
    EXPECT_TRUE(feed.errors.empty());
}

TEST(BleReassembler, OversizeIsDroppedSilently) {
    Feed feed;
    feed.take(fragment(1, 0, 2, Bytes(10, 0)), T0);
    feed.take(fragment(1, 1, 2, Bytes(507, 0)), T0);
    EXPECT_FALSE(feed.r.has_group(1));
    feed.take(fragment(2, 0, 2, Bytes(506, 0)), T0);
    EXPECT_TRUE(feed.r.has_group(2));

    EXPECT_TRUE(feed.errors.empty());
}

TEST(BleReassembler, CompletedFrameIsCheckedAgainstItsHeader) {
    Bytes bad_magic = frame_bytes(header(HELLO, 1), Bytes{0});
    bad_magic[0] = 'X';
    Bytes long_by_one = frame_bytes(header(HELLO, 1), Bytes{0});
    long_by_one.push_back(0);
    struct Case {
        const char* name;
        Bytes frame;
        const char* context;
    } cases[] = {
        {"bad magic", bad_magic, "BLE 分片错误: 重组完成但帧头校验失败: magic 不匹配（0x5856）"},
        {"short", Bytes(8, 0x44), "BLE 分片错误: 重组完成但帧头校验失败: 输入不足 8 字节"},
        {"trailing byte", long_by_one, "BLE 分片错误: 重组长度与帧头不符（header=14 实际=15）"},
    };
    for (const auto& c : cases) {
        Feed feed;
        feed.take(fragment(2, 0, 1, c.frame), T0);
        ASSERT_EQ(feed.errors.size(), 1u) << c.name;
        EXPECT_EQ(feed.errors[0], c.context) << c.name;
        EXPECT_TRUE(feed.frames.empty()) << c.name;
        EXPECT_EQ(feed.r.group_count(), 0u) << c.name;
    }
}

}  // namespace
}  // namespace dovan
