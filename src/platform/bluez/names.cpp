#include "platform/bluez/names.h"

#include "platform/ble.h"

namespace dovan::bluez {
namespace {

std::string joined(std::uint64_t address, char sep) {
    const std::string hex = ble::address_text(address);
    std::string out;
    for (std::size_t i = 0; i < 12; i += 2) {
        if (i) out += sep;
        out += hex.substr(i, 2);
    }
    return out;
}

}  // namespace

std::string device_path(const std::string& adapter, std::uint64_t address) {
    return adapter + "/dev_" + joined(address, '_');
}

std::string colon_address(std::uint64_t address) { return joined(address, ':'); }

bool parse_colon_address(const std::string& text, std::uint64_t& out) {
    if (text.size() != 17) return false;
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
            continue;
        }
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        digits += c;
    }
    return ble::parse_address(digits, out);
}

}  // namespace dovan::bluez
