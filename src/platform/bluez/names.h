// How BlueZ names things: device object paths and the colon form of addresses.
#pragma once

#include <cstdint>
#include <string>

namespace dovan::bluez {

// <adapter>/dev_AA_BB_CC_DD_EE_FF
std::string device_path(const std::string& adapter, std::uint64_t address);
// "AA:BB:CC:DD:EE:FF"
std::string colon_address(std::uint64_t address);
// Either case; false on anything else.
bool parse_colon_address(const std::string& text, std::uint64_t& out);

}  // namespace dovan::bluez
