// decode_envelope and every message decoder; the first byte picks the decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/messages.h"

namespace {

template <class M>
void check(dovan::ByteView in) {
    auto m = dovan::decode_message<M>(in);
    if (!m.ok()) return;
    // Whatever decodes must survive a round trip through our encoder.
    auto again = dovan::decode_message<M>(dovan::encode_message(*m));
    if (!again.ok()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const dovan::ByteView in(data + 1, size - 1);
    namespace pb = dovan::pb;
    switch (data[0] % 22) {
        case 0: {
            auto env = dovan::decode_envelope(in);
            if (env.ok()) {
                auto re = dovan::decode_envelope(dovan::encode_envelope(env->msg_id, env->ts_ms, env->src, env->body));
                if (!re.ok() || re->body != env->body || re->ts_ms != env->ts_ms) std::abort();
            }
            break;
        }
        case 1: check<pb::ClipboardPush>(in); break;
        case 2: check<pb::NotificationPush>(in); break;
        case 3: check<pb::NotificationReply>(in); break;
        case 4: check<pb::NotificationDismiss>(in); break;
        case 5: check<pb::NotificationReplyAck>(in); break;
        case 6: check<pb::MediaState>(in); break;
        case 7: check<pb::MediaCommand>(in); break;
        case 8: check<pb::DeviceStatus>(in); break;
        case 9: check<pb::ConfigEntry>(in); break;
        case 10: check<pb::ConfigSync>(in); break;
        case 11: check<pb::FileMeta>(in); break;
        case 12: check<pb::FileChunk>(in); break;
        case 13: check<pb::FileDone>(in); break;
        case 14: check<pb::FileCancel>(in); break;
        case 15: check<pb::AlbumListRequest>(in); break;
        case 16: check<pb::AlbumItem>(in); break;
        case 17: check<pb::AlbumList>(in); break;
        case 18: check<pb::AlbumThumbRequest>(in); break;
        case 19: check<pb::AlbumThumb>(in); break;
        case 20: check<pb::AlbumFullRequest>(in); break;
        default: check<pb::Envelope>(in); break;
    }
    return 0;
}
