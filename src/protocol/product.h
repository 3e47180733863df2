// What this program calls itself on the wire and where the phone finds it: one home for
// the names, version, GATT identifiers and LAN port that both ends must agree on.
#pragma once

#include <cstdint>
#include <string_view>

namespace dovan {

// The Dovan GATT service: the PC writes to one characteristic and is notified on the other.
inline constexpr std::string_view kServiceUuid = "44564e00-0000-1000-8000-00805f9b34fb";
inline constexpr std::string_view kWriteCharUuid = "44564e01-0000-1000-8000-00805f9b34fb";
inline constexpr std::string_view kNotifyCharUuid = "44564e02-0000-1000-8000-00805f9b34fb";

// How the PC introduces itself in HELLO and in its discovery beacons; the phone only shows it.
#ifdef _WIN32
inline constexpr std::string_view kPcDeviceName = "Windows-PC";
#else
inline constexpr std::string_view kPcDeviceName = "Linux-PC";
#endif
inline constexpr std::string_view kPcVersion = "0.5.3";
inline constexpr std::uint8_t kPcOs = 2;

// The LAN port of both the TCP channel and the discovery beacons.
inline constexpr std::uint16_t kLanPort = 55676;

}  // namespace dovan
