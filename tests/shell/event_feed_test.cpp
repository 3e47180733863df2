#include "shell/event_feed.h"

#include <gtest/gtest.h>

#include <thread>

namespace dovan {
namespace {

std::vector<std::string> texts(const EventFeed::Batch& b) {
    std::vector<std::string> out;
    for (const auto& e : b.events) out.push_back(std::get<feed::Notice>(e.data).text);
    return out;
}

TEST(EventFeed, ReadersKeepTheirOwnCursorsAndReadInOrder) {
    EventFeed f(8);
    const std::uint64_t start = f.end();
    EXPECT_EQ(f.append(feed::Notice{"a"}), start);
    f.append(feed::Notice{"b"});
    f.append(feed::Notice{"c"});

    auto all = f.read(start);
    EXPECT_EQ(texts(all), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(all.lost, 0u);
    EXPECT_EQ(all.next, f.end());

    auto two = f.read(start, 2);  // a second reader, reading in small bites
    EXPECT_EQ(texts(two), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(texts(f.read(two.next)), (std::vector<std::string>{"c"}));

    auto none = f.read(all.next);
    EXPECT_TRUE(none.events.empty());
    EXPECT_EQ(none.next, all.next);
}

TEST(EventFeed, AFullFeedDropsTheOldestAndTellsEachLaggingReaderHowMany) {
    EventFeed f(3);
    const std::uint64_t start = f.end();
    for (const char* t : {"a", "b", "c", "d", "e"}) f.append(feed::Notice{t});
    auto late = f.read(start);
    EXPECT_EQ(late.lost, 2u);
    EXPECT_EQ(texts(late), (std::vector<std::string>{"c", "d", "e"}));
    auto less_late = f.read(start + 1);
    EXPECT_EQ(less_late.lost, 1u);
    // A reader that is up to date lost nothing, however much was dropped before it.
    EXPECT_EQ(f.read(late.next).lost, 0u);
    // A cursor from the future (a reader of another feed) reads nothing.
    auto ahead = f.read(late.next + 10);
    EXPECT_TRUE(ahead.events.empty());
    EXPECT_EQ(ahead.lost, 0u);
}

TEST(EventFeed, WaitReturnsOnceTheNextEventExists) {
    EventFeed f;
    const std::uint64_t cursor = f.end();
    EXPECT_FALSE(f.wait(cursor, std::chrono::milliseconds(0)));
    std::thread writer([&] { f.append(feed::Tcp{true}); });
    EXPECT_TRUE(f.wait(cursor, std::chrono::seconds(30)));
    writer.join();
    EXPECT_TRUE(f.wait(cursor, std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace dovan

namespace dovan {
namespace {

TEST(EventFeed, AnInterruptEndsTheWaitsOfAReaderShuttingDown) {
    EventFeed f;
    const std::uint64_t cursor = f.end();
    std::thread reader([&] { EXPECT_FALSE(f.wait(cursor, std::chrono::hours(1))); });
    f.interrupt();
    reader.join();
    // Also a wait that begins after the interrupt.
    EXPECT_FALSE(f.wait(cursor, std::chrono::hours(1)));
}

}  // namespace
}  // namespace dovan
