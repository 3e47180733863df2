// Whatever another program writes to the hand-off socket: dispatch never crashes, never
// accepts anything but an existing regular file by absolute path, and leaves valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/clipboard.h"
#include "shell/handoff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dovan;
    const std::string_view in(reinterpret_cast<const char*>(data), std::min(size, kHandoffLimit));
    static FakeClock clock;
    ProcessClipboard clipboard;
    auto ui = std::make_shared<SharedUi>(initial_ui_state(), LoadedModules{0x1F});
    int shows = 0;
    const HandoffHost host{{ui, &clipboard, &clock, [&shows] { ++shows; }}, (size & 1) != 0};
    const HandoffOutcome outcome = dispatch_handoff(in, host);

    auto g = ui->lock();
    if (outcome == HandoffOutcome::FileAccepted) {
        if (g->send_box.empty() || g->send_box.front() != '/' || !readable_regular_file(g->send_box)) std::abort();
    } else if (!g->send_box.empty() || g->requests.send_files) {
        std::abort();
    }
    if (outcome == HandoffOutcome::Shown && in != kShowRequest) std::abort();
    for (const auto& n : g->notices)
        if (!utf8_valid(n.text)) std::abort();
    if (clipboard.read_text()) std::abort();  // no action was ever registered
    return 0;
}
