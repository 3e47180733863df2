#include <gtest/gtest.h>

#include "protocol/frame.h"

namespace dovan {
namespace {

Bytes header_bytes(std::uint8_t type, std::uint8_t flags, std::uint32_t seq, std::uint32_t len) {
    FrameHeader h;
    h.type = type;
    h.flags = flags;
    h.seq = seq;
    h.payload_len = len;
    auto a = write_header(h);
    return Bytes(a.begin(), a.end());
}

TEST(FrameHeader, WritesFieldsBigEndianAndParsesBack) {
    const Bytes b = header_bytes(NOTIFICATION_PUSH, FLAG_ENCRYPTED, 0x01020304, 0x000A0B0C);
    EXPECT_EQ(b, (Bytes{0x44, 0x56, 0x01, 0x10, 0x10, 0x01, 0x02, 0x03, 0x04, 0x00, 0x0A, 0x0B, 0x0C}));
    auto h = parse_header(b);
    ASSERT_TRUE(h.ok()) << h.error().display();
    EXPECT_EQ(h->seq, 0x01020304u);
    EXPECT_EQ(h->payload_len, 0x000A0B0Cu);
    EXPECT_EQ(h->type, NOTIFICATION_PUSH);
    EXPECT_EQ(h->flags, FLAG_ENCRYPTED);
    EXPECT_EQ(h->version, 1);
}

TEST(FrameHeader, WriterAlwaysPutsVersionOne) {
    FrameHeader h;
    h.version = 7;
    EXPECT_EQ(write_header(h)[2], 1);
}

TEST(FrameHeader, RejectsWithExactErrorAndText) {
    Bytes magic_ab = header_bytes(HELLO, 0, 0, 0);
    magic_ab[0] = 0x41;
    magic_ab[1] = 0x42;
    Bytes v2 = header_bytes(HELLO, 0, 0, 0);
    v2[2] = 2;
    Bytes both = magic_ab;
    Bytes twelve = header_bytes(HELLO, 0, 0, 0);
    twelve.pop_back();
    both[2] = 9;
    struct Case {
        const char* name;
        Bytes input;
        FrameError error;
        const char* text;
    } cases[] = {
        {"empty", {}, FrameError::too_short(0), "输入不足 0 字节"},
        {"12 bytes", twelve,
         FrameError::too_short(12), "输入不足 12 字节"},
        {"magic AB", magic_ab, FrameError::bad_magic(0x4142), "magic 不匹配（0x4142）"},
        {"magic small", Bytes{0x00, 0x05, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, FrameError::bad_magic(5),
         "magic 不匹配（0x0005）"},
        {"version 2", v2, FrameError::bad_version(2), "协议版本不匹配（0x02）"},
        {"magic before version", both, FrameError::bad_magic(0x4142), "magic 不匹配（0x4142）"},
        {"payload 1048577", header_bytes(FILE_CHUNK, FLAG_ENCRYPTED, 1, 1048577),
         FrameError::payload_too_large(1048577), "payload_len 超出上限 1048577"},
        {"payload max u32", header_bytes(FILE_CHUNK, 0, 1, 0xFFFFFFFF), FrameError::payload_too_large(0xFFFFFFFF),
         "payload_len 超出上限 4294967295"},
    };
    for (const auto& c : cases) {
        auto h = parse_header(c.input);
        ASSERT_FALSE(h.ok()) << c.name;
        EXPECT_EQ(h.error(), c.error) << c.name;
        EXPECT_EQ(h.error().display(), c.text) << c.name;
        auto f = decode_frame(c.input);
        ASSERT_FALSE(f.ok()) << c.name;
        EXPECT_EQ(f.error(), c.error) << c.name;
    }
}

TEST(FrameHeader, AcceptsLargestPayloadLength) {
    auto h = parse_header(header_bytes(FILE_CHUNK, 0, 0, 1048576));
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->payload_len, 1048576u);
}

TEST(DecodeFrame, NeedsHeaderPayloadAndTag) {
    struct Case {
        const char* name;
        std::uint8_t flags;
        std::uint32_t payload_len;
        std::size_t input_len;
        bool ok;
        const char* text;
    } cases[] = {
        {"clear empty", 0, 0, 13, true, ""},
        {"encrypted exact", FLAG_ENCRYPTED, 10, 39, true, ""},
        {"encrypted one short", FLAG_ENCRYPTED, 10, 38, false, "帧长校验失败：需要 39 但只有 38"},
        {"encrypted trailing", FLAG_ENCRYPTED, 10, 45, true, ""},
        {"clear missing payload", 0, 10, 13, false, "帧长校验失败：需要 23 但只有 13"},
        {"clear ignores tag room", 0, 10, 23, true, ""},
    };
    for (const auto& c : cases) {
        Bytes in = header_bytes(CLIPBOARD_PUSH, c.flags, 5, c.payload_len);
        for (std::size_t i = in.size(); i < c.input_len; ++i) in.push_back(static_cast<std::uint8_t>(i));
        auto f = decode_frame(in);
        ASSERT_EQ(f.ok(), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_EQ(f.error().kind, FrameError::Kind::FrameLengthMismatch) << c.name;
            EXPECT_EQ(f.error().display(), c.text) << c.name;
            continue;
        }
        const std::size_t body = c.payload_len + ((c.flags & FLAG_ENCRYPTED) ? 16 : 0);
        EXPECT_EQ(f->payload, Bytes(in.begin() + 13, in.begin() + 13 + static_cast<std::ptrdiff_t>(body))) << c.name;
        EXPECT_EQ(f->header.seq, 5u) << c.name;
    }
}

TEST(EncodeFrame, PayloadMustMatchHeaderLength) {
    FrameHeader h;
    h.type = PAIR_DONE;
    h.flags = FLAG_ENCRYPTED;
    h.seq = 9;
    h.payload_len = 3;
    Bytes sealed(19, 0xAB);
    auto f = encode_frame(h, sealed);
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(f->size(), 32u);
    auto back = decode_frame(*f);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->header, h);
    EXPECT_EQ(back->payload, sealed);

    auto short_by_tag = encode_frame(h, Bytes(3, 0));
    ASSERT_FALSE(short_by_tag.ok());
    EXPECT_EQ(short_by_tag.error().display(), "帧长校验失败：需要 19 但只有 3");

    h.flags = 0;
    auto clear_with_tag = encode_frame(h, sealed);
    ASSERT_FALSE(clear_with_tag.ok());
    EXPECT_EQ(clear_with_tag.error(), FrameError::length_mismatch(3, 19));
}

TEST(EncodeFrame, RefusesLengthThePeerWouldReject) {
    FrameHeader h;
    h.type = FILE_CHUNK;
    h.payload_len = 1048577;
    auto f = encode_frame(h, Bytes(1048577, 0));
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error(), FrameError::payload_too_large(1048577));
}

TEST(FrameTypes, ClassesFollowTheTable) {
    int known = 0;
    for (int t = 0; t < 256; ++t) {
        const auto type = static_cast<std::uint8_t>(t);
        if (is_known_frame_type(type)) ++known;
        if (is_clear_frame_type(type) || is_tcp_only_frame_type(type)) {
            EXPECT_TRUE(is_known_frame_type(type)) << t;
        }
    }
    EXPECT_EQ(known, 27);
    EXPECT_EQ(frame_type_name(0x64), "ALBUM_FULL_REQUEST");
    EXPECT_EQ(frame_type_name(0x0A), "");
    EXPECT_TRUE(is_clear_frame_type(HEARTBEAT));
    EXPECT_FALSE(is_clear_frame_type(IDENTITY));
    EXPECT_TRUE(is_tcp_only_frame_type(ALBUM_THUMB_REQUEST));
    EXPECT_FALSE(is_tcp_only_frame_type(ALBUM_THUMB));
}

}  // namespace
}  // namespace dovan
