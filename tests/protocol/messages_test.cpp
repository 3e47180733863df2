#include <gtest/gtest.h>

#include "protocol/messages.h"
#include "protocol/tlv_codec.h"

namespace dovan {
namespace {

const Bytes kMsgId = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 9};
const Bytes kSrc = {1, 2, 3, 4, 5, 6, 7, 8};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Envelope, WritesFieldsInOrderAndOmitsDefaults) {
    const Bytes body = {0xAA, 0xBB};
    const Bytes full = encode_envelope(kMsgId, 300, kSrc, body);
    EXPECT_EQ(full, cat({{0x0A, 16}, kMsgId, {0x10, 0xAC, 0x02}, {0x1A, 8}, kSrc, {0x22, 2, 0xAA, 0xBB}}));
    EXPECT_EQ(encode_envelope(kMsgId, 0, kSrc, {}), cat({{0x0A, 16}, kMsgId, {0x1A, 8}, kSrc}));

    // The generated class agrees byte for byte.
    pb::Envelope ref;
    ref.set_msg_id(std::string(kMsgId.begin(), kMsgId.end()));
    ref.set_ts_ms(300);
    ref.set_src(std::string(kSrc.begin(), kSrc.end()));
    ref.set_body("\xAA\xBB");
    EXPECT_EQ(full, encode_message(ref));

    auto env = decode_envelope(full);
    ASSERT_TRUE(env.ok()) << env.error().display();
    EXPECT_EQ(env->msg_id, kMsgId);
    EXPECT_EQ(env->ts_ms, 300u);
    EXPECT_EQ(env->src, kSrc);
    EXPECT_EQ(env->body, body);
}

TEST(Envelope, LargeBodyUsesMultiByteLength) {
    const Bytes body(300000, 0x5A);
    const Bytes enc = encode_envelope(kMsgId, 1733700000000ULL, kSrc, body);
    auto env = decode_envelope(enc);
    ASSERT_TRUE(env.ok());
    EXPECT_EQ(env->body, body);
    EXPECT_EQ(env->ts_ms, 1733700000000ULL);
}

TEST(Envelope, DecodeErrorsInOrder) {
    const Bytes id15(kMsgId.begin(), kMsgId.end() - 1);
    struct Case {
        const char* name;
        Bytes input;
        const char* text;
    } cases[] = {
        {"msg_id 15", cat({{0x0A, 15}, id15, {0x1A, 8}, kSrc}), "msg_id 长度须为 16B（实际 15）"},
        {"empty", {}, "msg_id 长度须为 16B（实际 0）"},
        {"src missing", cat({{0x0A, 16}, kMsgId}), "src 长度须为 8B（实际 0）"},
        {"src 9", cat({{0x0A, 16}, kMsgId, {0x1A, 9}, kSrc, {0}}), "src 长度须为 8B（实际 9）"},
        {"wire error before length checks", cat({{0x0A, 15}, id15, {0x22, 5, 1}}),
         "protobuf 解码失败: failed to decode Protobuf message: Envelope.body: buffer underflow"},
        {"ts as bytes", cat({{0x12, 1, 0}}),
         "protobuf 解码失败: failed to decode Protobuf message: Envelope.ts_ms: invalid wire type: LengthDelimited "
         "(expected Varint)"},
        {"truncated varint", {0x10, 0x80}, "protobuf 解码失败: failed to decode Protobuf message: Envelope.ts_ms: invalid varint"},
        {"tag 0", {0x00, 0x00}, "protobuf 解码失败: failed to decode Protobuf message: Envelope: invalid tag value: 0"},
        {"wire 7", {0x0F}, "protobuf 解码失败: failed to decode Protobuf message: Envelope: invalid wire type value: 7"},
        {"stray end group", {0x2C}, "protobuf 解码失败: failed to decode Protobuf message: Envelope.5: unexpected end group tag"},
    };
    for (const auto& c : cases) {
        auto env = decode_envelope(c.input);
        ASSERT_FALSE(env.ok()) << c.name;
        EXPECT_EQ(env.error().display(), c.text) << c.name;
    }
}

TEST(Envelope, SkipsUnknownFieldsAndTakesLastValue) {
    const Bytes in = cat({{0x28, 0x01},                   // field 5 varint
                          {0x31, 1, 2, 3, 4, 5, 6, 7, 8}, // field 6 fixed64
                          {0x3B, 0x08, 0x01, 0x3C},       // field 7 group holding a varint
                          {0x1A, 8}, Bytes(8, 0xEE),      // src, later overwritten
                          {0x0A, 16}, kMsgId, {0x1A, 8}, kSrc,
                          {0x45, 0, 0, 0, 0}});           // field 8 fixed32
    auto env = decode_envelope(in);
    ASSERT_TRUE(env.ok()) << env.error().display();
    EXPECT_EQ(env->src, kSrc);
    EXPECT_TRUE(env->body.empty());
}

TEST(Messages, AlbumFullRequestIsWrittenPackedAndReadEitherWay) {
    pb::AlbumFullRequest req;
    req.add_ids(1);
    req.add_ids(0x0102030405060708ULL);
    req.add_ids(UINT64_MAX);
    const Bytes packed = encode_album_full_request(req);
    const Bytes want = {0x0A, 24, 1, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(packed, want);

    const Bytes unpacked = {0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0x09, 8, 7, 6, 5, 4, 3, 2, 1,
                            0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const Bytes* in : {&packed, &unpacked}) {
        auto back = decode_album_full_request(*in);
        ASSERT_TRUE(back.ok());
        ASSERT_EQ(back->ids_size(), 3);
        EXPECT_EQ(back->ids(1), 0x0102030405060708ULL);
        EXPECT_EQ(back->ids(2), UINT64_MAX);
    }
}

TEST(Messages, NegativeInt64IsATenByteVarint) {
    pb::MediaCommand cmd;
    cmd.set_action(8);
    cmd.set_volume(40);
    cmd.set_delta_ms(-5000);
    const Bytes enc = encode_media_command(cmd);
    const Bytes want = {0x08, 8, 0x10, 40, 0x18, 0xF8, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_EQ(enc, want);
    auto back = decode_media_command(enc);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->delta_ms(), -5000);
}

TEST(Messages, FieldNumbersAndWireTypesOnTheWire) {
    pb::FileChunk chunk;
    chunk.set_file_id(0x1122334455667788ULL);
    chunk.set_index(3);
    chunk.set_data("xyz");
    chunk.set_crc32(0xFFFFFFFF);
    EXPECT_EQ(encode_file_chunk(chunk), (Bytes{0x09, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x10, 3, 0x1A, 3,
                                               'x', 'y', 'z', 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    pb::MediaState st;
    st.set_speed(1.0f);
    st.set_volume(-1);
    EXPECT_EQ(encode_media_state(st), (Bytes{0x45, 0x00, 0x00, 0x80, 0x3F, 0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_TRUE(encode_file_done(pb::FileDone()).empty());
}

TEST(Messages, RoundTripsNestedAndUnicode) {
    pb::AlbumList list;
    auto* item = list.add_items();
    item->set_id(77);
    item->set_name("照片.jpg");
    item->set_size_bytes(1u << 31);
    item->set_duration_ms(12345);
    list.set_page(2);
    list.set_total(40);
    auto back = decode_album_list(encode_album_list(list));
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->items_size(), 1);
    EXPECT_EQ(back->items(0).name(), "照片.jpg");
    EXPECT_EQ(back->items(0).size_bytes(), 1u << 31);
    EXPECT_EQ(back->total(), 40u);

    pb::ConfigSync sync;
    auto* e = sync.add_entries();
    e->set_key("clipboard");
    e->set_value("1");
    e->set_scope("pc");
    auto sync_back = decode_config_sync(encode_config_sync(sync));
    ASSERT_TRUE(sync_back.ok());
    ASSERT_EQ(sync_back->entries_size(), 1);
    EXPECT_EQ(sync_back->entries(0).scope(), "pc");

    pb::NotificationPush push;
    push.set_package("com.example");
    push.set_text("验证码 123456");
    push.set_can_reply(true);
    push.set_reply_action_index(1);
    push.set_notification_id(-3);
    auto push_back = decode_notification_push(encode_notification_push(push));
    ASSERT_TRUE(push_back.ok());
    EXPECT_EQ(push_back->text(), "验证码 123456");
    EXPECT_EQ(push_back->notification_id(), -3);
    EXPECT_TRUE(push_back->can_reply());
}

TEST(Messages, UnknownFieldsAnywhereAreSkipped) {
    // AlbumList{ items: [AlbumItem{id 5, field 20 = "zz"}], field 9 = 7 }
    const Bytes item = {0x09, 5, 0, 0, 0, 0, 0, 0, 0, 0xA2, 0x01, 2, 'z', 'z'};
    Bytes in = {0x0A, static_cast<std::uint8_t>(item.size())};
    in.insert(in.end(), item.begin(), item.end());
    in.insert(in.end(), {0x48, 7});
    auto back = decode_album_list(in);
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->items_size(), 1);
    EXPECT_EQ(back->items(0).id(), 5u);
}

TEST(Messages, DecodeErrorsNameMessageAndField) {
    Bytes deep;
    // 101 nested AlbumList.items → AlbumItem cannot nest, so nest unknown groups instead.
    for (int i = 0; i < 101; ++i) deep.push_back(0x4B);  // field 9 start group
    for (int i = 0; i < 101; ++i) deep.push_back(0x4C);  // field 9 end group
    struct Case {
        const char* name;
        Result<pb::FileChunk> (*decode)(ByteView);
        Bytes input;
        const char* text;
    } chunk_cases[] = {
        {"data underflow", decode_file_chunk, {0x1A, 5, 'a'},
         "failed to decode Protobuf message: FileChunk.data: buffer underflow"},
        {"file_id short", decode_file_chunk, {0x09, 1, 2}, "failed to decode Protobuf message: FileChunk.file_id: buffer underflow"},
        {"index as fixed64", decode_file_chunk, {0x11, 1, 2, 3, 4, 5, 6, 7, 8},
         "failed to decode Protobuf message: FileChunk.index: invalid wire type: SixtyFourBit (expected Varint)"},
        {"overlong varint", decode_file_chunk, {0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
         "failed to decode Protobuf message: FileChunk.index: invalid varint"},
        {"deep groups", decode_file_chunk, deep, "failed to decode Protobuf message: FileChunk.9: recursion limit reached"},
    };
    for (const auto& c : chunk_cases) {
        auto r = c.decode(c.input);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error().display(), c.text) << c.name;
    }

    const Bytes bad_utf8_item = {0x12, 2, 0xC3, 0x28};
    Bytes list = {0x0A, static_cast<std::uint8_t>(bad_utf8_item.size())};
    list.insert(list.end(), bad_utf8_item.begin(), bad_utf8_item.end());
    auto r = decode_album_list(list);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(),
              "failed to decode Protobuf message: AlbumList.items: AlbumItem.name: invalid string value: data is not "
              "UTF-8 encoded");

    auto packed = decode_album_full_request(Bytes{0x0A, 7, 1, 2, 3, 4, 5, 6, 7});
    ASSERT_FALSE(packed.ok());
    EXPECT_EQ(packed.error().display(), "failed to decode Protobuf message: AlbumFullRequest.ids: buffer underflow");
}

// File chunks are read and written by hand on the transfer path; the generated class is the
// reference for both directions.
TEST(FileChunkInPlace, AgreesWithTheGeneratedClass) {
    const Bytes big(300, 0x5C);
    struct Fields {
        std::uint64_t file_id;
        std::uint32_t index;
        Bytes data;
        std::uint32_t crc32;
    } fields[] = {
        {0, 0, {}, 0},
        {0x5A00000000000001ULL, 0, {1}, 0},
        {1, 127, big, 0xFFFFFFFFu},
        {~0ULL, 0xFFFFFFFFu, {0, 0, 0}, 128},
    };
    for (const auto& f : fields) {
        pb::FileChunk m;
        m.set_file_id(f.file_id);
        m.set_index(f.index);
        m.set_data(f.data.data(), f.data.size());
        m.set_crc32(f.crc32);
        const Bytes reference = encode_message(m);
        EXPECT_EQ(encode_file_chunk(FileChunkView{f.file_id, f.index, f.data, f.crc32}), reference) << f.index;
        auto back = decode_file_chunk_view(reference);
        ASSERT_TRUE(back.ok()) << f.index;
        EXPECT_EQ(back->file_id, f.file_id);
        EXPECT_EQ(back->index, f.index);
        EXPECT_EQ(Bytes(back->data.begin(), back->data.end()), f.data);
        EXPECT_EQ(back->crc32, f.crc32);
    }

    const Bytes inputs[] = {
        // Repeated fields: the last one counts.
        {0x10, 1, 0x1A, 1, 'a', 0x10, 2, 0x1A, 2, 'b', 'c'},
        // Unknown fields of every wire type, a group among them.
        {0x48, 7, 0x51, 1, 2, 3, 4, 5, 6, 7, 8, 0x5D, 1, 2, 3, 4, 0x62, 1, 'z', 0x6B, 0x08, 1, 0x6C, 0x10, 9},
        // A varint index wider than 32 bits keeps its low bits.
        {0x10, 0x81, 0x80, 0x80, 0x80, 0x10},
        // Malformed: each is refused with the generated path's words.
        {0x1A, 5, 'a'},
        {0x09, 1, 2},
        {0x11, 1, 2, 3, 4, 5, 6, 7, 8},
        {0x6B, 0x08, 1},
        {0x00},
    };
    for (const auto& in : inputs) {
        auto reference = decode_file_chunk(in);
        auto view = decode_file_chunk_view(in);
        ASSERT_EQ(view.ok(), reference.ok()) << hex_lower(in);
        if (!reference.ok()) {
            EXPECT_EQ(view.error().display(), reference.error().display()) << hex_lower(in);
            continue;
        }
        EXPECT_EQ(view->file_id, reference->file_id()) << hex_lower(in);
        EXPECT_EQ(view->index, reference->index()) << hex_lower(in);
        EXPECT_EQ(std::string(view->data.begin(), view->data.end()), reference->data()) << hex_lower(in);
        EXPECT_EQ(view->crc32, reference->crc32()) << hex_lower(in);
    }
}

TEST(Messages, FileResumeBodyIsATlvList) {
    const std::vector<TlvRecord> recs = {{TAG_FILE_ID, {0, 0, 0, 0, 0, 0, 0x12, 0x34}}, {TAG_RESUME_FROM, {0, 0, 0, 5}}};
    auto body = encode_tlvs(recs);
    ASSERT_TRUE(body.ok());
    auto env = decode_envelope(encode_envelope(kMsgId, 1, kSrc, *body));
    ASSERT_TRUE(env.ok());
    auto from = find_tlv(env->body, TAG_RESUME_FROM);
    ASSERT_TRUE(from.ok() && from->has_value());
    EXPECT_EQ(**from, (Bytes{0, 0, 0, 5}));
}

}  // namespace
}  // namespace dovan
