#include "protocol/messages.h"

#include <optional>
#include <string_view>

#include "common/bytes.h"

namespace dovan {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

enum WireType : std::uint8_t { VARINT = 0, I64 = 1, LEN = 2, SGROUP = 3, EGROUP = 4, I32 = 5 };

const char* wire_type_name(std::uint64_t w) {
    switch (w) {
        case VARINT: return "Varint";
        case I64: return "SixtyFourBit";
        case LEN: return "LengthDelimited";
        case SGROUP: return "StartGroup";
        case EGROUP: return "EndGroup";
        case I32: return "ThirtyTwoBit";
    }
    return "?";
}

// Walks raw wire data; every read is bounds-checked and leaves a fault text on failure.
struct WireReader {
    ByteView in;
    std::size_t pos = 0;
    std::string fault;

    bool at_end() const { return pos >= in.size(); }

    bool varint(std::uint64_t& out) {
        out = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos >= in.size()) return set("invalid varint");
            const std::uint8_t b = in[pos++];
            if (i == 9 && b > 1) return set("invalid varint");
            out |= std::uint64_t{b & 0x7Fu} << (7 * i);
            if ((b & 0x80) == 0) return true;
        }
        return set("invalid varint");
    }

    // Reads a field key; fills the field number and wire type.
    bool key(std::uint32_t& number, std::uint8_t& wire) {
        std::uint64_t k = 0;
        if (!varint(k)) return false;
        if (k > 0xFFFFFFFFull) return set(format_text("invalid key value: {}", k));
        wire = static_cast<std::uint8_t>(k & 7);
        if (wire > I32) return set(format_text("invalid wire type value: {}", wire));
        number = static_cast<std::uint32_t>(k >> 3);
        if (number == 0) return set("invalid tag value: 0");
        return true;
    }

    bool skip(std::size_t n) {
        if (in.size() - pos < n) return set("buffer underflow");
        pos += n;
        return true;
    }

    bool delimited(ByteView& out) {
        std::uint64_t n = 0;
        if (!varint(n)) return false;
        if (n > in.size() - pos) return set("buffer underflow");
        out = in.subspan(pos, static_cast<std::size_t>(n));
        pos += static_cast<std::size_t>(n);
        return true;
    }

    // Skips the value of a field nobody here knows; groups are skipped to their end tag.
    bool skip_value(std::uint32_t number, std::uint8_t wire, int depth) {
        switch (wire) {
            case VARINT: {
                std::uint64_t v;
                return varint(v);
            }
            case I64: return skip(8);
            case I32: return skip(4);
            case LEN: {
                ByteView v;
                return delimited(v);
            }
            case SGROUP: {
                if (depth >= PROTOBUF_RECURSION_LIMIT) return set("recursion limit reached");
                for (;;) {
                    if (at_end()) return set("buffer underflow");
                    std::uint32_t n;
                    std::uint8_t w;
                    if (!key(n, w)) return false;
                    if (w == EGROUP) return n == number ? true : set("unexpected end group tag");
                    if (!skip_value(n, w, depth + 1)) return false;
                }
            }
            default: return set("unexpected end group tag");
        }
    }

    bool set(std::string text) {
        fault = std::move(text);
        return false;
    }
};

void put_varint(std::uint8_t*& p, std::uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(v);
}

std::size_t varint_len(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

std::uint8_t expected_wire(const FieldDescriptor* f) {
    switch (f->type()) {
        case FieldDescriptor::TYPE_DOUBLE:
        case FieldDescriptor::TYPE_FIXED64:
        case FieldDescriptor::TYPE_SFIXED64: return I64;
        case FieldDescriptor::TYPE_FLOAT:
        case FieldDescriptor::TYPE_FIXED32:
        case FieldDescriptor::TYPE_SFIXED32: return I32;
        case FieldDescriptor::TYPE_STRING:
        case FieldDescriptor::TYPE_BYTES:
        case FieldDescriptor::TYPE_MESSAGE: return LEN;
        case FieldDescriptor::TYPE_GROUP: return SGROUP;
        default: return VARINT;
    }
}

// Finds the first fault in `bytes` read as `type`; `path` collects "Message.field: " entries.
bool walk(const Descriptor* type, ByteView bytes, int depth, std::string& path, std::string& fault) {
    WireReader r{bytes, 0, {}};
    while (!r.at_end()) {
        std::uint32_t number;
        std::uint8_t wire;
        if (!r.key(number, wire)) {
            path += type->name() + ": ";
            fault = r.fault;
            return false;
        }
        const FieldDescriptor* f = type->FindFieldByNumber(static_cast<int>(number));
        auto fail_at = [&](std::string text) {
            path += type->name() + "." + (f ? f->name() : std::to_string(number)) + ": ";
            fault = std::move(text);
            return false;
        };
        if (wire == EGROUP) return fail_at("unexpected end group tag");
        if (f == nullptr) {
            if (!r.skip_value(number, wire, depth)) return fail_at(r.fault);
            continue;
        }
        const std::uint8_t want = expected_wire(f);
        const bool packed_ok = f->is_repeated() && want != LEN && wire == LEN;
        if (wire != want && !packed_ok) {
            return fail_at(format_text("invalid wire type: {} (expected {})", wire_type_name(wire), wire_type_name(want)));
        }
        if (packed_ok) {
            ByteView v;
            if (!r.delimited(v)) return fail_at(r.fault);
            WireReader p{v, 0, {}};
            const std::size_t width = want == I64 ? 8 : want == I32 ? 4 : 0;
            if (width != 0 && v.size() % width != 0) return fail_at("buffer underflow");
            while (width == 0 && !p.at_end()) {
                std::uint64_t x;
                if (!p.varint(x)) return fail_at(p.fault);
            }
            continue;
        }
        if (want != LEN) {
            if (!r.skip_value(number, wire, depth)) return fail_at(r.fault);
            continue;
        }
        ByteView v;
        if (!r.delimited(v)) return fail_at(r.fault);
        if (f->type() == FieldDescriptor::TYPE_STRING && !utf8_valid(as_text(v))) {
            return fail_at("invalid string value: data is not UTF-8 encoded");
        }
        if (f->type() == FieldDescriptor::TYPE_MESSAGE) {
            if (depth + 1 >= PROTOBUF_RECURSION_LIMIT) return fail_at("recursion limit reached");
            const std::size_t mark = path.size();
            path += type->name() + "." + f->name() + ": ";
            if (!walk(f->message_type(), v, depth + 1, path, fault)) return false;
            path.resize(mark);
        }
    }
    return true;
}

}  // namespace

std::string explain_protobuf_error(const Descriptor* type, ByteView bytes) {
    std::string path;
    std::string fault;
    if (walk(type, bytes, 0, path, fault)) return {};
    return "failed to decode Protobuf message: " + path + fault;
}

// `room` more bytes are reserved behind the head for whoever appends the body.
static Bytes envelope_head(ByteView msg_id, std::uint64_t ts_ms, ByteView src, std::size_t body_len,
                           std::size_t room);

Bytes encode_envelope(ByteView msg_id, std::uint64_t ts_ms, ByteView src, ByteView body) {
    Bytes out = envelope_head(msg_id, ts_ms, src, body.size(), body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes encode_envelope_head(ByteView msg_id, std::uint64_t ts_ms, ByteView src, std::size_t body_len) {
    return envelope_head(msg_id, ts_ms, src, body_len, 0);
}

static Bytes envelope_head(ByteView msg_id, std::uint64_t ts_ms, ByteView src, std::size_t body_len,
                           std::size_t room) {
    auto len_field = [](std::size_t n) { return n == 0 ? 0 : 1 + varint_len(n) + n; };
    const std::size_t total = len_field(msg_id.size()) + (ts_ms ? 1 + varint_len(ts_ms) : 0) +
                              len_field(src.size()) + (body_len ? 1 + varint_len(body_len) : 0);
    Bytes out;
    out.reserve(total + room);
    auto put_key_varint = [&out](std::uint8_t key, std::uint64_t v) {
        std::uint8_t buf[11];
        std::uint8_t* p = buf;
        *p++ = key;
        put_varint(p, v);
        out.insert(out.end(), buf, p);
    };
    auto put_bytes = [&](std::uint8_t key, ByteView v) {
        if (v.empty()) return;
        put_key_varint(key, v.size());
        out.insert(out.end(), v.begin(), v.end());
    };
    put_bytes(0x0A, msg_id);
    if (ts_ms != 0) put_key_varint(0x10, ts_ms);
    put_bytes(0x1A, src);
    if (body_len != 0) put_key_varint(0x22, body_len);
    invariant(out.size() == total, "Envelope 预先计算的长度与写入长度一致");
    return out;
}

FileChunkFraming::FileChunkFraming(const FileChunkView& chunk) {
    invariant(chunk.data.size() <= 0xFFFFFFFFu, "分块数据不超过 4 GiB");
    std::uint8_t* p = head_.data();
    if (chunk.file_id) {
        *p++ = 0x09;
        store_le64(p, chunk.file_id);
        p += 8;
    }
    if (chunk.index) {
        *p++ = 0x10;
        put_varint(p, chunk.index);
    }
    if (!chunk.data.empty()) {
        *p++ = 0x1A;
        put_varint(p, chunk.data.size());
    }
    head_len_ = static_cast<std::size_t>(p - head_.data());
    std::uint8_t* t = tail_.data();
    if (chunk.crc32) {
        *t++ = 0x20;
        put_varint(t, chunk.crc32);
    }
    tail_len_ = static_cast<std::size_t>(t - tail_.data());
}

Bytes encode_file_chunk(const FileChunkView& chunk) {
    // Appended piece by piece: the data is never zero-filled first.
    const FileChunkFraming framing(chunk);
    Bytes out;
    out.reserve(framing.head().size() + chunk.data.size() + framing.tail().size());
    out.assign(framing.head().begin(), framing.head().end());
    out.insert(out.end(), chunk.data.begin(), chunk.data.end());
    out.insert(out.end(), framing.tail().begin(), framing.tail().end());
    return out;
}

Result<EnvelopeView> decode_envelope_view(ByteView plaintext) {
    // Read by hand rather than through the generated class: the body can be a whole file
    // chunk, and this way it is not copied at all.
    EnvelopeView env;
    WireReader r{plaintext, 0, {}};
    ByteView msg_id, src, body;
    std::string fault;
    while (!r.at_end() && fault.empty()) {
        std::uint32_t number;
        std::uint8_t wire;
        if (!r.key(number, wire)) {
            fault = "Envelope: " + r.fault;
            break;
        }
        static constexpr const char* names[] = {"", "msg_id", "ts_ms", "src", "body"};
        const bool known = number >= 1 && number <= 4;
        const std::uint8_t want = number == 2 ? VARINT : LEN;
        auto at = [&](const std::string& text) {
            fault = std::string("Envelope.") + (known ? names[number] : std::to_string(number).c_str()) + ": " + text;
        };
        if (wire == EGROUP) {
            at("unexpected end group tag");
        } else if (!known) {
            if (!r.skip_value(number, wire, 0)) at(r.fault);
        } else if (wire != want) {
            at(format_text("invalid wire type: {} (expected {})", wire_type_name(wire), wire_type_name(want)));
        } else if (number == 2) {
            if (!r.varint(env.ts_ms)) at(r.fault);
        } else {
            ByteView v;
            if (!r.delimited(v)) {
                at(r.fault);
            } else {
                (number == 1 ? msg_id : number == 3 ? src : body) = v;
            }
        }
    }
    if (!fault.empty()) return fail_text(format_text("protobuf 解码失败: {}", "failed to decode Protobuf message: " + fault));
    if (msg_id.size() != MSG_ID_LEN) return fail_text(format_text("msg_id 长度须为 16B（实际 {}）", msg_id.size()));
    if (src.size() != DEVICE_ID_LEN) return fail_text(format_text("src 长度须为 8B（实际 {}）", src.size()));
    env.msg_id = msg_id;
    env.src = src;
    env.body = body;
    return env;
}

Result<FileChunkView> decode_file_chunk_view(ByteView bytes) {
    // The generic checks first, so a malformed chunk is refused with the same words as any
    // other message; what passes them is well formed and is read in place.
    std::string why = explain_protobuf_error(pb::FileChunk::descriptor(), bytes);
    if (!why.empty()) return fail_text(std::move(why));
    FileChunkView chunk;
    WireReader r{bytes, 0, {}};
    while (!r.at_end()) {
        std::uint32_t number;
        std::uint8_t wire;
        if (!r.key(number, wire)) break;
        bool ok = true;
        std::uint64_t v = 0;
        if (number == 1 && wire == I64) {
            ok = r.in.size() - r.pos >= 8;
            if (ok) {
                // Fixed-width fields are little-endian on this wire.
                chunk.file_id = load_le64(r.in.data() + r.pos);
                r.pos += 8;
            }
        } else if ((number == 2 || number == 4) && wire == VARINT) {
            ok = r.varint(v);
            // As the generated parser does: a wider value keeps its low 32 bits.
            (number == 2 ? chunk.index : chunk.crc32) = static_cast<std::uint32_t>(v);
        } else if (number == 3 && wire == LEN) {
            ok = r.delimited(chunk.data);
        } else {
            ok = r.skip_value(number, wire, 0);
        }
        if (!ok) break;
    }
    if (!r.fault.empty()) return fail_text("failed to decode Protobuf message: FileChunk: " + r.fault);
    return chunk;
}

Result<Envelope> decode_envelope(ByteView plaintext) {
    auto view = decode_envelope_view(plaintext);
    if (!view) return fail(std::move(view.error()));
    Envelope env;
    env.msg_id.assign(view->msg_id.begin(), view->msg_id.end());
    env.ts_ms = view->ts_ms;
    env.src.assign(view->src.begin(), view->src.end());
    env.body.assign(view->body.begin(), view->body.end());
    return env;
}

}  // namespace dovan
