#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include <string>

namespace dovan {
namespace {

TEST(ClipboardText, RepairsCutsAndStopsAtNul) {
    struct Case {
        std::string raw, want;
    } cases[] = {
        {"plain", "plain"},
        {std::string("a\xff" "b"), "a\xEF\xBF\xBD" "b"},
        {std::string("ab\0cd", 5), "ab"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(clipboard_text_from_bytes(c.raw), c.want) << c.raw;

    // A multi-byte character straddling the limit is dropped whole.
    std::string big(kClipboardReadLimit - 1, 'x');
    big += "\xE4\xB8\xAD";  // 中
    const std::string got = clipboard_text_from_bytes(big);
    EXPECT_EQ(got.size(), kClipboardReadLimit - 1);
}

TEST(ProcessClipboard, ExternalCopyNotifiesOwnWriteDoesNot) {
    ProcessClipboard clip;
    EXPECT_FALSE(clip.read_text().has_value());
    int changes = 0;
    clip.set_on_change([&] {
        ++changes;
        EXPECT_EQ(clip.read_text().value_or(""), "from elsewhere");
    });
    clip.write_text("mine");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(clip.read_text().value_or(""), "mine");
    clip.simulate_external_copy("from elsewhere");
    EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace dovan
