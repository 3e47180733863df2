#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <unistd.h>

#include "platform/debug_log.h"
#include "platform/files.h"
#include "store/stores.h"
#include "app/temp_data_dir.h"

namespace dovan {
namespace {
namespace fs = std::filesystem;
using testing_support::ScopedEnv;
using testing_support::TempDataDir;

constexpr const char* kNoDir =
    "无法确定数据目录：APPDATA 与 LOCALAPPDATA 均不可用（拒绝回退到当前目录，以免身份漂移）";

// ---- data directory ----

struct DirCase {
    const char* what;
    std::optional<std::string> appdata, localappdata, xdg, home;
    std::string expected;  // empty: no directory
};

TEST(DataDir, PicksTheFirstUsableBaseAndNeverTheWorkingDirectory) {
    ScopedEnv env;
    const DirCase cases[] = {
        {"APPDATA wins", "/r/app", "/r/local", "/r/xdg", "/r/home", "/r/app/Dovan"},
        {"blank APPDATA", "   ", "/r/local", std::nullopt, "/r/home", "/r/local/Dovan"},
        {"APPDATA padded", " /r/app\t", std::nullopt, std::nullopt, std::nullopt, "/r/app/Dovan"},
        {"APPDATA not UTF-8", "/r/\xff", "/r/local", std::nullopt, std::nullopt, "/r/local/Dovan"},
        {"relative APPDATA", "appdata", std::nullopt, "/r/xdg", std::nullopt, "/r/xdg/Dovan"},
        {"XDG data home", std::nullopt, "", "/r/xdg", "/r/home", "/r/xdg/Dovan"},
        {"home fallback", std::nullopt, std::nullopt, "rel", "/r/home",
         "/r/home/.local/share/Dovan"},
        {"nothing usable", "", " ", std::nullopt, "relative/home", ""},
        {"nothing at all", std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv::set("APPDATA", c.appdata);
        ScopedEnv::set("LOCALAPPDATA", c.localappdata);
        ScopedEnv::set("XDG_DATA_HOME", c.xdg);
        ScopedEnv::set("HOME", c.home);
        auto dir = data_dir();
        if (c.expected.empty()) {
            ASSERT_FALSE(dir.ok());
            EXPECT_EQ(dir.error().text, kNoDir);
        } else {
            ASSERT_TRUE(dir.ok());
            EXPECT_EQ(dir->string(), c.expected);
            EXPECT_EQ(log_directory(*dir).string(), c.expected + "/Logs");
        }
    }
}

// ---- trusted_peers.tsv and peer_names.tsv ----

TEST(TrustedPeersText, ReadsHandEditedFilesByTheRules) {
    const std::string text =
        "  # a comment with leading blanks\n"
        "ABCDEF0123456789\tMy Phone\r\n"
        "0123456789abcde\tfifteen digits\n"
        "0123456789abcdeg\tnot hex\n"
        "\n"
        "   \t  \n"
        "abcdef0123456789\tsecond copy loses\n"
        " 1111111111111111 \t  Padded Name \r\r\n"
        "2222222222222222\n"
        "3333333333333333\tname\twith tab\n"
        "#4444444444444444\tcommented\n"
        "5555555555555555\t\xe3\x80\x80Wide blank\xe3\x80\x80";
    const std::vector<TrustedPeer> expected = {
        {"abcdef0123456789", "My Phone"},
        {"1111111111111111", "Padded Name"},
        {"2222222222222222", ""},
        {"3333333333333333", "name\twith tab"},
        {"5555555555555555", "Wide blank"},
    };
    EXPECT_EQ(parse_trusted_peers(text), expected);
}

TEST(TrustedPeersText, WritesSortedLowerCaseWithControlsAsSpaces) {
    const std::vector<TrustedPeer> peers = {
        {"ffff000000000000", "Last"},
        {"ABCDEF0123456789", "Tab\tIn\r\nName "},
        {"0000000000000001", ""},
        {"not-a-fingerprint", "dropped"},
    };
    const std::string text = format_trusted_peers(peers);
    EXPECT_EQ(text,
              "0000000000000001\t\n"
              "abcdef0123456789\tTab In  Name\n"
              "ffff000000000000\tLast\n");
    const auto back = parse_trusted_peers(text);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[1], (TrustedPeer{"abcdef0123456789", "Tab In  Name"}));
}

TEST(PeerNamesText, NeedsATabAndBothParts) {
    const std::string text =
        "#0000000000000000\tcommented\n"
        "no tab here\n"
        "\tno fingerprint\n"
        "ffff\t   \n"
        " anything goes \t Pixel 8 \r\n"
        "\n"
        "ABC\tName\twith tab";
    const std::vector<PeerName> expected = {{"anything goes", "Pixel 8"},
                                            {"ABC", "Name\twith tab"}};
    EXPECT_EQ(parse_peer_names(text), expected);
}

using Stores = TempDataDir;

TEST_F(Stores, MissingOrUnreadableListsAreEmpty) {
    EXPECT_TRUE(load_trusted_peers(dir_).empty());
    EXPECT_TRUE(load_peer_names(dir_).empty());
    fs::create_directories(path(kTrustedPeersTsv));  // a folder where the file should be
    EXPECT_TRUE(load_trusted_peers(dir_).empty());
}

TEST_F(Stores, PeerNamesKeepTheEightNewestWithoutControls) {
    for (int i = 1; i <= 9; ++i)
        remember_peer_name(dir_, format_text("000000000000000{}", i), format_text("Phone {}", i));
    auto names = load_peer_names(dir_);
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names.front().name, "Phone 2");
    EXPECT_EQ(names.back().name, "Phone 9");

    // A phone seen again moves to the newest end, under its latest name.
    remember_peer_name(dir_, " 0000000000000003 ", "Re\tnamed\n");
    names = load_peer_names(dir_);
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names.back(), (PeerName{"0000000000000003", "Renamed"}));
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const PeerName& n) { return n.fingerprint == "0000000000000003"; }),
              1);

    const std::string before = get(kPeerNamesTsv);
    remember_peer_name(dir_, "0000000000000004", "  ");
    remember_peer_name(dir_, "", "Phone");
    EXPECT_EQ(get(kPeerNamesTsv), before);
}

TEST_F(Stores, ForgetAllRemovesOnlyThePeerFiles) {
    forget_all(dir_);  // nothing there yet: silently fine
    EXPECT_FALSE(fs::exists(dir_));

    for (const char* f : {kTrustedPeersTsv, kPeerHex, kPeerNamesTsv, kIdentityBin, "settings.ini"})
        put(f, "x");
    forget_all(dir_);
    for (const char* f : {kTrustedPeersTsv, kPeerHex, kPeerNamesTsv})
        EXPECT_FALSE(fs::exists(path(f))) << f;
    EXPECT_TRUE(fs::exists(path(kIdentityBin)));
    EXPECT_TRUE(fs::exists(path("settings.ini")));
}

TEST_F(Stores, PairingAddsRenamesAndRemembersTheAdvertisedName) {
    std::vector<TrustedPeer> trusted;
    EXPECT_TRUE(record_pairing(dir_, trusted, " BBBBBBBBBBBBBBBB ", " Pixel ", "Pixel\tBLE"));
    EXPECT_TRUE(record_pairing(dir_, trusted, "aaaaaaaaaaaaaaaa", "Galaxy", ""));
    // Same phone again: a new name replaces the old one, an empty one keeps it.
    EXPECT_TRUE(record_pairing(dir_, trusted, "bbbbbbbbbbbbbbbb", "Pixel 9", ""));
    EXPECT_TRUE(record_pairing(dir_, trusted, "aaaaaaaaaaaaaaaa", "  ", ""));

    const std::vector<TrustedPeer> expected = {{"bbbbbbbbbbbbbbbb", "Pixel 9"},
                                               {"aaaaaaaaaaaaaaaa", "Galaxy"}};
    EXPECT_EQ(trusted, expected);
    EXPECT_EQ(get(kTrustedPeersTsv), "aaaaaaaaaaaaaaaa\tGalaxy\nbbbbbbbbbbbbbbbb\tPixel 9\n");
    EXPECT_EQ(load_peer_names(dir_), (std::vector<PeerName>{{"BBBBBBBBBBBBBBBB", "PixelBLE"}}));
}

TEST_F(Stores, PairingWithAMalformedFingerprintChangesNoTrust) {
    std::vector<TrustedPeer> trusted = {{"aaaaaaaaaaaaaaaa", "Galaxy"}};
    save_trusted_peers(dir_, trusted);
    const std::string before = get(kTrustedPeersTsv);
    for (const char* fp : {"aaaaaaaaaaaaaaa", "aaaaaaaaaaaaaaaaa", "zzzzzzzzzzzzzzzz", ""}) {
        SCOPED_TRACE(fp);
        EXPECT_FALSE(record_pairing(dir_, trusted, fp, "Evil", ""));
        EXPECT_EQ(trusted.size(), 1u);
        EXPECT_EQ(get(kTrustedPeersTsv), before);
    }
}

TEST_F(Stores, WritesIntoAnUnwritablePlaceAreIgnored) {
    // The data directory sits below a regular file, so it can never be created.
    fs::create_directories(root_);
    std::ofstream(root_ / "plainfile") << "x";
    const fs::path dir = root_ / "plainfile" / "Dovan";
    std::vector<TrustedPeer> trusted;
    EXPECT_TRUE(record_pairing(dir, trusted, "aaaaaaaaaaaaaaaa", "Galaxy", "Galaxy"));
    EXPECT_EQ(trusted.size(), 1u);  // the running state keeps the pairing
    EXPECT_TRUE(load_trusted_peers(dir).empty());
    forget_all(dir);
}

// ---- identity files ----

// Hands out one RSA key made once per run, so the damaged-file paths skip key generation.
class CountingKeys final : public DeviceKeyFactory {
public:
    static const DeviceIdentity& shared_key() {
        static const DeviceIdentity key = *DeviceIdentity::generate();
        return key;
    }
    Result<DeviceIdentity> generate() const override {
        ++made;
        if (fail_with) return fail_text(*fail_with);
        return shared_key();
    }
    mutable int made = 0;
    std::optional<std::string> fail_with;
};

class IdentityFiles : public TempDataDir {
protected:
    void TearDown() override {
        files::set_io_fault(nullptr);
        TempDataDir::TearDown();
    }
    // The files set aside as damaged copies of `file`, with their contents.
    std::map<std::string, std::string> kept_aside(const char* file) const {
        std::map<std::string, std::string> out;
        const std::string prefix = std::string(file) + ".damaged-";
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string name = e.path().filename().string();
            if (name.starts_with(prefix)) out[name] = get(name.c_str());
        }
        return out;
    }
    static std::vector<std::string> contents(const std::map<std::string, std::string>& files) {
        std::vector<std::string> out;
        for (const auto& [name, content] : files) out.push_back(content);
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(IdentityFiles, FirstStartCreatesPrivateFilesAndLaterStartsReuseThem) {
    auto first = load_local_stores(dir_);
    ASSERT_TRUE(first.ok()) << first.error().text;
    EXPECT_EQ(first->channel_key.size(), 32u);
    EXPECT_EQ(first->device.bits(), 2048);
    EXPECT_EQ(first->own_fingerprint, fingerprint(first->device.public_spki_der()));
    EXPECT_TRUE(first->trusted.empty());
    EXPECT_EQ(mode_of(dir_), 0700u);
    EXPECT_EQ(mode_of(path(kIdentityBin)), 0600u);
    EXPECT_EQ(mode_of(path(kDeviceIdentityBin)), 0600u);

    std::vector<TrustedPeer> trusted;
    record_pairing(dir_, trusted, "aaaaaaaaaaaaaaaa", "Galaxy", "");
    auto second = load_local_stores(dir_);
    ASSERT_TRUE(second.ok()) << second.error().text;
    EXPECT_EQ(second->channel_key, first->channel_key);
    EXPECT_EQ(second->device.private_pkcs8_der(), first->device.private_pkcs8_der());
    EXPECT_EQ(second->own_fingerprint, first->own_fingerprint);
    EXPECT_EQ(second->trusted, trusted);
}

TEST_F(IdentityFiles, OlderTextKeyIsTakenOverOnlyWhenWhole) {
    const std::string hex = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
    put(kIdentityHex, "  " + hex + "\r\n");
    auto key = load_channel_key(dir_);
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(hex_lower(*key), "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    EXPECT_FALSE(fs::exists(path(kIdentityHex)));
    EXPECT_EQ(mode_of(path(kIdentityBin)), 0600u);
    auto again = load_channel_key(dir_);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *key);

    for (const std::string& bad : {hex.substr(1), hex.substr(2), hex + "00", "zz" + hex.substr(2)}) {
        SCOPED_TRACE(bad);
        fs::remove(path(kIdentityBin));
        put(kIdentityHex, bad + "\n");
        auto fresh = load_channel_key(dir_);
        ASSERT_TRUE(fresh.ok());
        EXPECT_NE(*fresh, *key);
        EXPECT_EQ(fresh->size(), 32u);
        EXPECT_TRUE(fs::exists(path(kIdentityHex)));  // not ours to delete
    }
}

TEST_F(IdentityFiles, DamagedChannelKeyFileIsKeptAsideAndReplaced) {
    const std::vector<std::string> damaged = {std::string(), std::string(31, 'k'), std::string(33, 'k')};
    for (const std::string& content : damaged) {
        SCOPED_TRACE(content.size());
        put(kIdentityBin, content);
        auto key = load_channel_key(dir_);
        ASSERT_TRUE(key.ok());
        EXPECT_EQ(key->size(), 32u);
        EXPECT_EQ(get(kIdentityBin).size(), 32u);
    }
    // Each damaged generation survives under a name of its own, even within one second.
    std::vector<std::string> expected = damaged;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(contents(kept_aside(kIdentityBin)), expected);
}

TEST_F(IdentityFiles, DamagedDeviceIdentityIsRegeneratedAndOldPinMovedAside) {
    CountingKeys keys;
    const Bytes good = CountingKeys::shared_key().private_pkcs8_der();
    const std::string good_text(good.begin(), good.end());
    for (const std::string& content :
         {std::string(), std::string("garbage"), good_text.substr(0, good_text.size() - 1),
          good_text + "x"}) {
        SCOPED_TRACE(content.size());
        put(kDeviceIdentityBin, content);
        put(kPeerHex, "old pin");
        const int before = keys.made;
        auto id = load_device_identity(dir_, platform_protector(), keys);
        ASSERT_TRUE(id.ok()) << id.error().text;
        EXPECT_EQ(keys.made, before + 1);
        EXPECT_EQ(get(kDeviceIdentityBin), good_text);
        EXPECT_EQ(mode_of(path(kDeviceIdentityBin)), 0600u);
        EXPECT_FALSE(fs::exists(path(kPeerHex)));
        EXPECT_EQ(get(kPeerHexBackup), "old pin");
    }
    EXPECT_EQ(kept_aside(kDeviceIdentityBin).size(), 4u);
    EXPECT_EQ(contents(kept_aside(kDeviceIdentityBin)),
              contents({{"a", ""}, {"b", "garbage"}, {"c", good_text.substr(0, good_text.size() - 1)},
                        {"d", good_text + "x"}}));
    // A readable identity is kept and the pin is left where it is.
    put(kPeerHex, "current pin");
    const int before = keys.made;
    auto kept = load_device_identity(dir_, platform_protector(), keys);
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ(keys.made, before);
    EXPECT_EQ(kept->private_pkcs8_der(), good);
    EXPECT_EQ(get(kPeerHex), "current pin");
}

// No writer of ours makes a store file anywhere near its limit, and a sparse one of 1 TiB
// costs no disk: each is left unread, kept aside like a damaged file with the damaged-file
// line, and start-up goes on as if it were missing. A key is never silently replaced.
TEST_F(IdentityFiles, AnOversizedStoreFileIsKeptAsideUnreadAndStartUpGoesOn) {
    constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
    CountingKeys keys;
    const std::string some_peer = "aaaaaaaaaaaaaaaa\tGalaxy\n";
    struct Case {
        const char* file;
        std::uint64_t size;
        std::function<void()> load;  // loads the store and checks it started afresh
    };
    auto fresh_channel_key = [&] {
        auto key = load_channel_key(dir_);
        ASSERT_TRUE(key.ok()) << key.error().text;
        EXPECT_EQ(key->size(), 32u);
        EXPECT_EQ(get(kIdentityBin).size(), 32u);
    };
    auto fresh_device_identity = [&] {
        const int before = keys.made;
        auto id = load_device_identity(dir_, platform_protector(), keys);
        ASSERT_TRUE(id.ok()) << id.error().text;
        EXPECT_EQ(keys.made, before + 1);
        EXPECT_EQ(get(kDeviceIdentityBin).size(), CountingKeys::shared_key().private_pkcs8_der().size());
    };
    const Case cases[] = {
        {kIdentityBin, kTiB, fresh_channel_key},
        {kIdentityBin, kMaxKeyFileBytes + 1, fresh_channel_key},
        {kDeviceIdentityBin, kTiB, fresh_device_identity},
        {kDeviceIdentityBin, kMaxKeyFileBytes + 1, fresh_device_identity},
        {kTrustedPeersTsv, kTiB, [&] { EXPECT_TRUE(load_trusted_peers(dir_).empty()); }},
        {kTrustedPeersTsv, kMaxTableFileBytes + 1, [&] { EXPECT_TRUE(load_trusted_peers(dir_).empty()); }},
        {kPeerNamesTsv, kTiB, [&] { EXPECT_TRUE(load_peer_names(dir_).empty()); }},
        // Remembering a name reads the list first; the new list holds the new name alone.
        {kPeerNamesTsv, kTiB,
         [&] {
             remember_peer_name(dir_, "aaaaaaaaaaaaaaaa", "Galaxy");
             EXPECT_EQ(load_peer_names(dir_), (std::vector<PeerName>{{"aaaaaaaaaaaaaaaa", "Galaxy"}}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " of " + std::to_string(c.size) + " bytes");
        fs::remove_all(dir_);
        // Real content first: what is kept aside must be the file as it was.
        put(c.file, some_peer);
        ASSERT_EQ(::truncate(path(c.file).c_str(), static_cast<off_t>(c.size)), 0) << errno;
        ::testing::internal::CaptureStderr();
        c.load();
        const std::string said = ::testing::internal::GetCapturedStderr();
        std::vector<fs::path> aside;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename().string().starts_with(std::string(c.file) + ".damaged-")) aside.push_back(e.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(fs::file_size(aside[0]), c.size);
        EXPECT_EQ(said, "[Dovan] " + path(c.file).string() + " 已损坏，原文件保留为 " + aside[0].string() +
                            "，将生成新的\n");
    }
    // The limit itself is still read.
    fs::remove_all(dir_);
    put(kTrustedPeersTsv, some_peer + std::string(kMaxTableFileBytes - some_peer.size() - 1, '#') + "\n");
    ASSERT_EQ(fs::file_size(path(kTrustedPeersTsv)), kMaxTableFileBytes);
    EXPECT_EQ(load_trusted_peers(dir_).size(), 1u);
    // The older text key is only read, never moved: too big, it is simply not taken over.
    fs::remove_all(dir_);
    put(kIdentityHex, "");
    ASSERT_EQ(::truncate(path(kIdentityHex).c_str(), static_cast<off_t>(kTiB)), 0);
    auto key = load_channel_key(dir_);
    ASSERT_TRUE(key.ok()) << key.error().text;
    EXPECT_EQ(key->size(), 32u);
    EXPECT_EQ(fs::file_size(path(kIdentityHex)), kTiB);
}

TEST_F(IdentityFiles, StartUpFailuresCarryTheirTexts) {
    // No data directory at all: the program found none and hands over an empty path; a
    // relative one is refused the same way rather than land in the working directory.
    auto key = load_channel_key({});
    ASSERT_FALSE(key.ok());
    EXPECT_EQ(key.error().text, kNoDir);
    EXPECT_FALSE(load_channel_key("relative/Dovan").ok());
    auto start = load_local_stores({});
    ASSERT_FALSE(start.ok());
    EXPECT_EQ(start.error().text, std::string("身份初始化失败: ") + kNoDir);

    // A data directory whose parent is a regular file cannot be created.
    fs::create_directories(root_);
    std::ofstream(root_ / "plainfile") << "x";
    const fs::path blocked = root_ / "plainfile" / "Dovan";
    key = load_channel_key(blocked);
    ASSERT_FALSE(key.ok());
    EXPECT_TRUE(key.error().text.starts_with("创建数据目录失败: ")) << key.error().text;
    CountingKeys keys;
    auto id = load_device_identity(blocked, platform_protector(), keys);
    ASSERT_FALSE(id.ok());
    EXPECT_TRUE(id.error().text.starts_with("创建数据目录失败: ")) << id.error().text;

    // Key generation failing is reported as is.
    keys.fail_with = "test";
    id = load_device_identity(dir_, platform_protector(), keys);
    ASSERT_FALSE(id.ok());
    EXPECT_EQ(id.error().text, "RSA 身份生成失败: test");
    start = load_local_stores(dir_, platform_protector(), keys);
    ASSERT_FALSE(start.ok());
    EXPECT_EQ(start.error().text, "设备身份初始化失败: RSA 身份生成失败: test");
}

TEST_F(IdentityFiles, ALinkToADeviceIsNeitherReadNorWrittenThrough) {
    // identity.bin points at /dev/full: reading must not stream zeros forever, and the link
    // is not the key file, so start-up stops with the path named instead of replacing it.
    fs::create_directories(dir_);
    fs::create_symlink("/dev/full", path(kIdentityBin));
    auto key = load_channel_key(dir_);
    ASSERT_FALSE(key.ok());
    EXPECT_TRUE(key.error().text.starts_with("读取 " + path(kIdentityBin).string() + " 失败: "))
        << key.error().text;
    EXPECT_TRUE(fs::is_symlink(path(kIdentityBin)));
    EXPECT_EQ(mode_of("/dev/full") & 0777, 0666u);  // a device's mode is never ours to change

    // Writing over a link is refused too, whoever asks.
    const Bytes data(32, 7);
    auto wrote = files::write_file(path(kIdentityBin), data, 0600, true);
    ASSERT_FALSE(wrote.ok());
    EXPECT_EQ(wrote.error().code, ELOOP);
    EXPECT_TRUE(fs::is_symlink(path(kIdentityBin)));
}

TEST_F(IdentityFiles, ATakeOverThatCannotBeStoredStillUsesTheTextKey) {
    const std::string hex(64, 'a');
    put(kIdentityHex, hex);
    files::set_io_fault([](files::IoStep step, const fs::path&) {
        return step == files::IoStep::Rename ? ENOSPC : 0;
    });
    auto key = load_channel_key(dir_);
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(hex_lower(*key), hex);
    EXPECT_TRUE(fs::exists(path(kIdentityHex)));
    EXPECT_FALSE(fs::exists(path(kIdentityBin)));
}

TEST_F(IdentityFiles, AFifoInPlaceOfAKeyFileDoesNotBlockStartUp) {
    fs::create_directories(dir_);
    ASSERT_EQ(::mkfifo(path(kDeviceIdentityBin).c_str(), 0600), 0);
    CountingKeys keys;
    auto id = load_device_identity(dir_, platform_protector(), keys);
    EXPECT_EQ(keys.made, 0);  // the FIFO was not taken for a missing or damaged key
    ASSERT_FALSE(id.ok());
    EXPECT_TRUE(id.error().text.starts_with("读取 ")) << id.error().text;
    struct stat st {};
    ASSERT_EQ(::lstat(path(kDeviceIdentityBin).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A file that may be perfectly good behind a failing read must never be replaced.
TEST_F(IdentityFiles, ReadErrorsOtherThanAMissingFileStopStartUpAndKeepTheIdentity) {
    CountingKeys keys;
    auto first = load_local_stores(dir_, platform_protector(), keys);
    ASSERT_TRUE(first.ok()) << first.error().text;
    const std::string channel = get(kIdentityBin), device = get(kDeviceIdentityBin);

    struct Case {
        const char* file;
        int err;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {kIdentityBin, EACCES,
         "身份初始化失败: 读取 " + path(kIdentityBin).string() +
             " 失败: Permission denied（现有身份不动，本次不启动）"},
        {kIdentityBin, EIO,
         "身份初始化失败: 读取 " + path(kIdentityBin).string() +
             " 失败: Input/output error（现有身份不动，本次不启动）"},
        {kDeviceIdentityBin, EACCES,
         "设备身份初始化失败: 读取 " + path(kDeviceIdentityBin).string() +
             " 失败: Permission denied（现有身份不动，本次不启动）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const fs::path target = path(c.file);
        files::set_io_fault([&](files::IoStep step, const fs::path& p) {
            return step == files::IoStep::Read && p == target ? c.err : 0;
        });
        const int made = keys.made;
        auto again = load_local_stores(dir_, platform_protector(), keys);
        ASSERT_FALSE(again.ok());
        EXPECT_EQ(again.error().text, c.expected);
        EXPECT_EQ(keys.made, made);
        EXPECT_EQ(get(kIdentityBin), channel);
        EXPECT_EQ(get(kDeviceIdentityBin), device);
        EXPECT_TRUE(kept_aside(c.file).empty());
    }
    files::set_io_fault(nullptr);
    auto later = load_local_stores(dir_, platform_protector(), keys);
    ASSERT_TRUE(later.ok());
    EXPECT_EQ(later->channel_key, first->channel_key);
    EXPECT_EQ(later->own_fingerprint, first->own_fingerprint);
}

TEST_F(IdentityFiles, ACrashBetweenWriteAndRenameLeavesTheOldIdentity) {
    CountingKeys keys;
    auto first = load_device_identity(dir_, platform_protector(), keys);
    ASSERT_TRUE(first.ok());
    const std::string stored = get(kDeviceIdentityBin);

    // The new content is written and synced, then the process dies before the rename.
    files::set_io_fault([](files::IoStep step, const fs::path&) {
        return step == files::IoStep::Rename ? EINTR : 0;
    });
    const Bytes other = DeviceIdentity::generate()->private_pkcs8_der();
    ASSERT_FALSE(files::write_file(path(kDeviceIdentityBin), other, 0600, true).ok());
    files::set_io_fault(nullptr);
    EXPECT_EQ(get(kDeviceIdentityBin), stored);

    const int made = keys.made;
    auto after = load_device_identity(dir_, platform_protector(), keys);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after->fingerprint(), first->fingerprint());
    EXPECT_EQ(keys.made, made);

    // The next write completes over the leftover and leaves nothing else behind.
    ASSERT_TRUE(files::write_file(path(kDeviceIdentityBin), other, 0600, true).ok());
    EXPECT_EQ(get(kDeviceIdentityBin), std::string(other.begin(), other.end()));
    EXPECT_EQ(mode_of(path(kDeviceIdentityBin)), 0600u);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kDeviceIdentityBin}));
}

TEST_F(IdentityFiles, ADataFolderOthersCanChangeIsRefused) {
    CountingKeys keys;
    ASSERT_TRUE(load_local_stores(dir_, platform_protector(), keys).ok());
    const std::string channel = get(kIdentityBin);

    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    auto open = load_local_stores(dir_, platform_protector(), keys);
    ASSERT_FALSE(open.ok());
    EXPECT_EQ(open.error().text,
              "身份初始化失败: 数据目录 " + dir_.string() + " 可被其他用户写入（权限 0777），拒绝使用");
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);

    // Only root may hand the folder to someone else; elsewhere this half cannot be set up.
    if (::chown(dir_.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) == 0) {
        auto foreign = load_device_identity(dir_, platform_protector(), keys);
        ASSERT_FALSE(foreign.ok());
        EXPECT_EQ(foreign.error().text, "数据目录 " + dir_.string() + " 属于另一个用户（uid " +
                                            std::to_string(::geteuid() + 1) + "），拒绝使用");
        ASSERT_EQ(::chown(dir_.c_str(), ::geteuid(), static_cast<gid_t>(-1)), 0);
    }
    EXPECT_EQ(get(kIdentityBin), channel);
    EXPECT_TRUE(load_local_stores(dir_, platform_protector(), keys).ok());
}

}  // namespace
}  // namespace dovan
