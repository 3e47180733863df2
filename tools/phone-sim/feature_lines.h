// The simulated phone's feature messages: what its stdin commands build, and the one line
// it prints for each business message the PC sends. Text fields use the console's escapes.
//
// Commands:
//   notify <id> <reply 0|1> <package>\t<title>\t<text>[\t<tag>]
//   flood <n> [<package>]                 n notifications, ids 1…n, in one burst
//   dismiss <id> <package>[\t<tag>]
//   ack ok | ack never | ack error [<text>] how replies from the PC are acknowledged
//   ack-id <reply id> <ok 0|1> [<error>]  an acknowledgement of the phone's own choosing
//   clip <text>
//   media <playing 0|1> <position_ms> <duration_ms> <volume> <package>\t<title>\t<artist>\t<album>
//   media-answer on|off                   answer the PC's media commands with a new state
//   battery <level> <charging 0|1> [<ts_ms>]
//   config <key> <value> <scope>[\t<key> <value> <scope>…]
// Lines printed: "rx reply <id>\t<package>\t<tag>\t<notification id>\t<action>\t<result key>\t<text>",
//   "rx clip <text>", "rx media-command <action> <volume> <delta_ms>",
//   "rx config <key> <value> <scope>[\t…]", "rx other <kind>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"
#include "phone.h"
#include "protocol/messages.h"
#include "session/engine_types.h"

namespace dovan::phonesim {

struct FeatureCommand {
    bool matched = false;  // the verb is one of the feature commands
    std::string error;     // set when the command was malformed; nothing else is then set
    std::vector<std::pair<std::uint8_t, Bytes>> messages;
    std::optional<ReplyAck> ack;
    std::string ack_error;
    std::optional<bool> answer_media;
};

FeatureCommand parse_feature_command(std::string_view line, std::uint64_t now_ms);

bool is_business(AppEventKind kind);
std::string received_line(const AppEvent& event);

Bytes reply_ack(const pb::NotificationReply& reply, bool ok, const std::string& error);
Bytes media_answer(const pb::MediaCommand& command, bool playing);
Bytes demo_notification();
Bytes demo_battery(std::uint64_t now_ms);
Bytes demo_media();

}  // namespace dovan::phonesim
