#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"
#include "platform/debug_log.h"
#include "temp_dir.h"
#include "transfer/filename.h"

namespace dovan {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

TEST(SanitizeFileName, RulesTable) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"notes.txt", "notes.txt"},
        {"照片 2024.jpg", "照片 2024.jpg"},
        {"a/b\\c.txt", "a_b_c.txt"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"<>:\"|?*.txt", "_______.txt"},
        {"  notes.txt  ", "notes.txt"},
        {"\xC2\xA0\xE3\x80\x80x\xE2\x80\xA8", "x"},  // NBSP, ideographic space, line separator
        {"\xC2\x85x", "x"},                            // NEL is white space at an edge...
        {"a\xC2\x85" "b", "a_b"},                      // ...and a C1 control inside
        {"a\x7F" "b", "a_b"},
        {"a\tb.txt", "a_b.txt"},
        {" \t \t ", "untitled"},
        {"", "untitled"},
        {".", "_"},
        {"..", "_"},
        {" .. ", "_"},
        {"...", "_"},
        {"report. .", "report_"},
        {"a..", "a_"},
        {".profile", ".profile"},
        {"CON.txt", "_CON.txt"},
        {"lpt1", "_lpt1"},
        {"Com9.log", "_Com9.log"},
        {"nul.tar.gz", "_nul.tar.gz"},
        {"nul.", "nul_"},
        {"aux", "_aux"},
        {"console.txt", "console.txt"},
        {"com0", "com0"},
        {"lpt10.txt", "lpt10.txt"},
        {std::string("a\0b", 3), "a_b"},
        {"a\xFF" "b", "a_b"},        // stray byte
        {"\xC0\x80", "__"},          // overlong NUL
        {"\xE9\xAA", "__"},          // truncated character
        {"\xED\xA0\x80.txt", "___.txt"},  // encoded surrogate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const SanitizedName s = sanitize_file_name(c.in);
        EXPECT_EQ(s.name, c.out);
        EXPECT_EQ(s.changed, c.out != c.in);
    }
}

TEST(SanitizeFileName, CutsAt240BytesOnACharacterBoundary) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {repeat("验", 100), repeat("验", 80)},                  // 300 bytes → 80 characters
        {repeat("a", 239) + "验", repeat("a", 239)},            // never half a character
        {repeat("a", 240), repeat("a", 240)},
        {repeat("a", 239) + ". b", repeat("a", 239) + "_"},    // the cut leaves a trailing dot
        {"con." + repeat("x", 236), "_con." + repeat("x", 235)},  // the prefix pushes it over
        {repeat(" ", 300) + "a", "a"},
    };
    for (const auto& c : cases) {
        const SanitizedName s = sanitize_file_name(c.in);
        EXPECT_EQ(s.name, c.out) << c.in.size();
        EXPECT_LE(s.name.size(), kMaxFileNameBytes);
        EXPECT_TRUE(utf8_valid(s.name));
    }
}

std::string cp(char32_t c) {
    std::string out;
    utf8_append(out, c);
    return out;
}

// Format characters draw nothing or reorder the text around them, so a name could show as
// something it is not ("report" RLO "txt.exe" reads as "reportexe.txt").
TEST(SanitizeFileName, FormatCharactersBecomeUnderscores) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"report" + cp(0x202E) + "txt.exe", "report_txt.exe"},
        {"a" + cp(0x202A) + cp(0x202B) + cp(0x202C) + cp(0x202D) + "b", "a____b"},
        {"a" + cp(0x2066) + cp(0x2067) + cp(0x2068) + cp(0x2069) + "b", "a____b"},
        {"a" + cp(0x200B) + cp(0x200C) + cp(0x200D) + cp(0x200E) + cp(0x200F) + "b", "a_____b"},
        {"a" + cp(0x061C) + "b", "a_b"},
        {cp(0xFEFF) + "notes.txt", "_notes.txt"},
        {"soft" + cp(0x00AD) + "hyphen", "soft_hyphen"},
        {"a" + cp(0x0600) + cp(0x0605) + cp(0x06DD) + cp(0x070F) + "b", "a____b"},
        {"a" + cp(0x0890) + cp(0x0891) + cp(0x08E2) + cp(0x180E) + "b", "a____b"},
        {"a" + cp(0x2060) + cp(0x2064) + cp(0x206F) + "b", "a___b"},
        {"a" + cp(0xFFF9) + cp(0xFFFB) + "b", "a__b"},
        {"a" + cp(0x110BD) + cp(0x110CD) + cp(0x13430) + cp(0x1343F) + "b", "a____b"},
        {"a" + cp(0x1BCA0) + cp(0x1BCA3) + cp(0x1D173) + cp(0x1D17A) + "b", "a____b"},
        {"a" + cp(0xE0001) + cp(0xE0020) + cp(0xE007F) + "b", "a___b"},
        // Neighbours of those ranges are ordinary characters and stay.
        {"a" + cp(0x00AC) + cp(0x00AE) + cp(0x2010) + cp(0x2065) + cp(0x2070) + "b",
         "a" + cp(0x00AC) + cp(0x00AE) + cp(0x2010) + cp(0x2065) + cp(0x2070) + "b"},
        {"a" + cp(0xFEFE) + cp(0xFFFC) + cp(0x1D172) + cp(0x1D17B) + cp(0xE0080) + "b",
         "a" + cp(0xFEFE) + cp(0xFFFC) + cp(0x1D172) + cp(0x1D17B) + cp(0xE0080) + "b"},
        {"a" + cp(0x200A) + "b", "a" + cp(0x200A) + "b"},  // a space inside, not a format character
        // At an edge a format character is no white space: it is replaced, not trimmed.
        {"name.txt" + cp(0x200B), "name.txt_"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const SanitizedName s = sanitize_file_name(c.in);
        EXPECT_EQ(s.name, c.out);
        EXPECT_EQ(s.changed, c.out != c.in);
    }
}

TEST(SanitizeFileName, WritesTheRenameEventOnlyWhenChanged) {
    DebugCapture capture;
    (void)sanitize_file_name("  notes.txt  ");
    (void)sanitize_file_name("same.txt");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].module, "file");
    EXPECT_EQ(records[0].level, LogLevel::Info);
    EXPECT_EQ(records[0].event, "文件名已按 NTFS 规则改写");
    EXPECT_EQ(records[0].field("received"), "  notes.txt  ");
    EXPECT_EQ(records[0].field("safe"), "notes.txt");
}

// The phone chooses the received name: written raw into the event it could start a forged
// line in dovan-debug.log or send the terminal that shows the log an escape sequence.
TEST(SanitizeFileName, AHostileNameCannotForgeALogLineOrReachTheTerminal) {
    DebugCapture capture;
    const std::string hostile = "a.txt\n[1733700000000] ERROR session pairing.ok fp=attacker\x1b[2J\r\u202E" +
                                std::string(5000, 'x');
    (void)sanitize_file_name(hostile);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].event, "文件名已按 NTFS 规则改写");
    const std::string received = records[0].field("received");
    EXPECT_LE(received.size(), kLoggedNameBytes);
    EXPECT_TRUE(hostile.starts_with(received));
    for (const std::string& line : {debug_plain_line(records[0]), debug_json_line(records[0])}) {
        EXPECT_EQ(line.find_first_of("\n\r\x1b"), std::string::npos) << line;
        EXPECT_EQ(line.find("\u202E"), std::string::npos) << line;
        EXPECT_LT(line.size(), 1024u) << line;
    }
}

TEST(NumberedName, SplitsAtTheLastDotUnlessItLeads) {
    struct Case {
        std::string name;
        std::uint32_t n;
        std::string out;
    } cases[] = {
        {"photo.jpg", 0, "photo.jpg"},
        {"photo.jpg", 2, "photo (2).jpg"},
        {".profile", 1, ".profile (1)"},
        {"archive.tar.gz", 1, "archive.tar (1).gz"},
        {"README", 3, "README (3)"},
        {"x.bin", 999, "x (999).bin"},
    };
    for (const auto& c : cases) EXPECT_EQ(numbered_name(c.name, c.n), c.out);
}

class CreateUnique : public ::testing::Test {
protected:
    TempDir dir;

    void touch(const std::string& name, const std::string& content = "old") {
        std::ofstream(dir.path() / name) << content;
    }
    std::string read(const std::string& name) {
        std::ifstream in(dir.path() / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t entries() {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}));
    }
};

TEST_F(CreateUnique, TakesTheFirstFreeNumberAndOverwritesNothing) {
    struct Case {
        std::vector<std::string> present;
        std::string safe;
        std::string created;
    } cases[] = {
        {{}, "photo.jpg", "photo.jpg"},
        {{"photo.jpg", "photo (1).jpg"}, "photo.jpg", "photo (2).jpg"},
        {{"photo.jpg", "photo (2).jpg"}, "photo.jpg", "photo (1).jpg"},
        {{".profile"}, ".profile", ".profile (1)"},
        {{"archive.tar.gz"}, "archive.tar.gz", "archive.tar (1).gz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.created);
        for (const auto& entry : fs::directory_iterator(dir.path())) fs::remove(entry.path());
        for (const auto& p : c.present) touch(p, "kept " + p);

        auto made = create_unique(dir.path(), c.safe);
        ASSERT_TRUE(made.ok()) << made.error().text;
        EXPECT_EQ(made->path, dir.path() / c.created);
        const std::string payload = "new data";
        ASSERT_EQ(::write(made->file.fd(), payload.data(), payload.size()),
                  static_cast<ssize_t>(payload.size()));
        made->file.reset();
        EXPECT_EQ(read(c.created), payload);
        for (const auto& p : c.present) EXPECT_EQ(read(p), "kept " + p);
        EXPECT_EQ(entries(), c.present.size() + 1);
    }
}

TEST_F(CreateUnique, RefusesAfter999Variants) {
    touch("x.bin");
    for (int n = 1; n <= 998; ++n) touch(numbered_name("x.bin", static_cast<std::uint32_t>(n)));

    auto last = create_unique(dir.path(), "x.bin");  // x (999).bin is still free
    ASSERT_TRUE(last.ok()) << last.error().text;
    EXPECT_EQ(last->path.filename(), "x (999).bin");
    last->file.reset();

    auto refused = create_unique(dir.path(), "x.bin");
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().too_many);
    EXPECT_EQ(entries(), 1000u);
    EXPECT_EQ(read("x.bin"), "old");
}

TEST_F(CreateUnique, NeverFollowsALinkOutOfTheFolder) {
    TempDir outside;
    const fs::path target = outside.path() / "victim.txt";
    fs::create_symlink(target, dir.path() / "note.txt");  // dangling

    auto made = create_unique(dir.path(), "note.txt");
    ASSERT_TRUE(made.ok()) << made.error().text;
    EXPECT_EQ(made->path.filename(), "note (1).txt");
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(CreateUnique, ReportsOtherFailuresAndUnsafeNames) {
    const fs::path missing = dir.path() / "no-such-folder";
    auto no_folder = create_unique(missing, "a.txt");
    ASSERT_FALSE(no_folder.ok());
    EXPECT_FALSE(no_folder.error().too_many);
    EXPECT_EQ(no_folder.error().os_error, ENOENT);
    EXPECT_EQ(no_folder.error().path, missing / "a.txt");
    EXPECT_EQ(no_folder.error().text, "No such file or directory");

    // Callers are meant to pass sanitized names; anything that would leave the folder
    // is refused rather than created.
    fs::create_directory(dir.path() / "inbox");
    const std::vector<std::string> unsafe = {"..", ".", "", "../escape.txt", std::string("a\0b", 3)};
    for (const std::string& bad : unsafe) {
        auto r = create_unique(dir.path() / "inbox", bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.error().os_error, EINVAL);
    }
    EXPECT_FALSE(fs::exists(dir.path() / "escape.txt"));
    EXPECT_TRUE(fs::is_empty(dir.path() / "inbox"));
}

}  // namespace
}  // namespace dovan
