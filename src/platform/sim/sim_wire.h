// The sim radio's two wire forms: advertisement datagrams and GATT stream messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/text.h"
#include "platform/ble.h"

namespace dovan::sim {

inline constexpr std::uint8_t OP_SERVICES = 0x01;
inline constexpr std::uint8_t OP_CHARACTERISTICS = 0x02;
inline constexpr std::uint8_t OP_SUBSCRIBE = 0x03;
inline constexpr std::uint8_t OP_WRITE = 0x04;
inline constexpr std::uint8_t ANSWER_BIT = 0x80;
inline constexpr std::uint8_t OP_NOTIFY = 0x90;

inline constexpr std::size_t kMaxValue = 512;
inline constexpr std::size_t kMaxMessage = 1 + 32 + kMaxValue;  // op + two UUIDs + value

struct Message {
    std::uint8_t op = 0;
    Bytes body;
};

Bytes encode_message(std::uint8_t op, ByteView body);
// Blocking read of one whole message. False on end of stream, a read error, or a length
// outside 1..kMaxMessage (the connection must then be closed).
bool read_message(int fd, Message& out);
bool write_all(int fd, ByteView data);

std::string encode_advertisement(const ble::Advertisement& adv);
std::optional<ble::Advertisement> parse_advertisement(std::string_view datagram);

std::string air_path(const std::string& folder);
// Makes the folder (0700) when it is missing. Whoever can write in it can pose as a radio
// peer, so a folder of another user, or one its group or others may write to, is refused.
Status prepare_radio_folder(const std::string& folder);
std::string gatt_path(const std::string& folder, std::uint64_t address);

// UUID at offset in body (16 bytes); caller checks the size.
ble::Uuid uuid_at(const Bytes& body, std::size_t offset);
void append_uuid(Bytes& out, const ble::Uuid& u);

}  // namespace dovan::sim
