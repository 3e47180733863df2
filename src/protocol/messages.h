// Business messages: the Envelope every encrypted business frame carries, and one codec per
// inner message. Decoding is strict about malformed wire data and lenient about unknown
// fields, so either side may add fields later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/text.h"
#include "dovan.pb.h"

namespace dovan {

constexpr std::size_t MSG_ID_LEN = 16;
constexpr std::size_t DEVICE_ID_LEN = 8;
// Same nesting limit the protobuf runtime applies.
constexpr int PROTOBUF_RECURSION_LIMIT = 100;

struct Envelope {
    Bytes msg_id;  // device id (8) + BE message counter (8)
    std::uint64_t ts_ms = 0;
    Bytes src;     // device id (8)
    Bytes body;
};

// The same fields as views into the bytes they were read from.
struct EnvelopeView {
    ByteView msg_id;
    std::uint64_t ts_ms = 0;
    ByteView src;
    ByteView body;
};

// Fields in order 1..4, each only when non-default, into a buffer sized exactly beforehand.
Bytes encode_envelope(ByteView msg_id, std::uint64_t ts_ms, ByteView src, ByteView body);
// Errors, checked in this order: "protobuf 解码失败: …", "msg_id 长度须为 16B（实际 n）",
// "src 长度须为 8B（实际 n）".
Result<Envelope> decode_envelope(ByteView plaintext);
// The same checks and errors without copying: the views live as long as `plaintext`.
Result<EnvelopeView> decode_envelope_view(ByteView plaintext);

// Why `bytes` is not a valid encoding of `type`: "failed to decode Protobuf message: " then the
// message and field path ("FileChunk.data: ") and the fault ("buffer underflow"). Empty when the
// walk finds nothing wrong.
std::string explain_protobuf_error(const google::protobuf::Descriptor* type, ByteView bytes);

template <class M>
Bytes encode_message(const M& message) {
    Bytes out(message.ByteSizeLong());
    if (!out.empty()) message.SerializeWithCachedSizesToArray(out.data());
    return out;
}

// The generated parser quietly files a known field with the wrong wire type (and a few other
// faults) under unknown fields; a peer that sends those is broken, so the wire is checked first.
template <class M>
Result<M> decode_message(ByteView bytes) {
    std::string why = explain_protobuf_error(M::descriptor(), bytes);
    if (!why.empty()) return fail_text(std::move(why));
    M message;
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX) ||
        !message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
        return fail_text("failed to decode Protobuf message: " + M::descriptor()->name() + ": malformed input");
    }
    return message;
}

#define DOVAN_MESSAGE_CODEC(Type, snake)                                                          \
    inline Bytes encode_##snake(const pb::Type& m) { return encode_message(m); }                  \
    inline Result<pb::Type> decode_##snake(ByteView b) { return decode_message<pb::Type>(b); }

// A file chunk read in place: `data` is a view into the bytes it came from. Same checks and
// errors as decode_file_chunk; the chunk's bytes are copied once, by whoever keeps them.
struct FileChunkView {
    std::uint64_t file_id = 0;
    std::uint32_t index = 0;
    ByteView data;
    std::uint32_t crc32 = 0;
};
Result<FileChunkView> decode_file_chunk_view(ByteView bytes);
// The bytes the generated class would write, with the data copied once instead of twice.
Bytes encode_file_chunk(const FileChunkView& chunk);

DOVAN_MESSAGE_CODEC(ClipboardPush, clipboard_push)
DOVAN_MESSAGE_CODEC(NotificationPush, notification_push)
DOVAN_MESSAGE_CODEC(NotificationReply, notification_reply)
DOVAN_MESSAGE_CODEC(NotificationDismiss, notification_dismiss)
DOVAN_MESSAGE_CODEC(NotificationReplyAck, notification_reply_ack)
DOVAN_MESSAGE_CODEC(MediaState, media_state)
DOVAN_MESSAGE_CODEC(MediaCommand, media_command)
DOVAN_MESSAGE_CODEC(DeviceStatus, device_status)
DOVAN_MESSAGE_CODEC(ConfigEntry, config_entry)
DOVAN_MESSAGE_CODEC(ConfigSync, config_sync)
DOVAN_MESSAGE_CODEC(FileMeta, file_meta)
DOVAN_MESSAGE_CODEC(FileChunk, file_chunk)
DOVAN_MESSAGE_CODEC(FileDone, file_done)
DOVAN_MESSAGE_CODEC(FileCancel, file_cancel)
DOVAN_MESSAGE_CODEC(AlbumListRequest, album_list_request)
DOVAN_MESSAGE_CODEC(AlbumItem, album_item)
DOVAN_MESSAGE_CODEC(AlbumList, album_list)
DOVAN_MESSAGE_CODEC(AlbumThumbRequest, album_thumb_request)
DOVAN_MESSAGE_CODEC(AlbumThumb, album_thumb)
DOVAN_MESSAGE_CODEC(AlbumFullRequest, album_full_request)

#undef DOVAN_MESSAGE_CODEC

}  // namespace dovan
