// The routing table between the core and the feature modules: every application event and
// every request reaches the module it belongs to, and only that one.
#include "features/features.h"

#include <gtest/gtest.h>

#include <map>

#include "features/album.h"
#include "features/media.h"
#include "features/recorder.h"

namespace dovan {
namespace {

class FeatureRouting : public ::testing::Test {
protected:
    FeatureRouting() { features = std::make_unique<Features>(recording_modules(records, recorders, order)); }

    // The modules that saw `kind`, in the order they saw it.
    std::vector<std::string> route(AppEventKind kind) {
        order.clear();
        features->on_event(AppEvent{kind, {}});
        return order["event"];
    }

    std::map<std::string, Record> records;
    std::map<std::string, Recorder*> recorders;
    std::map<std::string, std::vector<std::string>> order;
    std::unique_ptr<Features> features;
};

using Names = std::vector<std::string>;

TEST_F(FeatureRouting, EveryBusinessEventReachesItsModuleAndTheSessionsOwnStayWithTheCore) {
    const struct {
        AppEventKind kind;
        Names modules;
    } cases[] = {
        {AppEventKind::NotificationPushed, {"notifications"}},
        {AppEventKind::NotificationReplyRequested, {"notifications"}},
        {AppEventKind::NotificationReplyAcked, {"notifications"}},
        {AppEventKind::NotificationDismissed, {"notifications"}},
        {AppEventKind::ClipboardReceived, {"clipboard"}},
        {AppEventKind::MediaStateReceived, {"media"}},
        {AppEventKind::MediaCommandReceived, {"media"}},
        {AppEventKind::DeviceStatusReceived, {"device_status"}},
        {AppEventKind::ConfigSyncReceived, {"config_sync"}},
        {AppEventKind::FileMetaReceived, {"file_receive"}},
        {AppEventKind::FileDoneReceived, {"file_receive"}},
        {AppEventKind::ResumeRequested, {"file_send"}},
        {AppEventKind::TransferInterrupted, {"file_send"}},
        {AppEventKind::TransferCancelled, {"file_send"}},
        {AppEventKind::AlbumListRequested, {"album"}},
        {AppEventKind::AlbumThumbRequested, {"album"}},
        {AppEventKind::AlbumFullRequested, {"album"}},
        {AppEventKind::AlbumListReceived, {"album"}},
        {AppEventKind::AlbumThumbReceived, {"album"}},
        {AppEventKind::StateChanged, {}},
        {AppEventKind::PeerHello, {}},
        {AppEventKind::SasReady, {}},
        {AppEventKind::PeerTrusted, {}},
        {AppEventKind::IdentityChanged, {}},
        {AppEventKind::TcpBound, {}},
        {AppEventKind::TcpUnbound, {}},
        {AppEventKind::EngineError, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        EXPECT_EQ(route(c.kind), c.modules);
    }
}

TEST_F(FeatureRouting, FileEventsTryTheOtherDirectionWhenTheFirstDoesNotKnowTheId) {
    recorders["file_receive"]->decline = true;
    EXPECT_EQ(route(AppEventKind::FileDoneReceived), (Names{"file_receive", "file_send"}));
    EXPECT_EQ(route(AppEventKind::TransferCancelled), (Names{"file_send"}));
    recorders["file_send"]->decline = true;
    EXPECT_EQ(route(AppEventKind::TransferInterrupted), (Names{"file_send", "file_receive"}));
    EXPECT_FALSE(features->on_event(AppEvent{AppEventKind::TransferInterrupted, {}}));
    EXPECT_FALSE(features->on_event(AppEvent{AppEventKind::FileDoneReceived, {}}));
}

TEST_F(FeatureRouting, RequestsReachTheirModulesInTheOrderTheyAreCarriedOut) {
    UiRequests r;
    r.send_clipboard = "text";
    r.media = MediaCommandRequest{1, 0, 0};
    r.send_reply = ReplyRequest{};
    r.send_files = std::vector<std::string>{"/tmp/a"};
    r.cancel = CancelRequest{TransferDirection::Receive, "a"};
    r.album_page = AlbumPageRequest{0, 30};

    features->session_requests(r);
    EXPECT_EQ(order["requests"], (Names{"clipboard", "media", "notifications"}));
    features->queue_requests(r);
    EXPECT_EQ(order["requests"],
              (Names{"clipboard", "media", "notifications", "file_send", "file_receive", "album"}));
    // Each slot is the business of the modules that look at it; all of them saw it set.
    for (const char* m : {"clipboard", "media", "notifications", "file_send", "file_receive", "album"})
        EXPECT_EQ(records[m].requests.size(), 6u) << m;
    EXPECT_TRUE(records["device_status"].requests.empty());
    EXPECT_TRUE(records["config_sync"].requests.empty());
}

TEST_F(FeatureRouting, StepsLinkChangesAndDeadlinesReachEveryModule) {
    const Instant t0{};
    features->step(TurnStep::ReplyExpiry, t0);
    features->on_link({LinkChange::Kind::TcpBound, {}});
    for (const auto& [name, rec] : records) {
        EXPECT_EQ(rec.steps, std::vector<TurnStep>{TurnStep::ReplyExpiry}) << name;
        EXPECT_EQ(rec.links, std::vector<LinkChange::Kind>{LinkChange::Kind::TcpBound}) << name;
    }
    EXPECT_FALSE(features->next_deadline());
    recorders["album"]->deadline = t0 + std::chrono::seconds(3);
    recorders["file_send"]->deadline = t0 + std::chrono::seconds(1);
    EXPECT_EQ(features->next_deadline(), t0 + std::chrono::seconds(1));
}

// The modules that already answer a confused phone do so with the texts the user sees.
class NoticeHost final : public FeatureHost {
public:
    Clock& clock() override { return clock_; }
    Engine* engine() override { return nullptr; }
    SharedUi& ui() override { return ui_; }
    LoadedModules modules() const override { return LoadedModules{0x1F}; }
    void push_notice(std::string_view t) override { notices.emplace_back(t); }
    void request_repaint() override {}
    void save_settings() override {}
    const std::filesystem::path& data_dir() const override { return dir_; }

    std::vector<std::string> notices;

private:
    FakeClock clock_;
    SharedUi ui_;
    std::filesystem::path dir_;
};

TEST(FeatureModules, RequestsMeantForThePhoneAreRefusedWithANotice) {
    NoticeHost host;
    Media media(host);
    Album album(host);
    EXPECT_TRUE(media.on_event(AppEvent{AppEventKind::MediaCommandReceived, {}}));
    EXPECT_TRUE(album.on_event(AppEvent{AppEventKind::AlbumFullRequested, {}}));
    EXPECT_EQ(host.notices, (Names{"收到对端发来的播放指令（本端是指令发起方，已忽略）",
                                   "收到对端发来的相册请求（本端是发起方，已忽略）"}));
    EXPECT_FALSE(media.on_event(AppEvent{AppEventKind::ClipboardReceived, {}}));
}

}  // namespace
}  // namespace dovan
