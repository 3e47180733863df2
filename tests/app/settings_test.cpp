#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "app/settings.h"
#include "store/stores.h"
#include "app/temp_data_dir.h"

namespace dovan {
namespace {
namespace fs = std::filesystem;
using testing_support::ScopedEnv;
using testing_support::TempDataDir;

constexpr const char* kAnsiLine =
    "[Dovan] settings.ini 不是 UTF-8（多半是被记事本按 ANSI 存过）：开关按能读出的部分保留，"
    "中文目录名可能变成乱码\n";
constexpr const char* kReplacement = "\xEF\xBF\xBD";

struct ParseCase {
    const char* what;
    std::string text;
    std::function<void(Settings&)> expect;  // applied to the defaults
};

TEST(SettingsText, ReadsHandEditedFilesByTheRules) {
    const ParseCase cases[] = {
        {"empty file", "", [](Settings&) {}},
        {"byte-order mark", "\xEF\xBB\xBFtoast_enabled=0\n", [](Settings& s) { s.toast_enabled = false; }},
        {"only the album switch", "feat_album=0", [](Settings& s) { s.feat_album = false; }},
        {"only 1 means on", "toast_enabled = true\nautostart=yes\ndebug_enabled= 1 \n",
         [](Settings& s) {
             s.toast_enabled = false;
             s.debug_enabled = true;
         }},
        {"blank-led comment and bare key",
         "  #toast_enabled=0\ntoast_enabled\nclip_sync\r\n# clip_sync=0\n", [](Settings&) {}},
        {"keys are case-sensitive", "Toast_Enabled=0\nTHEME=dark\n", [](Settings&) {}},
        {"theme in any case", "theme = Dark\r\n", [](Settings& s) { s.theme = Theme::Dark; }},
        {"unknown theme", "theme=dark\ntheme=blue\n", [](Settings&) {}},
        {"light and exit", "theme=LIGHT\nclose_behavior=Exit\n",
         [](Settings& s) {
             s.theme = Theme::Light;
             s.close_behavior = CloseBehavior::Exit;
         }},
        {"close behaviours", "close_behavior=minimize\nclose_behavior=close\n", [](Settings&) {}},
        {"later line wins", "auto_connect=0\nauto_connect=1\nfeat_media=1\nfeat_media=0\n",
         [](Settings& s) { s.feat_media = false; }},
        {"inbox splits at the first =", "inbox =  /data/a=b c  \r\n",
         [](Settings& s) { s.inbox = "/data/a=b c"; }},
        {"CRLF and blank lines", "\r\n\r\nfeat_clipboard=0\r\n   \r\nfeat_notifications=0\r\n",
         [](Settings& s) {
             s.feat_clipboard = false;
             s.feat_notifications = false;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Settings expected;
        c.expect(expected);
        bool utf8 = false;
        EXPECT_EQ(parse_settings(c.text, &utf8), expected);
        EXPECT_TRUE(utf8);
    }
}

TEST(SettingsText, WritesTheFourteenLinesInOrder) {
    Settings s;
    EXPECT_EQ(format_settings(s),
              "toast_enabled=1\ntoast_show_content=1\nclip_sync=1\ntheme=system\n"
              "debug_enabled=0\nfeat_notifications=1\nfeat_clipboard=1\nfeat_file_transfer=1\n"
              "feat_media=1\nfeat_album=1\ninbox=\nauto_connect=1\nautostart=0\n"
              "close_behavior=ask\n");

    // Every field flipped away from its default survives the trip, except the line
    // breaks an inbox path can never keep.
    s = {false, false, false, Theme::Dark, true, false, false, false, false, false,
         "D:\\收件\r\n箱", false, true, CloseBehavior::Minimize};
    const std::string text = format_settings(s);
    EXPECT_NE(text.find("inbox=D:\\收件箱\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 14);
    s.inbox = "D:\\收件箱";
    EXPECT_EQ(parse_settings(text), s);
    s.theme = Theme::Light;
    s.close_behavior = CloseBehavior::Exit;
    EXPECT_EQ(parse_settings(format_settings(s)), s);
}

TEST(SettingsText, FeatureMaskHasOneBitPerSwitch) {
    Settings s;
    EXPECT_EQ(feature_mask(s), 0x1f);
    s.feat_album = false;
    EXPECT_EQ(feature_mask(s), 0x0f);
    s = parse_settings("feat_notifications=0\nfeat_media=0");
    EXPECT_EQ(feature_mask(s), kFeatClipboard | kFeatFileTransfer | kFeatAlbum);
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidPiece) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain 文字", "plain 文字"},
        {"\xE6\x96", kReplacement},                                           // cut-off character
        {"a\xE6\x96z", std::string("a") + kReplacement + "z"},                // cut-off in the middle
        {"\xC0\x80", std::string(kReplacement) + kReplacement},               // overlong
        {"\xED\xA0\x80", std::string(kReplacement) + kReplacement + kReplacement},  // surrogate
        {"\xF4\x90\x80\x80", std::string(kReplacement) + kReplacement + kReplacement + kReplacement},
        {"\xF0\x9F\x98\x80\xFF", std::string("\xF0\x9F\x98\x80") + kReplacement},
        {"\xCF\xC2\xD4\xD8", std::string(kReplacement) + kReplacement + kReplacement + kReplacement},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const std::string got = utf8_lossy(c.in);
        EXPECT_EQ(got, c.out);
        EXPECT_TRUE(utf8_valid(got));
    }
}

using SettingsFile = TempDataDir;

TEST_F(SettingsFile, MissingFileGivesDefaultsSilently) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_settings(dir_), Settings{});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists(dir_));  // reading never creates the directory
}

TEST_F(SettingsFile, AnsiFileKeepsItsSwitchesAndSaysSo) {
    // "inbox=D:\下载" as a GBK editor would store it.
    put(kSettingsIni, "toast_enabled=0\r\ninbox=D:\\\xCF\xC2\xD4\xD8\r\nfeat_media=0\r\n");
    ::testing::internal::CaptureStderr();
    const Settings s = load_settings(dir_);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kAnsiLine);
    EXPECT_FALSE(s.toast_enabled);
    EXPECT_FALSE(s.feat_media);
    EXPECT_TRUE(s.clip_sync);
    EXPECT_EQ(s.inbox, std::string("D:\\") + kReplacement + kReplacement + kReplacement +
                           kReplacement);
}

TEST_F(SettingsFile, UnreadableFileGivesDefaultsWithAConsoleLine) {
    fs::create_directories(path(kSettingsIni));  // a folder cannot be read as a file
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_settings(dir_), Settings{});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[Dovan] 设置文件读不出来，这次按默认值运行：" + path(kSettingsIni).string() + "\n");

    // A FIFO must not stall start-up waiting for a writer that never comes.
    fs::remove(path(kSettingsIni));
    ASSERT_EQ(::mkfifo(path(kSettingsIni).c_str(), 0600), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_settings(dir_), Settings{});
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("设置文件读不出来"), std::string::npos);
}

// A settings file no save of ours could make (a sparse one costs no disk) is not read: it
// is kept aside, the defaults apply, and the line names where it went.
TEST_F(SettingsFile, AnOversizedFileIsKeptAsideUnreadAndGivesDefaults) {
    for (const std::uint64_t size : {kMaxTableFileBytes + 1, std::uint64_t{1} << 40}) {
        SCOPED_TRACE(size);
        fs::remove_all(dir_);
        put(kSettingsIni, "clip_sync=0\ntoast_enabled=0\n");
        ASSERT_EQ(::truncate(path(kSettingsIni).c_str(), static_cast<off_t>(size)), 0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(load_settings(dir_), Settings{});
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(fs::exists(path(kSettingsIni)));
        std::vector<fs::path> aside;
        for (const auto& e : fs::directory_iterator(dir_)) aside.push_back(e.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(aside[0].filename().string().starts_with("settings.ini.damaged-")) << aside[0];
        EXPECT_EQ(fs::file_size(aside[0]), size);
        EXPECT_EQ(said, "[Dovan] 设置文件读不出来，这次按默认值运行：" + aside[0].string() + "\n");
    }
    // At the limit the file is still read.
    put(kSettingsIni, "clip_sync=0\n" + std::string(kMaxTableFileBytes - 13, '#') + "\n");
    ASSERT_EQ(fs::file_size(path(kSettingsIni)), kMaxTableFileBytes);
    EXPECT_FALSE(load_settings(dir_).clip_sync);
}

TEST_F(SettingsFile, SaveAndLoadRoundTripExactly) {
    Settings s;
    s.theme = Theme::Dark;
    s.clip_sync = false;
    s.feat_file_transfer = false;
    s.inbox = "/srv/收件 箱\nsecond line";
    s.close_behavior = CloseBehavior::Exit;
    save_settings(dir_, s);
    EXPECT_EQ(mode_of(dir_), 0700u);
    EXPECT_FALSE(fs::exists(path(kSettingsTmp)));
    EXPECT_EQ(get(kSettingsIni), format_settings(s));

    s.inbox = "/srv/收件 箱second line";
    EXPECT_EQ(load_settings(dir_), s);
    save_settings(dir_, load_settings(dir_));
    EXPECT_EQ(get(kSettingsIni), format_settings(s));
}

TEST_F(SettingsFile, AFailedTemporaryWriteLeavesTheOldFile) {
    Settings old;
    old.theme = Theme::Light;
    save_settings(dir_, old);
    const std::string before = get(kSettingsIni);
    Settings changed;
    changed.autostart = true;

    const struct {
        const char* what;
        std::function<void(const fs::path&)> block;
    } cases[] = {
        {"tmp is a folder", [](const fs::path& tmp) { fs::create_directories(tmp / "x"); }},
        {"disk full", [](const fs::path& tmp) { fs::create_symlink("/dev/full", tmp); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(path(kSettingsTmp));
        c.block(path(kSettingsTmp));
        save_settings(dir_, changed);
        EXPECT_EQ(get(kSettingsIni), before);
        EXPECT_EQ(load_settings(dir_), old);
    }
}

TEST_F(SettingsFile, NoUsableDataDirectoryIsHarmless) {
    fs::create_directories(root_);
    std::ofstream(root_ / "plainfile") << "x";
    const fs::path blocked = root_ / "plainfile" / "Dovan";
    Settings s;
    s.debug_enabled = true;
    save_settings(blocked, s);
    EXPECT_EQ(load_settings(blocked), Settings{});

    // None found, or a relative one: nothing is written into the working directory.
    for (const fs::path& none : {fs::path{}, fs::path("settings-dir")}) {
        save_settings(none, s);
        EXPECT_EQ(load_settings(none), Settings{});
        EXPECT_FALSE(fs::exists(none / "settings.ini"));
    }
}

TEST(DefaultInbox, FollowsTheProfileThenHome) {
    ScopedEnv env;
    const struct {
        std::optional<std::string> profile, home;
        std::string expected;
    } cases[] = {
        {"C:\\Users\\me\\/", "/home/me", "C:\\Users\\me\\Downloads\\Dovan"},
        {"C:\\Users\\me", std::nullopt, "C:\\Users\\me\\Downloads\\Dovan"},
        {"  ", "/home/me/", "/home/me/Downloads/Dovan"},
        {std::nullopt, "/home/me", "/home/me/Downloads/Dovan"},
        {std::nullopt, std::nullopt, "Dovan"},
        {"", " ", "Dovan"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ScopedEnv::set("USERPROFILE", c.profile);
        ScopedEnv::set("HOME", c.home);
        EXPECT_EQ(default_inbox(), c.expected);
        Settings s;
        EXPECT_EQ(effective_inbox(s), c.expected);
        s.inbox = "/chosen";
        EXPECT_EQ(effective_inbox(s), "/chosen");
    }
}

}  // namespace
}  // namespace dovan
