#include "protocol/tlv_codec.h"

#include "common/bytes.h"

namespace dovan {

std::string TlvError::display() const {
    switch (kind) {
        case Kind::Truncated: return format_text("输入在 offset {} 处截断（声明 len={}）", offset, len);
        case Kind::TagNotFound: return format_text("单独 value 的 tag 未找到 {}", tag);
        case Kind::TooLarge: return format_text("消息总长超限 {}B（上限 {}B）", len, TLV_MAX_ENCODED);
        case Kind::TooManyEntries: return format_text("条目数超限 {} 条（一条消息最多 32 条）", limit);
        case Kind::LengthMismatch: return "声明长度与实际不符";
    }
    return {};
}

std::string TlvError::debug() const {
    switch (kind) {
        case Kind::Truncated: return format_text("Truncated { offset: {}, len: {} }", offset, len);
        case Kind::TagNotFound: return format_text("TagNotFound({})", tag);
        case Kind::TooLarge: return format_text("TooLarge({})", len);
        case Kind::TooManyEntries: return format_text("TooManyEntries({})", limit);
        case Kind::LengthMismatch: return "LengthMismatch";
    }
    return {};
}

Result<Bytes, TlvError> encode_tlvs(std::span<const TlvRecord> records) {
    Bytes out;
    out.reserve(TLV_MAX_ENCODED);
    for (const auto& r : records) {
        if (r.value.size() > TLV_MAX_VALUE) return fail(TlvError::too_large(r.value.size()));
        out.push_back(r.tag);
        out.push_back(static_cast<std::uint8_t>(r.value.size()));
        out.insert(out.end(), r.value.begin(), r.value.end());
        if (out.size() > TLV_MAX_ENCODED) return fail(TlvError::too_large(out.size()));
    }
    return out;
}

Result<std::vector<TlvRecord>, TlvError> decode_tlvs(ByteView input) {
    std::vector<TlvRecord> records;
    ByteReader r(input);
    while (!r.at_end()) {
        const std::size_t at = r.position();
        const auto tag = r.read_u8();
        const auto n = r.read_u8();
        if (!tag || !n) return fail(TlvError::truncated(at, 0));
        const auto value = r.read_bytes(*n);
        if (!value) return fail(TlvError::truncated(at, *n));
        if (records.size() == TLV_MAX_RECORDS) return fail(TlvError::too_many_entries());
        records.push_back({*tag, Bytes(value->begin(), value->end())});
    }
    return records;
}

Result<std::optional<Bytes>, TlvError> find_tlv(ByteView input, std::uint8_t tag) {
    auto records = decode_tlvs(input);
    if (!records) return fail(records.error());
    for (auto& r : *records) {
        if (r.tag == tag) return std::optional<Bytes>(std::move(r.value));
    }
    return std::optional<Bytes>();
}

Bytes single_tlv(std::uint8_t tag) { return Bytes{tag, 0x01, 0x00}; }

}  // namespace dovan
