#include "shell/activation.h"

#include <gtest/gtest.h>

#include "platform/debug_log.h"
#include "platform/clipboard.h"
#include "shell/open_saved.h"

namespace dovan {
namespace {

TEST(ActivationLink, Grammar) {
    struct Case {
        const char* uri;
        std::optional<ActivationLink> link;
        std::optional<ActivationReject> why;
    };
    using V = ActivationVerb;
    using R = ActivationReject;
    const std::vector<Case> cases = {
        {"dovan://copy/1a", ActivationLink{V::Copy, 0x1a}, {}},
        {"dovan://reply/00000000000000ff", ActivationLink{V::Reply, 0xff}, {}},
        {"dovan://copy/+1A", ActivationLink{V::Copy, 0x1a}, {}},
        {"dovan://copy/FFFFFFFFFFFFFFFF", ActivationLink{V::Copy, UINT64_MAX}, {}},
        // Seventeen digits are fine while the value fits, not once it does not.
        {"dovan://copy/0ffffffffffffffff", ActivationLink{V::Copy, UINT64_MAX}, {}},
        {"dovan://copy/10000000000000000", {}, R::Parse},
        {"dovan://copy/", {}, R::Parse},
        {"dovan://copy/zz", {}, R::Parse},
        {"dovan://copy/+", {}, R::Parse},
        {"dovan://copy/-", {}, R::Parse},
        {"dovan://copy/-1", {}, R::Parse},
        {"dovan://copy/++1", {}, R::Parse},
        {"dovan://copy/1a/", {}, R::Parse},
        {"dovan://copy/ 1a", {}, R::Parse},
        {"dovan://copy", {}, R::Parse},
        {"dovan:/copy/1a", {}, R::Parse},
        {"DOVAN://copy/1a", {}, R::Parse},
        {"", {}, R::Parse},
        {"dovan://open/1a", ActivationLink{V::Open, 0x1a}, {}},
        {"dovan://reveal/2", ActivationLink{V::Reveal, 2}, {}},
        {"dovan://launch/1a", {}, R::Verb},
        {"dovan://OPEN/1a", {}, R::Verb},
        {"dovan://COPY/1a", {}, R::Verb},
        {"dovan:///1a", {}, R::Verb},
        {"dovan://open/zz", {}, R::Parse},
    };
    for (const auto& c : cases) {
        const auto got = parse_activation_link(c.uri);
        if (c.link) {
            ASSERT_TRUE(std::holds_alternative<ActivationLink>(got)) << c.uri;
            EXPECT_EQ(std::get<ActivationLink>(got), *c.link) << c.uri;
        } else {
            ASSERT_TRUE(std::holds_alternative<ActivationReject>(got)) << c.uri;
            EXPECT_EQ(std::get<ActivationReject>(got), *c.why) << c.uri;
        }
    }
}

TEST(ActivationLink, TokensAreSixteenLowerCaseDigitsAndParseBack) {
    EXPECT_EQ(activation_link(ActivationVerb::Copy, 0x1a), "dovan://copy/000000000000001a");
    EXPECT_EQ(activation_link(ActivationVerb::Reply, 0xABCDEF0123456789ULL), "dovan://reply/abcdef0123456789");
    for (std::uint64_t t : std::vector<std::uint64_t>{0, 1, 0x8000000000000000ULL, UINT64_MAX}) {
        const auto back = parse_activation_link(activation_link(ActivationVerb::Reply, t));
        ASSERT_TRUE(std::holds_alternative<ActivationLink>(back));
        EXPECT_EQ(std::get<ActivationLink>(back).token, t);
    }
}

ReplyTarget target(int id) { return ReplyTarget{"com.chat", "tag", 7, id, 1, "reply"}; }

class Activation : public ::testing::Test {
protected:
    FakeClock clock;
    ProcessClipboard clipboard;
    std::shared_ptr<SharedUi> ui = std::make_shared<SharedUi>();
    int shows = 0;
    int repaints = 0;
    std::vector<OpenRequest> opened;
    ActivationHost host{ui, &clipboard, &clock, [this] { ++shows; }, [this](OpenRequest r) { opened.push_back(std::move(r)); }};
    DebugCapture capture;

    void SetUp() override { ui->set_repaint([this] { ++repaints; }); }

    void add(std::uint64_t token, ToastAction action) {
        auto g = ui->lock();
        insert_toast_action(*g, token, std::move(action), clock.now());
    }
    std::vector<std::string> notices() {
        auto g = ui->lock();
        std::vector<std::string> out;
        for (const auto& n : g->notices) out.push_back(n.text);
        return out;
    }
    std::vector<std::string> reasons() {
        std::vector<std::string> out;
        for (const auto& r : capture.events("toast.reject")) out.push_back(r.field("why"));
        return out;
    }
};

TEST_F(Activation, CopyPutsTheCodeOnTheClipboardOnceAndMarksItSelfWritten) {
    add(0x1a, ToastAction{CopyCodeAction{"123456"}, {}});
    EXPECT_EQ(handle_activation("dovan://copy/1A", host), ActivationResult::Copied);
    EXPECT_EQ(clipboard.read_text(), std::optional<std::string>("123456"));
    {
        auto g = ui->lock();
        ASSERT_TRUE(g->self_clipboard);
        EXPECT_EQ(g->self_clipboard->text, "123456");
        EXPECT_EQ(g->self_clipboard->at, std::optional<Instant>(clock.now()));
        EXPECT_TRUE(g->toast_actions.empty());
    }
    clipboard.write_text("other");
    EXPECT_EQ(handle_activation("dovan://copy/1a", host), ActivationResult::Rejected);
    EXPECT_EQ(clipboard.read_text(), std::optional<std::string>("other"));
    EXPECT_EQ(notices(), std::vector<std::string>{"这条通知的操作已经过期或已经用过了"});
    EXPECT_EQ(reasons(), std::vector<std::string>{"stale"});
    EXPECT_EQ(shows, 0);
}

TEST_F(Activation, ReplyOpensTheReplyBoxAndShowsTheWindow) {
    {
        auto g = ui->lock();
        g->reply_target = target(1);
        g->reply_box = "half typed for another one";
    }
    add(0x2b, ToastAction{ReplyAction{target(2)}, {}});
    const auto before = ui->lock()->change_counter;
    EXPECT_EQ(handle_activation("dovan://reply/2b", host), ActivationResult::ReplyOpened);
    auto g = ui->lock();
    EXPECT_EQ(g->reply_target, std::optional<ReplyTarget>(target(2)));
    EXPECT_EQ(g->focus, InputFocus::ReplyBox);
    EXPECT_EQ(g->page, Page::Notifications);
    EXPECT_EQ(g->reply_box, "");
    EXPECT_GT(g->change_counter, before);
    EXPECT_EQ(shows, 1);
    EXPECT_GE(repaints, 1);
}

TEST_F(Activation, VerbMismatchIsRejectedAndConsumesTheToken) {
    add(1, ToastAction{ReplyAction{target(2)}, {}});
    add(2, ToastAction{CopyCodeAction{"9999"}, {}});
    EXPECT_EQ(handle_activation("dovan://copy/1", host), ActivationResult::Rejected);
    EXPECT_EQ(handle_activation("dovan://reply/2", host), ActivationResult::Rejected);
    // Both tokens are gone: the right verb afterwards finds nothing.
    EXPECT_EQ(handle_activation("dovan://reply/1", host), ActivationResult::Rejected);
    EXPECT_EQ(handle_activation("dovan://copy/2", host), ActivationResult::Rejected);
    EXPECT_EQ(reasons(), (std::vector<std::string>{"verb", "verb", "stale", "stale"}));
    EXPECT_EQ(clipboard.read_text(), std::nullopt);
    EXPECT_FALSE(ui->lock()->reply_target);
}

TEST_F(Activation, OpenAndRevealHandOverTheStoredPathOnce) {
    add(5, ToastAction{OpenRequest{"/home/u/Downloads/Dovan/a.pdf", OpenWhat::File}, {}});
    add(6, ToastAction{OpenRequest{"/home/u/Downloads/Dovan/a.pdf", OpenWhat::Folder}, {}});
    EXPECT_EQ(handle_activation("dovan://open/5", host), ActivationResult::Opened);
    EXPECT_EQ(handle_activation("dovan://reveal/6", host), ActivationResult::Opened);
    EXPECT_EQ(opened, (std::vector<OpenRequest>{{"/home/u/Downloads/Dovan/a.pdf", OpenWhat::File},
                                                {"/home/u/Downloads/Dovan/a.pdf", OpenWhat::Folder}}));
    EXPECT_EQ(handle_activation("dovan://open/5", host), ActivationResult::Rejected);
    EXPECT_EQ(handle_activation("dovan://reveal/6", host), ActivationResult::Rejected);
    EXPECT_EQ(reasons(), (std::vector<std::string>{"stale", "stale"}));
    EXPECT_EQ(opened.size(), 2u);
}

// A token answers only the verb it was drawn for: a reveal button's token never opens
// the file itself, and the copy and open buttons cannot stand in for each other.
TEST_F(Activation, OpenTokensAnswerOnlyTheirOwnVerb) {
    struct Case {
        ToastAction action;
        const char* uri;
    };
    const Case cases[] = {
        {{OpenRequest{"/in/run.sh", OpenWhat::Folder}, {}}, "dovan://open/1"},
        {{OpenRequest{"/in/a.pdf", OpenWhat::File}, {}}, "dovan://reveal/1"},
        {{OpenRequest{"/in/a.pdf", OpenWhat::File}, {}}, "dovan://copy/1"},
        {{OpenRequest{"/in/a.pdf", OpenWhat::File}, {}}, "dovan://reply/1"},
        {{CopyCodeAction{"1234"}, {}}, "dovan://open/1"},
        {{ReplyAction{target(1)}, {}}, "dovan://reveal/1"},
    };
    for (const auto& c : cases) {
        add(1, c.action);
        EXPECT_EQ(handle_activation(c.uri, host), ActivationResult::Rejected) << c.uri;
        EXPECT_FALSE(ui->lock()->toast_actions.contains(1)) << c.uri << ": the token is spent";
    }
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(reasons(), std::vector<std::string>(std::size(cases), "verb"));
    EXPECT_EQ(clipboard.read_text(), std::nullopt);
}

TEST_F(Activation, WithoutAnOpenerThePressLeavesANotice) {
    host.open = {};
    add(7, ToastAction{OpenRequest{"/in/a.pdf", OpenWhat::File}, {}});
    handle_activation("dovan://open/7", host);
    EXPECT_EQ(notices(), std::vector<std::string>{std::string(kNoOpenerNotice)});
    EXPECT_TRUE(ui->lock()->toast_actions.empty());
}

TEST_F(Activation, MalformedLinksLeaveTheParseNotice) {
    add(0x1a, ToastAction{CopyCodeAction{"1"}, {}});
    for (const char* uri : {"dovan://copy/", "dovan://copy/zz", "dovan://copy/+", "dovan://copy"})
        EXPECT_EQ(handle_activation(uri, host), ActivationResult::Rejected) << uri;
    EXPECT_EQ(handle_activation("dovan://launch/1a", host), ActivationResult::Rejected);
    EXPECT_EQ(reasons(), (std::vector<std::string>{"parse", "parse", "parse", "parse", "verb"}));
    auto g = ui->lock();
    ASSERT_EQ(g->notices.size(), 2u);
    EXPECT_EQ(g->notices[0].text, "这条通知的按钮和参数对不上，已忽略");
    EXPECT_EQ(g->notices[1].text, "收到一条格式不对的通知按钮请求，已忽略");
    EXPECT_EQ(g->notices[1].count, 4u);
    // A rejected link never spends a token.
    EXPECT_EQ(g->toast_actions.size(), 1u);
}

TEST_F(Activation, ActionsExpireAfterNineHundredSeconds) {
    add(1, ToastAction{CopyCodeAction{"111"}, {}});
    clock.advance(std::chrono::seconds(899));
    add(2, ToastAction{CopyCodeAction{"222"}, {}});
    EXPECT_EQ(ui->lock()->toast_actions.size(), 2u);
    clock.advance(std::chrono::seconds(1));
    // Token 1 is exactly 900 s old: expired for a lookup…
    EXPECT_EQ(handle_activation("dovan://copy/1", host), ActivationResult::Rejected);
    // …and swept by the next insertion, which keeps the younger one.
    add(1, ToastAction{CopyCodeAction{"333"}, {}});
    clock.advance(std::chrono::seconds(1));
    add(3, ToastAction{CopyCodeAction{"444"}, {}});
    {
        auto g = ui->lock();
        EXPECT_TRUE(g->toast_actions.contains(1));
        EXPECT_TRUE(g->toast_actions.contains(2));
        EXPECT_TRUE(g->toast_actions.contains(3));
    }
    clock.advance(std::chrono::seconds(898));
    add(4, ToastAction{CopyCodeAction{"555"}, {}});
    EXPECT_FALSE(ui->lock()->toast_actions.contains(2));
    EXPECT_EQ(handle_activation("dovan://copy/3", host), ActivationResult::Copied);
    EXPECT_EQ(clipboard.read_text(), std::optional<std::string>("444"));
}

}  // namespace
}  // namespace dovan
