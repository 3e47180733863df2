#include "lan/tcp_channel.h"

#include <gtest/gtest.h>

#include "platform/debug_log.h"
#include "loopback.h"

namespace dovan {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using test::make_frame;
using test::recv_n;
using test::send_all;
using test::sees_hangup;
using test::tcp_connect;
using test::tcp_connect_from;

// Short time-outs so nothing in these tests waits for the product's 15 s.
TcpChannelOptions fast_options() {
    TcpChannelOptions o = TcpChannelOptions::loopback(0);
    o.receive_timeout = 100ms;
    o.send_timeout = 500ms;
    o.queue_wait = 10ms;
    o.backpressure_give_up = 5s;
    return o;
}

struct Channel {
    explicit Channel(TcpChannelOptions o = fast_options()) {
        auto opened = open_listener(o);
        EXPECT_TRUE(opened.ok()) << opened.error().display();
        ch.emplace(std::move(opened).value());
    }
    ~Channel() { ch->stop_and_join(); }
    TcpChannel* operator->() { return &*ch; }

    std::optional<TcpAccepted> accepted() {
        std::optional<TcpAccepted> a;
        eventually([&] { return (a = ch->take_accepted()).has_value(); });
        return a;
    }
    std::optional<TcpClosed> closed() {
        std::optional<TcpClosed> c;
        eventually([&] { return (c = ch->take_closed()).has_value(); });
        return c;
    }
    std::optional<TcpFrame> frame() {
        std::optional<TcpFrame> f;
        eventually([&] { return (f = ch->pop_frame()).has_value(); });
        return f;
    }
    std::size_t queued() {
        std::lock_guard lock(ch->shared()->queue_mu);
        return ch->shared()->queue.size();
    }

    std::optional<TcpChannel> ch;
};

TEST(TcpChannel, CarriesFramesBothWays) {
    DebugCapture capture;
    Channel ch;
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(client.valid());

    auto acc = ch.accepted();
    ASSERT_TRUE(acc);
    EXPECT_EQ(acc->conn, 1u);
    EXPECT_EQ(acc->peer.ip_text(), "127.0.0.1");
    auto ev = capture.events("tcp.accept");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].field("conn"), "1");
    EXPECT_EQ(ev[0].field("addr"), acc->peer.text());
    EXPECT_TRUE(ch->has_connection());

    // A clear frame, an encrypted frame with an empty payload (its body is the 16-byte
    // tag alone), and a large frame whose body pauses for several receive time-outs.
    const Bytes clear = make_frame(HEARTBEAT, 0, 7, 3, 0x11);
    const Bytes sealed = make_frame(CLIPBOARD_PUSH, FLAG_ENCRYPTED, 8, 0, 0x22);
    const Bytes big = make_frame(FILE_CHUNK, FLAG_ENCRYPTED, 9, 300000, 0x33);
    ASSERT_EQ(sealed.size(), 13u + 16u);
    ASSERT_TRUE(send_all(client.get(), clear));
    ASSERT_TRUE(send_all(client.get(), sealed));
    ASSERT_TRUE(send_all(client.get(), ByteView(big).first(100000)));
    std::this_thread::sleep_for(350ms);
    ASSERT_TRUE(send_all(client.get(), ByteView(big).subspan(100000)));

    for (const Bytes* want : {&clear, &sealed, &big}) {
        auto f = ch.frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->conn, 1u);
        EXPECT_EQ(f->bytes, *want);
    }

    const std::vector<Bytes> out = {make_frame(BIND, 0, 1, 18, 0x44),
                                    make_frame(FILE_META, FLAG_ENCRYPTED, 2, 40, 0x55)};
    ASSERT_TRUE(ch->write_frames(1, out).ok());
    Bytes want;
    for (const Bytes& f : out) want.insert(want.end(), f.begin(), f.end());
    EXPECT_EQ(recv_n(client.get(), want.size()), want);
    EXPECT_FALSE(ch->take_closed());
}

struct EndCase {
    const char* name;
    Bytes sent;
    std::string reason;
};

TEST(TcpChannel, EndsConnectionWithReason) {
    Bytes bad_magic = make_frame(HELLO, 0, 0, 0);
    bad_magic[0] = 0x41;
    bad_magic[1] = 0x42;
    Bytes bad_version = make_frame(HELLO, 0, 0, 0);
    bad_version[2] = 2;
    Bytes too_large = make_frame(HELLO, 0, 0, 0);
    too_large[9] = 0x00, too_large[10] = 0x10, too_large[11] = 0x00, too_large[12] = 0x01;
    Bytes cut_body = make_frame(FILE_CHUNK, FLAG_ENCRYPTED, 1, 100);
    cut_body.resize(13 + 50);
    Bytes cut_header = make_frame(HELLO, 0, 0, 0);
    cut_header.resize(6);

    const EndCase cases[] = {
        {"bad magic", bad_magic, "帧解析失败: magic 不匹配（0x4142）"},
        {"bad version", bad_version, "帧解析失败: 协议版本不匹配（0x02）"},
        {"payload too large", too_large, "帧解析失败: payload_len 超出上限 1048577"},
        {"closed inside a body", cut_body, "连接被关闭"},
        {"closed inside a header", cut_header, "连接被关闭"},
        {"closed before any byte", {}, "连接被关闭"},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        Channel ch;
        UniqueFd client = tcp_connect(ch->port());
        ASSERT_TRUE(ch.accepted());
        ASSERT_TRUE(send_all(client.get(), c.sent));
        ::shutdown(client.get(), SHUT_WR);

        auto closed = ch.closed();
        ASSERT_TRUE(closed);
        EXPECT_EQ(closed->conn, 1u);
        EXPECT_EQ(closed->reason, c.reason);
        EXPECT_TRUE(sees_hangup(client.get()));
        EXPECT_FALSE(ch->pop_frame()) << "a partial or rejected frame was queued";
        EXPECT_FALSE(ch->has_connection());
    }
}

// Connections are served side by side; each one's accept and end are told once, in order,
// and its frames and writes stay its own.
TEST(TcpChannel, ConnectionsAreServedSideBySideEachUnderItsOwnId) {
    Channel ch;
    UniqueFd first = tcp_connect(ch->port());
    ASSERT_EQ(ch.accepted()->conn, 1u);
    UniqueFd second = tcp_connect(ch->port());
    ASSERT_EQ(ch.accepted()->conn, 2u);

    const Bytes f1 = make_frame(HEARTBEAT, 0, 1, 3, 0x11), f2 = make_frame(HEARTBEAT, 0, 2, 3, 0x22);
    ASSERT_TRUE(send_all(second.get(), f2));
    auto f = ch.frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->conn, 2u);
    EXPECT_EQ(f->bytes, f2);
    ASSERT_TRUE(send_all(first.get(), f1));
    f = ch.frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->conn, 1u);
    EXPECT_EQ(f->bytes, f1);

    const Bytes out = make_frame(HEARTBEAT, 0, 9, 3, 0x77);
    ASSERT_TRUE(ch->write_frames(2, std::vector<Bytes>{out}).ok());
    EXPECT_EQ(recv_n(second.get(), out.size()), out);
    EXPECT_EQ(recv_n(first.get(), 1, 100ms), Bytes{});

    second.reset();
    auto closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, 2u);
    EXPECT_EQ(closed->reason, "连接被关闭");
    EXPECT_TRUE(ch->has_connection(1));
    first.reset();
    closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, 1u);
    EXPECT_FALSE(ch->take_closed());

    // One that comes and goes before anyone looked is never mentioned at all.
    UniqueFd brief = tcp_connect(ch->port());
    ASSERT_TRUE(eventually([&] { return ch->has_connection(); }));
    brief.reset();
    ASSERT_TRUE(eventually([&] { return !ch->has_connection(); }));
    EXPECT_FALSE(ch->take_accepted());
    EXPECT_FALSE(ch->take_closed());
}

TEST(TcpChannel, SilentPeerStaysUntilTheCoreDropsIt) {
    Channel ch;
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());

    // Several receive time-outs pass without a byte: the connection stays.
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(ch->has_connection());
    EXPECT_FALSE(ch->take_closed());

    testing::internal::CaptureStderr();
    ch->close_connection(1);
    EXPECT_FALSE(ch->has_connection());
    EXPECT_EQ(ch->write_frames(1, std::vector<Bytes>{make_frame(HEARTBEAT, 0, 1, 3)}).error().text,
              "连接已关闭");
    // The socket is shut down at once, well inside one receive time-out.
    EXPECT_TRUE(sees_hangup(client.get(), 100ms));

    // And the listener serves the next phone.
    UniqueFd next = tcp_connect(ch->port());
    EXPECT_EQ(ch.accepted()->conn, 2u);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Dovan] TCP #1 本端已判死，收线后回到监听"), std::string::npos) << err;
    EXPECT_FALSE(ch->take_closed()) << "the core's own decision carries no reason";
}

// Strangers on the network may open connections and sit on them. They never keep the phone
// out: past the per-address share or the table's bound, a new connection displaces an
// older unbound one of whoever holds the most, and the bound connection stays.
TEST(TcpChannel, IdleStrangersNeverKeepTheNextConnectionOut) {
    Channel ch;
    std::vector<UniqueFd> strangers;
    std::vector<std::uint64_t> ids;
    // Four hosts, two idle connections each: the table is full.
    for (std::uint8_t host = 2; host <= 5; ++host) {
        for (int i = 0; i < 2; ++i) {
            strangers.push_back(tcp_connect_from(ch->port(), host));
            ASSERT_TRUE(strangers.back().valid());
            auto a = ch.accepted();
            ASSERT_TRUE(a);
            EXPECT_EQ(a->peer.ip_text(), format_text("127.0.0.{}", host));
            ids.push_back(a->conn);
        }
    }
    ASSERT_EQ(ids.size(), TCP_MAX_CONNECTIONS);

    // The phone is served at once; the oldest connection of a busiest host gives way.
    UniqueFd phone = tcp_connect(ch->port());
    auto a = ch.accepted();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->peer.ip_text(), "127.0.0.1");
    const std::uint64_t phone_id = a->conn;
    auto closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, ids[0]);
    EXPECT_EQ(closed->reason, "连接过多，让位给新连接");
    EXPECT_TRUE(sees_hangup(strangers[0].get()));
    const Bytes hb = make_frame(HEARTBEAT, 0, 1, 3);
    ASSERT_TRUE(send_all(phone.get(), hb));
    auto f = ch.frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->conn, phone_id);

    // Another stranger cannot push the phone out in turn: the host with the most goes.
    UniqueFd more = tcp_connect_from(ch->port(), 6);
    ASSERT_TRUE(ch.accepted());
    closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, ids[2]) << "127.0.0.3 held two, 127.0.0.2 one";
    EXPECT_TRUE(ch->has_connection(phone_id));

    // A host past its share displaces its own oldest, whatever room there is.
    ASSERT_TRUE(ch->bind_connection(phone_id));
    EXPECT_FALSE(ch->has_connection(ids[1]));
    std::vector<UniqueFd> own_fds;
    std::vector<std::uint64_t> own;
    for (int i = 0; i < 3; ++i) {
        own_fds.push_back(tcp_connect(ch->port()));
        a = ch.accepted();
        ASSERT_TRUE(a);
        own.push_back(a->conn);
    }
    closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, own[0]);
    EXPECT_TRUE(ch->has_connection(phone_id)) << "the bound connection is not counted, nor displaced";
    EXPECT_TRUE(ch->has_connection(own[1]));
    EXPECT_TRUE(ch->has_connection(own[2]));
}

// The core closes by name: a close meant for one connection never reaches another.
TEST(TcpChannel, ClosingOneConnectionLeavesTheOthersServed) {
    Channel ch;
    UniqueFd first = tcp_connect(ch->port());
    ASSERT_EQ(ch.accepted()->conn, 1u);
    UniqueFd second = tcp_connect(ch->port());
    ASSERT_EQ(ch.accepted()->conn, 2u);

    testing::internal::CaptureStderr();
    ch->close_connection(1);
    ch->close_connection(7);  // long gone, or never there
    EXPECT_TRUE(sees_hangup(first.get(), 500ms));
    std::this_thread::sleep_for(300ms);  // several receive time-outs of the second's reader
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Dovan] TCP #1 本端已判死"), std::string::npos) << err;
    EXPECT_EQ(err.find("[Dovan] TCP #2 本端已判死"), std::string::npos) << err;
    EXPECT_TRUE(ch->has_connection(2));
    EXPECT_FALSE(ch->has_connection(1));

    const Bytes hb = make_frame(HEARTBEAT, 0, 4, 3);
    ASSERT_TRUE(send_all(second.get(), hb));
    auto f = ch.frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->conn, 2u);
    ASSERT_TRUE(ch->send_now(2, hb).ok());
    EXPECT_EQ(recv_n(second.get(), hb.size()), hb);
    EXPECT_EQ(ch->send_now(1, hb).error().text, "连接已关闭");
    EXPECT_FALSE(ch->take_closed()) << "the core's own decision carries no reason";
}

// Sends one byte of `bytes` at a time, `gap` apart, until told to stop or the peer hangs up.
class Trickler {
public:
    Trickler(int fd, Bytes bytes, std::chrono::milliseconds gap)
        : thread_([this, fd, bytes = std::move(bytes), gap] {
              for (std::size_t i = 0; !stop_ && i < bytes.size(); ++i) {
                  if (::send(fd, &bytes[i], 1, MSG_NOSIGNAL) != 1) break;
                  std::this_thread::sleep_for(gap);
              }
          }) {}
    ~Trickler() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Connections are few, so a peer that sends slowly, or never binds, must not keep one: the
// frame and bind deadlines end it, and the phone beside it is served all along.
TEST(TcpChannel, TricklingOrNeverBindingPeersLoseTheSlotAtTheirDeadlines) {
    Bytes heartbeats;
    for (std::uint32_t i = 0; i < 400; ++i) {
        const Bytes f = make_frame(HEARTBEAT, 0, i, 0);
        heartbeats.insert(heartbeats.end(), f.begin(), f.end());
    }
    struct Case {
        const char* what;
        Duration frame_deadline, bind_deadline;
        Bytes sent;
        std::string reason;
    };
    const std::vector<Case> cases = {
        // A 1 MiB frame announced and fed a byte at a time.
        {"frame", 300ms, 60s, make_frame(FILE_CHUNK, FLAG_ENCRYPTED, 1, 1 << 20), "一帧 300ms 内未收完，断开"},
        // Whole frames, briskly, but never the binding.
        {"binding", 60s, 300ms, heartbeats, "300ms 内未完成通道绑定，断开"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TcpChannelOptions o = fast_options();
        o.frame_deadline = c.frame_deadline;
        o.bind_deadline = c.bind_deadline;
        Channel ch(o);
        UniqueFd slow = tcp_connect(ch->port());
        ASSERT_TRUE(ch.accepted());
        Trickler trickle(slow.get(), c.sent, 20ms);
        UniqueFd phone = tcp_connect(ch->port());
        auto next = ch.accepted();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->conn, 2u);
        EXPECT_TRUE(ch->has_connection(1)) << "the phone is served beside the stranger";
        auto closed = ch.closed();
        ASSERT_TRUE(closed);
        EXPECT_EQ(closed->conn, 1u);
        EXPECT_EQ(closed->reason, c.reason);
    }
}

TEST(TcpChannel, ABoundConnectionOutlivesTheBindDeadline) {
    TcpChannelOptions o = fast_options();
    o.bind_deadline = 200ms;
    Channel ch(o);
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());
    EXPECT_FALSE(ch->bound_peer());
    ASSERT_TRUE(ch->bind_connection(1));
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(ch->has_connection());
    EXPECT_FALSE(ch->take_closed());
    ASSERT_TRUE(ch->bound_peer());
    EXPECT_EQ(ch->bound_peer()->ip_text(), "127.0.0.1");
    EXPECT_FALSE(ch->bind_connection(2)) << "no such connection";
}

TEST(TcpChannel, FullQueueWaitsAndWakeLetsTheReaderOn) {
    DebugCapture capture;
    // Waits far longer than the test: only the wake can let the reader recheck in time.
    TcpChannelOptions o = fast_options();
    o.queue_wait = 5s;
    o.backpressure_give_up = 60s;
    Channel ch(o);
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());

    // Seven 1 MiB frames fit in 8 MiB; the eighth waits although only seven are queued.
    const Bytes big = make_frame(FILE_CHUNK, 0, 1, FRAME_MAX_PAYLOAD);
    std::thread sender([&] {
        for (int i = 0; i < 8; ++i) send_all(client.get(), big);
    });
    EXPECT_TRUE(eventually([&] { return ch.queued() == 7; }));
    EXPECT_TRUE(eventually([&] { return capture.has("tcp.rx.backpressure"); }));
    EXPECT_EQ(ch.queued(), 7u);

    ASSERT_TRUE(ch->pop_frame());
    ch->wake_reader();
    EXPECT_TRUE(eventually([&] { return ch.queued() == 7; }, 1000ms));
    sender.join();
    auto ev = capture.events("tcp.rx.backpressure");
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev[0].field("conn"), "1");
    EXPECT_EQ(ev[0].field("queued"), "7");
    EXPECT_EQ(ev[0].field("episodes"), "1");
    EXPECT_FALSE(ch->take_closed());
}

TEST(TcpChannel, BackPressureGivesUpWhenNobodyDrains) {
    DebugCapture capture;
    TcpChannelOptions o = fast_options();
    o.queue_wait = 10ms;
    o.backpressure_give_up = 1s;
    Channel ch(o);
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());

    Bytes burst;
    for (std::uint32_t i = 0; i < 66; ++i) {
        Bytes f = make_frame(HEARTBEAT, 0, i, 3);
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(send_all(client.get(), burst));

    auto closed = ch.closed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->conn, 1u);
    EXPECT_EQ(closed->reason, "入站队列 1s 内无人取帧，本机吃不下了，主动断开");
    EXPECT_EQ(ch.queued(), 64u) << "the 64th frame fits, the 65th waits";
    // 100 timed-out waits: events at the 1st and the 65th.
    auto ev = capture.events("tcp.rx.backpressure");
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].field("episodes"), "65");
    EXPECT_EQ(ev[1].field("queued"), "64");
    EXPECT_TRUE(sees_hangup(client.get()));
}

TEST(TcpChannel, WriteErrorsAreReportedNotFatal) {
    Channel ch;
    UniqueFd client = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());
    // An abortive close makes the next writes fail (and must not raise SIGPIPE).
    linger lg{1, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    client.reset();

    // Whether the reader or a write notices first, the write fails with a channel text.
    Status last;
    ASSERT_TRUE(eventually([&] {
        last = ch->write_frames(1, std::vector<Bytes>{make_frame(HEARTBEAT, 0, 1, 3)});
        return !last.ok();
    }));
    const std::string& text = last.error().text;
    EXPECT_TRUE(text == "连接已关闭" || text.rfind("IO 失败: ", 0) == 0) << text;
    auto closed = ch.closed();
    ASSERT_TRUE(closed);
    // A write may take the reset's error before the reader sees it, leaving a plain end.
    EXPECT_TRUE(closed->reason == "IO 失败: " + errno_text(ECONNRESET) ||
                closed->reason == "连接被关闭")
        << closed->reason;
}

// The caller hands frames over and goes on; the writer sends them in order, tells the
// caller when half of a full queue is out, and a peer that stops reading costs the
// connection after the send time-out, never the caller's time.
TEST(TcpChannel, TheWriterTakesFramesWithoutWaitingForThePeer) {
    std::atomic<int> woken{0};
    TcpChannelOptions o = fast_options();
    o.on_work = [&] { woken.fetch_add(1); };
    Channel ch(o);
    const Bytes big = make_frame(FILE_CHUNK, 0, 1, FRAME_MAX_PAYLOAD);

    {
        UniqueFd reading = tcp_connect(ch->port());
        ASSERT_TRUE(ch.accepted());
        std::vector<Bytes> three(3);
        for (std::uint8_t i = 0; i < three.size(); ++i) three[i] = make_frame(FILE_CHUNK, 0, i, FRAME_MAX_PAYLOAD, i);
        Bytes want;
        for (const Bytes& f : three) want.insert(want.end(), f.begin(), f.end());
        const int before = woken.load();
        ASSERT_TRUE(ch->write_frames(1, three).ok());
        EXPECT_EQ(recv_n(reading.get(), want.size()), want);
        EXPECT_TRUE(eventually([&] { return ch->write_room(); }));
        // The bytes can be read before the writer has counted the last frame out.
        EXPECT_TRUE(eventually([&] { return woken.load() > before; }));
        ch->close_connection(1);
    }

    UniqueFd silent = tcp_connect(ch->port());
    ASSERT_TRUE(ch.accepted());
    // Far more than the socket buffers hold: the call still returns at once.
    ASSERT_TRUE(ch->write_frames(2, std::vector<Bytes>(48, big)).ok());
    Status later;
    ASSERT_TRUE(eventually([&] { return !(later = ch->write_frames(2, {})).ok(); }, 5000ms));
    EXPECT_EQ(later.error().text, "IO 失败: " + errno_text(EAGAIN));
    // The frames behind the failure are dropped, not kept against the limit.
    EXPECT_TRUE(ch->write_room());
    EXPECT_FALSE(ch->write_frames(2, {big}).ok());
}

TEST(TcpChannel, ListenerErrorsAndRestartAfterTimeWait) {
    Channel first;
    const std::uint16_t port = first->port();
    ASSERT_NE(port, 0);

    TcpChannelOptions o = fast_options();
    o.port = port;
    auto clash = open_listener(o);
    ASSERT_FALSE(clash.ok());
    EXPECT_EQ(clash.error().text,
              format_text("TCP 监听 127.0.0.1:{} 失败: {}", port, errno_text(EADDRINUSE)));

    // Leave a server-side connection in TIME_WAIT: the core drops it, the reader hangs up
    // first, then the phone closes.
    UniqueFd client = tcp_connect(port);
    ASSERT_TRUE(first.accepted());
    first->close_connection(1);
    ASSERT_TRUE(sees_hangup(client.get()));
    client.reset();
    first->stop_and_join();
    first.ch.reset();

    auto again = open_listener(o);
    ASSERT_TRUE(again.ok()) << again.error().text;
    EXPECT_EQ(again->port(), port);
    again->stop_and_join();
    first.ch.emplace(std::move(again).value());
}

TEST(TcpChannel, StoppingFreesThePortWhileAPeerIsSilent) {
    TcpChannelOptions o = fast_options();
    o.receive_timeout = 20s;
    auto opened = open_listener(o);
    ASSERT_TRUE(opened.ok());
    std::optional<TcpChannel> ch(std::move(opened).value());
    const std::uint16_t port = ch->port();
    UniqueFd client = tcp_connect(port);
    ASSERT_TRUE(eventually([&] { return ch->take_accepted().has_value(); }));

    // The core's LAN shutdown drops the channel without waiting for the reader.
    ch.reset();
    EXPECT_TRUE(sees_hangup(client.get(), 2000ms));
    o.port = port;
    std::optional<TcpChannel> again;
    EXPECT_TRUE(eventually([&] {
        auto r = open_listener(o);
        if (r.ok()) again.emplace(std::move(r).value());
        return again.has_value();
    }, 2000ms)) << "the old reader still holds the port";
    if (again) again->stop_and_join();
}

}  // namespace
}  // namespace dovan
