// The album through the console: `dovan --headless` and a phone simulator serving a
// synthetic album, as processes over a private loopback port.
#include <chrono>
#include <cstdio>

#include "desktop_fixture.h"

namespace dovan::e2e {
namespace {

class AlbumConsole : public Desktop {};

TEST_F(AlbumConsole, AnAlbumPageAndItsThumbnailsArriveOverTheBoundChannel) {
    start_phone({"--album", "300"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pc->wait_line("tcp 1"));
    const std::size_t from = pc->mark();
    const auto asked = std::chrono::steady_clock::now();
    pc->send("album page 0 24");
    auto list = pc->wait_line("album-list ", from);
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, "album-list 0 300 24\t");
    ASSERT_TRUE(eventually([&] { return pc->count("thumb ") >= 24; }));
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    std::printf("[ figure ] album page to the 24th thumbnail stored: %lld ms\n",
                static_cast<long long>(latency.count()));
    for (const auto& l : pc->lines()) {
        if (l.starts_with("thumb ")) {
            EXPECT_EQ(l.find("error"), std::string::npos) << l;
        }
    }

    const std::size_t listed = pc->mark();
    pc->send("album");
    ASSERT_TRUE(pc->wait_line("album end 0 300", listed));
    EXPECT_EQ(pc->count("album-item "), 24u);
    auto first = pc->wait_line("album-item 0 ", listed);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ends_with(" 0 100000 4000x3000\tIMG_0.jpg")) << *first;
}

TEST_F(AlbumConsole, AlbumRequestsWithTheChannelUnboundShowTheGateAndSendNothing) {
    start_phone({"--no-tcp", "--album", "10"});
    start_pc();
    pair();
    if (HasFatalFailure()) return;
    const std::string gate = "相册请求没有发出：局域网 TCP 通道未就绪（相册只走 TCP，不降级蓝牙）";
    const std::size_t from = pc->mark();
    pc->send("album page 0 10");
    EXPECT_TRUE(pc->wait_line("notice " + gate, from));
    pc->send("album drag 1 2");
    EXPECT_TRUE(pc->wait_line("drag failed\t" + gate, from));
    ASSERT_TRUE(status());
    EXPECT_EQ(pc->count("album-list"), 0u);
}

}  // namespace
}  // namespace dovan::e2e
