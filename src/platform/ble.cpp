#include "platform/ble.h"

namespace dovan::ble {

Result<Uuid> Uuid::parse(std::string_view text) {
    std::string digits;
    digits.reserve(32);
    for (char c : text)
        if (c != '-') digits += c;
    Bytes raw;
    if (digits.size() != 32 || !parse_hex(digits, raw))
        return fail_text("UUID 必须是 32 位十六进制数字: " + std::string(text));
    Uuid u;
    std::copy(raw.begin(), raw.end(), u.bytes.begin());
    return u;
}

std::string Uuid::text() const {
    std::string hex = hex_lower(bytes);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

GattStatus gatt_status_from_byte(std::uint8_t b) {
    return b <= 3 ? static_cast<GattStatus>(b) : GattStatus::Unknown;
}

std::string_view gatt_status_name(GattStatus s) {
    switch (s) {
        case GattStatus::Success: return "Success";
        case GattStatus::Unreachable: return "Unreachable";
        case GattStatus::ProtocolError: return "ProtocolError";
        case GattStatus::AccessDenied: return "AccessDenied";
        default: return "Unknown";
    }
}

std::string address_text(std::uint64_t address) { return hex_upper(address & 0xFFFFFFFFFFFFULL, 12); }

bool parse_address(std::string_view text, std::uint64_t& address) {
    if (text.size() != 12) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    address = v;
    return true;
}

}  // namespace dovan::ble
