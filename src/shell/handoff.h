// Hand-off messages from later starts of the program (and from other programs of the same
// user, such as a file manager or a notification button): the raw bytes of one text, no
// length, no terminator, no reply.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "shell/activation.h"

namespace dovan {

// NUL + "show": bring the window to the front. A text beginning with "dovan://" is a
// notification button; any other text is the path of a file to send.
inline constexpr std::string_view kShowRequest{"\0show", 5};
inline constexpr std::size_t kHandoffLimit = 4096;

struct HandoffHost {
    ActivationHost activation;  // its show_window also serves the show request
    // The desktop lets the user confirm a handed-over file in the send box; the console has
    // no such box and queues the file as its `send` command would.
    bool queue_files = false;
};

enum class HandoffOutcome : std::uint8_t {
    Ignored,       // empty after trimming
    Shown,
    Activation,    // handed to handle_activation, whatever it decided
    FileAccepted,
    FileRejected,  // not a readable regular file of this machine
    TransfersOff,  // the file-transfer module is not loaded
};

// Decodes (broken UTF-8 replaced), trims and carries out one message.
HandoffOutcome dispatch_handoff(std::string_view bytes, const HandoffHost& host);

// A regular file this process can open for reading: not a folder, link, FIFO or device.
bool readable_regular_file(const std::string& path);

}  // namespace dovan
