// Business messages between a paired PC and phone: which link carries them, what each one
// becomes on the other side, and the file bookkeeping that recognises late frames.
#include <gtest/gtest.h>

#include <functional>

#include "platform/debug_log.h"
#include "session/bound_pair.h"

namespace dovan {
namespace {

using test::BoundPair;

std::vector<std::string> field_of(const DebugCapture& c, std::string_view event, const char* key) {
    std::vector<std::string> out;
    for (const auto& r : c.events(event)) out.push_back(r.field(key));
    return out;
}

const AppEvent* only(const std::vector<AppEvent>& events, AppEventKind kind) {
    const AppEvent* found = nullptr;
    for (const auto& e : events) {
        if (e.kind != kind) continue;
        EXPECT_EQ(found, nullptr) << "more than one event of the kind";
        found = &e;
    }
    return found;
}

template <class M>
const M& message(const AppEvent* e) {
    static const M empty;
    if (!e) return empty;
    auto* m = e->as<MessageEvent<M>>();
    EXPECT_NE(m, nullptr);
    return m ? m->message : empty;
}

// ---- every message type reaches the other side as its event ----

struct RoundTrip {
    const char* name;
    bool from_pc;
    std::function<bool(Engine&)> send;
    AppEventKind kind;
    std::function<void(const AppEvent*)> check;
};

TEST(BusinessRoundTrip, EveryTypeArrivesAsItsEventOverEitherLink) {
    std::vector<RoundTrip> cases;
    auto add = [&](const char* name, bool from_pc, std::uint8_t type, Bytes body, AppEventKind kind,
                   std::function<void(const AppEvent*)> check) {
        cases.push_back({name, from_pc,
                         [type, body](Engine& e) { return e.send_business(type, body, 1700, false); },
                         kind, std::move(check)});
    };
    {
        pb::NotificationPush m;
        m.set_package("com.chat");
        m.set_can_reply(true);
        add("notification", false, NOTIFICATION_PUSH, encode_notification_push(m),
            AppEventKind::NotificationPushed, [](const AppEvent* e) {
                EXPECT_EQ(message<pb::NotificationPush>(e).package(), "com.chat");
                EXPECT_TRUE(message<pb::NotificationPush>(e).can_reply());
            });
    }
    {
        pb::NotificationReply m;
        m.set_reply_id(7);
        m.set_text("ok");
        add("reply", true, NOTIFICATION_REPLY, encode_notification_reply(m),
            AppEventKind::NotificationReplyRequested,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::NotificationReply>(e).text(), "ok"); });
    }
    {
        pb::NotificationDismiss m;
        m.set_key_hash(-5);
        add("dismiss", false, NOTIFICATION_DISMISS, encode_notification_dismiss(m),
            AppEventKind::NotificationDismissed,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::NotificationDismiss>(e).key_hash(), -5); });
    }
    {
        pb::NotificationReplyAck m;
        m.set_reply_id(7);
        m.set_ok(true);
        add("reply ack", false, NOTIFICATION_REPLY_ACK, encode_notification_reply_ack(m),
            AppEventKind::NotificationReplyAcked,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::NotificationReplyAck>(e).reply_id(), 7u); });
    }
    {
        pb::ClipboardPush m;
        m.set_data("剪贴板");
        add("clipboard", true, CLIPBOARD_PUSH, encode_clipboard_push(m), AppEventKind::ClipboardReceived,
            [](const AppEvent* e) { EXPECT_EQ(e->as<ClipboardReceivedEvent>()->text, "剪贴板"); });
    }
    {
        pb::MediaState m;
        m.set_title("song");
        m.set_playing(true);
        add("media state", false, MEDIA_STATE, encode_media_state(m), AppEventKind::MediaStateReceived,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::MediaState>(e).title(), "song"); });
    }
    {
        pb::MediaCommand m;
        m.set_action(8);
        m.set_volume(40);
        add("media command", true, MEDIA_COMMAND, encode_media_command(m),
            AppEventKind::MediaCommandReceived,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::MediaCommand>(e).volume(), 40); });
    }
    {
        pb::DeviceStatus m;
        m.set_battery(81);
        add("device status", false, DEVICE_STATUS, encode_device_status(m),
            AppEventKind::DeviceStatusReceived,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::DeviceStatus>(e).battery(), 81); });
    }
    {
        pb::ConfigSync m;
        auto* entry = m.add_entries();
        entry->set_key("theme");
        entry->set_value("dark");
        add("config", true, CONFIG_SYNC, encode_config_sync(m), AppEventKind::ConfigSyncReceived,
            [](const AppEvent* e) {
                ASSERT_EQ(message<pb::ConfigSync>(e).entries_size(), 1);
                EXPECT_EQ(message<pb::ConfigSync>(e).entries(0).value(), "dark");
            });
    }
    {
        pb::AlbumListRequest m;
        m.set_page(2);
        add("album list request", true, ALBUM_LIST_REQUEST, encode_album_list_request(m),
            AppEventKind::AlbumListRequested,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::AlbumListRequest>(e).page(), 2u); });
        pb::AlbumList l;
        l.add_items()->set_name("IMG_1.jpg");
        add("album list", false, ALBUM_LIST, encode_album_list(l), AppEventKind::AlbumListReceived,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::AlbumList>(e).items(0).name(), "IMG_1.jpg"); });
        pb::AlbumThumbRequest tr;
        tr.set_id(0x1234567890ULL);
        add("thumb request", true, ALBUM_THUMB_REQUEST, encode_album_thumb_request(tr),
            AppEventKind::AlbumThumbRequested,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::AlbumThumbRequest>(e).id(), 0x1234567890ULL); });
        pb::AlbumThumb t;
        t.set_jpeg(std::string("\xFF\xD8\xFF", 3));
        add("thumb", false, ALBUM_THUMB, encode_album_thumb(t), AppEventKind::AlbumThumbReceived,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::AlbumThumb>(e).jpeg().size(), 3u); });
        pb::AlbumFullRequest f;
        f.add_ids(1);
        f.add_ids(2);
        add("full request", true, ALBUM_FULL_REQUEST, encode_album_full_request(f),
            AppEventKind::AlbumFullRequested,
            [](const AppEvent* e) { EXPECT_EQ(message<pb::AlbumFullRequest>(e).ids_size(), 2); });
    }
    {
        pb::FileMeta m;
        m.set_name("报告.pdf");
        m.set_size(300000);
        m.set_file_id(0xF1);
        m.set_chunk_size(262144);
        m.set_sha256(std::string(32, 'h'));
        m.set_crc32(99);
        m.set_album_id(42);
        add("file meta", false, FILE_META, encode_file_meta(m), AppEventKind::FileMetaReceived,
            [](const AppEvent* e) {
                auto* meta = e->as<FileMetaReceivedEvent>();
                ASSERT_NE(meta, nullptr);
                EXPECT_EQ(meta->name, "报告.pdf");
                EXPECT_EQ(meta->size, 300000u);
                EXPECT_EQ(meta->file_id, 0xF1u);
                EXPECT_EQ(meta->chunk_size, 262144u);
                EXPECT_EQ(meta->sha256, Bytes(32, 'h'));
                EXPECT_EQ(meta->crc32, 99u);
                EXPECT_EQ(meta->album_id, 42u);
            });
    }
    cases.push_back({"file done", true,
                     [](Engine& e) { return e.send_file_done(0xF2, false, "磁盘已满", std::nullopt, false, 1); },
                     AppEventKind::FileDoneReceived, [](const AppEvent* e) {
                         auto* d = e->as<FileDoneReceivedEvent>();
                         ASSERT_NE(d, nullptr);
                         EXPECT_EQ(d->file_id, 0xF2u);
                         EXPECT_FALSE(d->ok);
                         EXPECT_EQ(d->error, "磁盘已满");
                         EXPECT_FALSE(d->sha256.has_value());
                     }});
    cases.push_back({"file done cancelled", false,
                     [](Engine& e) { return e.send_file_done(0xF3, false, "  用户取消 ", std::nullopt, true, 1); },
                     AppEventKind::TransferCancelled, [](const AppEvent* e) {
                         EXPECT_EQ(e->as<TransferCancelledEvent>()->reason, "用户取消");
                     }});
    cases.push_back({"resume", true, [](Engine& e) { return e.send_file_resume(0x1122334455667788ULL, 9, 1); },
                     AppEventKind::ResumeRequested, [](const AppEvent* e) {
                         auto* r = e->as<ResumeRequestedEvent>();
                         ASSERT_NE(r, nullptr);
                         EXPECT_EQ(r->file_id, 0x1122334455667788ULL);
                         EXPECT_EQ(r->chunk_index, 9u);
                     }});

    for (bool bound : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (bound ? " over TCP" : " over BLE"));
            BoundPair p;
            if (bound) p.bind();
            Engine& from = c.from_pc ? p.pc : p.phone;
            Engine& to = c.from_pc ? p.phone : p.pc;
            ASSERT_TRUE(c.send(from));
            EXPECT_EQ(from.tcp_out().empty(), !bound);
            p.pump();
            auto events = to.take_events();
            EXPECT_TRUE(test::error_texts(events).empty()) << test::error_texts(events)[0];
            const AppEvent* e = only(events, c.kind);
            ASSERT_NE(e, nullptr);
            c.check(e);
        }
    }
}

TEST(BusinessRoundTrip, ChunksGoToTheirQueueAndEvery64thIsLogged) {
    DebugCapture capture;
    BoundPair p;
    p.bind();
    // Through the generated encoding and sealed straight from the data: the same on arrival.
    const std::uint32_t indexes[] = {0u, 1u, 63u, 64u, 128u};
    for (std::uint32_t index : indexes) {
        const Bytes data(index + 1, static_cast<std::uint8_t>('a' + index % 26));
        if (index % 2 == 0) {
            ASSERT_TRUE(p.phone.send_file_chunk(FileChunkView{0xC0, index, data, index * 3}, 1));
            continue;
        }
        pb::FileChunk c;
        c.set_file_id(0xC0);
        c.set_index(index);
        c.set_data(data.data(), data.size());
        c.set_crc32(index * 3);
        ASSERT_TRUE(p.phone.send_business(FILE_CHUNK, encode_file_chunk(c), 1, true));
    }
    p.pump();
    EXPECT_TRUE(p.pc.take_events().empty());
    const auto& q = p.pc.received_chunks();
    ASSERT_EQ(q.size(), 5u);
    for (std::size_t i = 0; i < q.size(); ++i) {
        const std::uint32_t index = indexes[i];
        EXPECT_EQ(q[i].index, index);
        EXPECT_EQ(q[i].data, Bytes(index + 1, static_cast<std::uint8_t>('a' + index % 26))) << index;
        EXPECT_EQ(q[i].crc32, index * 3);
        EXPECT_EQ(q[i].file_id, 0xC0u);
    }
    EXPECT_EQ(field_of(capture, "file.chunk", "index"), (std::vector<std::string>{"0", "64", "128"}));
    EXPECT_EQ(field_of(capture, "file.chunk", "file_id")[0], "0xc0");
}

// ---- link choice ----

TEST(Routing, ChunksOfABleLockedTransferStayOnBleWhileTheRestUsesTcp) {
    DebugCapture capture;
    BoundPair p;
    struct Case {
        bool bound;
        LockChannel lock;
        bool locked;
        bool over_tcp;
    };
    const Case cases[] = {
        {false, LockChannel::None, false, false}, {false, LockChannel::Tcp, true, false},
        {true, LockChannel::None, false, true},   {true, LockChannel::Ble, false, true},
        {true, LockChannel::Ble, true, false},    {true, LockChannel::Tcp, true, true},
        {true, LockChannel::None, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bound << " " << int(c.lock) << " " << c.locked);
        if (c.bound && !p.pc.tcp_bound()) p.bind();
        p.pc.set_transfer_lock({c.lock, 1});
        capture.clear();
        ASSERT_TRUE(p.pc.send_business(c.locked ? FILE_CHUNK : MEDIA_COMMAND, Bytes{}, 1, c.locked));
        EXPECT_EQ(p.pc.tcp_out().size(), c.over_tcp ? 1u : 0u);
        EXPECT_EQ(p.pc.ble_out().empty(), c.over_tcp);
        auto route = capture.events("file.route");
        ASSERT_EQ(route.size(), 1u);
        EXPECT_EQ(route[0].field("msg"), c.locked ? "0x31" : "0x81");
        EXPECT_EQ(route[0].field("channel"), c.over_tcp ? "tcp" : "ble");
        EXPECT_EQ(route[0].field("tcp_bound"), c.bound ? "1" : "0");
        EXPECT_EQ(route[0].field("locked"), c.locked ? "1" : "0");
        p.pump();
        EXPECT_TRUE(test::error_texts(p.phone.take_events()).empty());
    }
}

TEST(Routing, ChunksWaitWhileTheTcpWriterIsBehindWithoutSpendingASequenceNumber) {
    DebugCapture capture;
    BoundPair p;
    p.bind();
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(p.pc.send_business(FILE_CHUNK, Bytes{}, 1, true));
    const std::uint32_t seq = p.pc.send_seq();
    EXPECT_FALSE(p.pc.send_business(FILE_CHUNK, Bytes{}, 1, true));
    EXPECT_EQ(p.pc.send_seq(), seq);
    EXPECT_EQ(field_of(capture, "tcp.queue_full", "depth"), std::vector<std::string>{"16"});
    EXPECT_TRUE(p.pc.send_business(NOTIFICATION_REPLY, Bytes{}, 1, false));  // only chunks wait
    EXPECT_EQ(p.pc.tcp_out().size(), 17u);
    ASSERT_TRUE(p.pc.next_tcp_frame());
    ASSERT_TRUE(p.pc.next_tcp_frame());
    EXPECT_TRUE(p.pc.send_business(FILE_CHUNK, Bytes{}, 1, true));
}

TEST(Routing, NothingIsSentBeforePairingAndAlbumRequestsNeedTcp) {
    Engine e(test::base_config(0));
    EXPECT_FALSE(e.send_business(CLIPBOARD_PUSH, Bytes{}, 1, false));
    EXPECT_FALSE(e.send_tcp_only(ALBUM_LIST_REQUEST, Bytes{}, 1));
    EXPECT_TRUE(e.ble_out().empty());
    EXPECT_TRUE(e.take_events().empty());
}

TEST(Routing, FileDoneReleasesOnlyItsOwnLock) {
    DebugCapture capture;
    BoundPair p;
    p.pc.set_transfer_lock({LockChannel::Ble, 5});
    EXPECT_TRUE(p.pc.send_file_done(6, true, std::nullopt, Bytes(32, 1), false, 1));
    EXPECT_EQ(p.pc.transfer_lock(), (TransferLock{LockChannel::Ble, 5}));
    EXPECT_TRUE(p.pc.send_file_done(5, true, std::nullopt, std::nullopt, false, 1));
    EXPECT_EQ(p.pc.transfer_lock(), TransferLock{});
    auto sent = capture.events("file.done.send");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].field("file_id"), "0x6");
    EXPECT_EQ(sent[0].field("has_sha"), "true");
    EXPECT_EQ(sent[1].field("has_sha"), "false");
    p.pump();
    auto done = p.phone.take_events();
    ASSERT_EQ(test::count_kind(done, AppEventKind::FileDoneReceived), 2u);
    EXPECT_EQ(done[0].as<FileDoneReceivedEvent>()->sha256, Bytes(32, 1));
}

TEST(Routing, ResumeRequestLocksAFreeTransferToTcpOnlyWhenBound) {
    DebugCapture capture;
    BoundPair p;
    p.pc.send_file_resume(0xAA, 3, 1);
    p.pump();
    EXPECT_EQ(p.phone.transfer_lock(), TransferLock{});
    p.bind();
    p.pc.send_file_resume(0xAA, 4, 1);
    p.pump();
    EXPECT_EQ(p.phone.transfer_lock(), (TransferLock{LockChannel::Tcp, 0xAA}));
    p.phone.set_transfer_lock({LockChannel::Ble, 0xBB});
    p.pc.send_file_resume(0xAA, 5, 1);
    p.pump();
    EXPECT_EQ(p.phone.transfer_lock(), (TransferLock{LockChannel::Ble, 0xBB}));
    EXPECT_EQ(field_of(capture, "file.resume", "repin"),
              (std::vector<std::string>{"false", "true", "true"}));
    EXPECT_EQ(field_of(capture, "file.resume.send", "from"),
              (std::vector<std::string>{"3", "4", "5"}));
}

}  // namespace
}  // namespace dovan

namespace dovan {
namespace {

using test::BoundPair;

// The phone seals whatever plaintext it is given; the PC reports what it cannot take.
std::vector<std::string> pc_errors_for(BoundPair& p, std::uint8_t type, const Bytes& plaintext) {
    EXPECT_TRUE(p.phone.send_encrypted_ble(type, plaintext));
    p.pump();
    return test::error_texts(p.pc.take_events());
}

Bytes env(const Bytes& body) { return encode_envelope(Bytes(16, 2), 5, Bytes(8, 2), body); }

TEST(BusinessDispatch, MalformedEnvelopesAndBodiesAreReportedWithTheirOwnTexts) {
    const Bytes bad_envelope{0x0A, 0x05, 1};  // msg_id claims 5 bytes, has 1
    const Bytes bad_body{0x12, 0x09};         // field 2 claims 9 bytes, has none
    const std::string env_why = decode_envelope(bad_envelope).error().display();
    struct Case {
        std::uint8_t type;
        const char* envelope_text;
        const char* body_text;  // nullptr: the body is not a message
        std::string body_why;
    };
    const Case cases[] = {
        {CONFIG_SYNC, "配置同步信封解析失败: {}", "配置同步解析失败: {}",
         decode_config_sync(bad_body).error().display()},
        {NOTIFICATION_PUSH, "通知信封解析失败: {}", "通知解析失败: {}",
         decode_notification_push(bad_body).error().display()},
        {NOTIFICATION_REPLY, "回复请求信封解析失败: {}", "回复请求解析失败: {}",
         decode_notification_reply(bad_body).error().display()},
        {NOTIFICATION_DISMISS, "通知消失信封解析失败: {}", "通知消失解析失败: {}",
         decode_notification_dismiss(bad_body).error().display()},
        {NOTIFICATION_REPLY_ACK, "回复回执信封解析失败: {}", "回复回执解析失败: {}",
         decode_notification_reply_ack(bad_body).error().display()},
        {CLIPBOARD_PUSH, "剪贴板信封解析失败: {}", "剪贴板解析失败: {}",
         decode_clipboard_push(bad_body).error().display()},
        {FILE_META, "文件元信息信封解析失败: {}", "文件元信息解析失败: {}",
         decode_file_meta(bad_body).error().display()},
        {FILE_CHUNK, "文件分块信封解析失败: {}", "文件分块解析失败: {}",
         decode_file_chunk(bad_body).error().display()},
        {FILE_DONE, "文件结束信封解析失败: {}", "文件结束解析失败: {}",
         decode_file_done(bad_body).error().display()},
        {FILE_CANCEL, "取消帧信封解析失败: {}", "取消帧解析失败: {}",
         decode_file_cancel(bad_body).error().display()},
        {ALBUM_LIST_REQUEST, "相册消息(0x60)解析失败: {}", "相册消息(0x60)解析失败: {}",
         decode_album_list_request(bad_body).error().display()},
        {ALBUM_THUMB, "相册消息(0x63)解析失败: {}", "相册消息(0x63)解析失败: {}",
         decode_album_thumb(bad_body).error().display()},
        {MEDIA_STATE, "播放状态信封解析失败: {}", "播放状态解析失败: {}",
         decode_media_state(bad_body).error().display()},
        {MEDIA_COMMAND, "播放指令信封解析失败: {}", "播放指令解析失败: {}",
         decode_media_command(bad_body).error().display()},
        {DEVICE_STATUS, "设备状态信封解析失败: {}", "设备状态解析失败: {}",
         decode_device_status(bad_body).error().display()},
        {FILE_RESUME, "续传请求信封解析失败: {}", nullptr, ""},
    };
    BoundPair p;
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.type));
        EXPECT_EQ(pc_errors_for(p, c.type, bad_envelope),
                  std::vector<std::string>{format_text(c.envelope_text, env_why)});
        if (c.body_text) {
            EXPECT_EQ(pc_errors_for(p, c.type, env(bad_body)),
                      std::vector<std::string>{format_text(c.body_text, c.body_why)});
        }
    }
    EXPECT_TRUE(p.pc.received_chunks().empty());
}

TEST(BusinessDispatch, ResumeNeedsAnEightByteFileIdAndAFourByteIndex) {
    const Bytes id8(8, 1), id7(7, 1), from4(4, 0), from3(3, 0);
    struct Case {
        Bytes body;
        const char* text;
    };
    const Case cases[] = {
        {test::tlvs({{TAG_RESUME_FROM, from4}}), "续传请求缺少合法 TAG_FILE_ID"},
        {test::tlvs({{TAG_FILE_ID, id7}, {TAG_RESUME_FROM, from4}}), "续传请求缺少合法 TAG_FILE_ID"},
        {test::tlvs({{TAG_FILE_ID, id8}}), "续传请求缺少合法 TAG_RESUME_FROM"},
        {test::tlvs({{TAG_FILE_ID, id8}, {TAG_RESUME_FROM, from3}}), "续传请求缺少合法 TAG_RESUME_FROM"},
        {Bytes{TAG_FILE_ID, 8, 1}, "续传请求缺少合法 TAG_FILE_ID"},
    };
    BoundPair p;
    for (const Case& c : cases)
        EXPECT_EQ(pc_errors_for(p, FILE_RESUME, env(c.body)), std::vector<std::string>{c.text});
    EXPECT_EQ(test::count_kind(p.pc.events(), AppEventKind::ResumeRequested), 0u);
}

TEST(BusinessDispatch, ClipboardUpTo32KiBIsTakenAndInvalidUtf8Replaced) {
    BoundPair p;
    p.bind();  // 32 KiB is more than the fragment count allows at the smallest BLE MTU
    auto push = [&](std::string data) {
        pb::ClipboardPush m;
        m.set_data(std::move(data));
        EXPECT_TRUE(p.phone.send_business(CLIPBOARD_PUSH, encode_clipboard_push(m), 1, false));
        p.pump();
        return p.pc.take_events();
    };
    auto at_limit = push(std::string(32768, 'a'));
    ASSERT_EQ(test::count_kind(at_limit, AppEventKind::ClipboardReceived), 1u);
    EXPECT_EQ(at_limit[0].as<ClipboardReceivedEvent>()->text.size(), 32768u);

    auto over = push(std::string(32769, 'a'));
    EXPECT_EQ(test::count_kind(over, AppEventKind::ClipboardReceived), 0u);
    EXPECT_EQ(test::error_texts(over),
              std::vector<std::string>{"对端推来 32 KB 剪贴板内容，超过 32 KB 上限，已拒收"});
    EXPECT_EQ(test::error_texts(push(std::string(70000, 'a'))),
              std::vector<std::string>{"对端推来 68 KB 剪贴板内容，超过 32 KB 上限，已拒收"});

    const struct {
        std::string in, out;
    } texts[] = {
        {"ok\xFFok", "ok\uFFFDok"},
        {"\xE4\xBD", "\uFFFD"},                  // a cut-off 3-byte sequence is one mark
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate is not text
        {"\xC0\xAF", "\uFFFD\uFFFD"},            // nor is an overlong
        {"中文😀", "中文😀"},
    };
    for (const auto& t : texts) {
        auto got = push(t.in);
        ASSERT_EQ(test::count_kind(got, AppEventKind::ClipboardReceived), 1u);
        EXPECT_EQ(got[0].as<ClipboardReceivedEvent>()->text, t.out);
    }
}

TEST(BusinessDispatch, DigestsMustBeEmptyOrThirtyTwoBytes) {
    BoundPair p;
    pb::FileMeta meta;
    meta.set_file_id(1);
    meta.set_sha256(std::string(31, 's'));
    EXPECT_EQ(pc_errors_for(p, FILE_META, env(encode_file_meta(meta))),
              std::vector<std::string>{"文件摘要长度非法（31B，须 0B 或 32B）"});
    EXPECT_TRUE(p.pc.receiving().empty());
    pb::FileDone done;
    done.set_file_id(1);
    done.set_sha256(std::string(33, 's'));
    EXPECT_EQ(pc_errors_for(p, FILE_DONE, env(encode_file_done(done))),
              std::vector<std::string>{"文件结束帧摘要长度非法（33B，须 0B 或 32B）"});
}

// ---- late and cancelled file frames ----

struct FileFrames {
    BoundPair& p;
    void meta(std::uint64_t id) {
        pb::FileMeta m;
        m.set_file_id(id);
        m.set_name("f");
        ASSERT_TRUE(p.phone.send_business(FILE_META, encode_file_meta(m), 1, false));
        p.pump();
    }
    void chunk(std::uint64_t id, std::uint32_t index) {
        pb::FileChunk c;
        c.set_file_id(id);
        c.set_index(index);
        c.set_data("abc");
        ASSERT_TRUE(p.phone.send_business(FILE_CHUNK, encode_file_chunk(c), 1, true));
        p.pump();
    }
    void cancel(std::uint64_t id, const std::string& reason = "") {
        pb::FileCancel c;
        c.set_file_id(id);
        c.set_reason(reason);
        ASSERT_TRUE(p.phone.send_business(FILE_CANCEL, encode_file_cancel(c), 1, false));
        p.pump();
    }
};

TEST(FileBookkeeping, LateChunkAfterCancelIsDroppedAndANewAnnouncementRevivesTheId) {
    DebugCapture capture;
    BoundPair p;
    FileFrames f{p};
    f.meta(0x10);
    ASSERT_TRUE(p.phone.send_file_done(0x10, false, " ", std::nullopt, true, 1));
    p.pump();
    auto cancelled = p.pc.take_events();
    ASSERT_EQ(test::count_kind(cancelled, AppEventKind::TransferCancelled), 1u);
    EXPECT_EQ(cancelled.back().as<TransferCancelledEvent>()->reason, "对方取消了这次传输");
    EXPECT_TRUE(p.pc.is_cancelled(0x10));
    EXPECT_TRUE(p.pc.receiving().empty());

    f.chunk(0x10, 4);
    ASSERT_TRUE(p.phone.send_file_done(0x10, true, std::nullopt, std::nullopt, false, 1));
    p.pump();
    EXPECT_TRUE(p.pc.received_chunks().empty());
    EXPECT_TRUE(p.pc.take_events().empty());
    EXPECT_EQ(p.pc.late_frames(), 2u);
    auto late = capture.events("file.late_frame");
    ASSERT_EQ(late.size(), 2u);
    EXPECT_EQ(late[0].field("kind"), "chunk");
    EXPECT_EQ(late[0].field("file_id"), "0x10");
    EXPECT_EQ(late[0].field("detail"), "第 4 块，3 B");
    EXPECT_EQ(late[0].field("dropped"), "1");
    EXPECT_EQ(late[1].field("kind"), "done");
    EXPECT_EQ(late[1].field("detail"), "ok=true");
    EXPECT_EQ(late[1].field("dropped"), "2");

    f.meta(0x10);
    EXPECT_EQ(capture.events("file.meta.after_cancel").size(), 1u);
    EXPECT_FALSE(p.pc.is_cancelled(0x10));
    f.chunk(0x10, 0);
    EXPECT_EQ(p.pc.received_chunks().size(), 1u);
}

TEST(FileBookkeeping, CancelledIdsKeepTheNewest32AndOpenReceivesTrackEight) {
    DebugCapture capture;
    BoundPair p;
    FileFrames f{p};
    for (std::uint64_t id = 1; id <= 9; ++id) f.meta(id);
    EXPECT_EQ(p.pc.receiving().size(), 8u);
    auto overflow = capture.events("recv.open_overflow");
    ASSERT_EQ(overflow.size(), 1u);
    EXPECT_EQ(overflow[0].field("file_id"), "0x9");
    EXPECT_EQ(overflow[0].field("tracked"), "8");
    EXPECT_EQ(test::count_kind(p.pc.take_events(), AppEventKind::FileMetaReceived), 9u);  // still taken

    for (std::uint64_t id = 100; id < 133; ++id) {
        ASSERT_TRUE(p.phone.send_file_done(id, false, std::nullopt, std::nullopt, true, 1));
        p.pump();
    }
    EXPECT_FALSE(p.pc.is_cancelled(100));  // the oldest went first
    EXPECT_TRUE(p.pc.is_cancelled(101));
    EXPECT_TRUE(p.pc.is_cancelled(132));
}

TEST(FileBookkeeping, CancelAppliesOnlyToTheFileThisSideIsSending) {
    DebugCapture capture;
    BoundPair p;
    p.bind();
    FileFrames f{p};
    p.pc.set_transfer_lock({LockChannel::Tcp, 0x33});
    f.cancel(0x34);
    EXPECT_EQ(p.pc.transfer_lock(), (TransferLock{LockChannel::Tcp, 0x33}));
    EXPECT_TRUE(p.pc.take_events().empty());
    auto late = capture.events("file.late_frame");
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].field("kind"), "cancel");
    EXPECT_EQ(late[0].field("detail"), "本端没有正在发送这个文件（取消帧与在途传输对不上）");

    f.cancel(0x33, "\t不要了\n");
    EXPECT_EQ(p.pc.transfer_lock(), TransferLock{});
    EXPECT_TRUE(p.pc.is_cancelled(0x33));
    auto events = p.pc.take_events();
    ASSERT_EQ(test::count_kind(events, AppEventKind::TransferCancelled), 1u);
    EXPECT_EQ(events[0].as<TransferCancelledEvent>()->reason, "不要了");
    auto recv = capture.events("file.cancel.recv");
    ASSERT_EQ(recv.size(), 1u);
    EXPECT_EQ(recv[0].field("channel"), "tcp");
}

// ---- after binding ----

TEST(BoundChannel, RepeatedProofIsIgnoredAndAnotherNonceIsAReplay) {
    DebugCapture capture;
    BoundPair p;
    p.pc.start_bind_server();
    p.phone.start_bind_client();
    p.tcp_to_pc();
    p.tcp_to_phone();
    const std::deque<Bytes> proof = p.phone.ble_out();
    p.pump();
    ASSERT_TRUE(p.pc.tcp_bound());
    p.pc.take_events();

    for (const auto& v : proof) p.pc.take_ble_value(v, p.clock.now());
    EXPECT_EQ(capture.events("tcp.proof_repeat").size(), 1u);
    EXPECT_TRUE(p.pc.take_events().empty());

    p.pc.handle_frame(test::clear_frame(BIND, test::tlvs({{TAG_NONCE_TCP, Bytes(16, 0xAA)}})),
                      Transport::Tcp);
    EXPECT_EQ(test::error_texts(p.pc.take_events()),
              std::vector<std::string>{"TCP nonce 交换失败: 绑定已完成后再次收到证明（重放）"});
    EXPECT_TRUE(p.pc.tcp_bound());
    EXPECT_TRUE(p.pc.tcp_out().empty());
}

TEST(BoundChannel, ReplayedTcpFrameIsRefusedByTheTcpWindow) {
    BoundPair p;
    p.bind();
    pb::DeviceStatus s;
    s.set_battery(50);
    ASSERT_TRUE(p.phone.send_business(DEVICE_STATUS, encode_device_status(s), 1, false));
    const Bytes frame = p.phone.tcp_out().front();
    p.pump();
    p.pc.handle_frame(frame, Transport::Tcp);
    auto events = p.pc.take_events();
    EXPECT_EQ(test::count_kind(events, AppEventKind::DeviceStatusReceived), 1u);
    ASSERT_EQ(test::error_texts(events).size(), 1u);
    EXPECT_EQ(test::error_texts(events)[0].rfind("抗重放拒绝: 重放：", 0), 0u);
}

// ---- a snapshot is a whole, separate engine ----

TEST(EngineSnapshot, ACopyTakenMidGroupFinishesItAndKeepsItsOwnCountersAndKeys) {
    BoundPair p;  // BLE only, 23-byte values: the text spans many fragments
    const std::string text(300, 'x');
    pb::ClipboardPush m;
    m.set_data(text);
    ASSERT_TRUE(p.phone.send_business(CLIPBOARD_PUSH, encode_clipboard_push(m), 1, false));
    std::vector<Bytes> fragments;
    while (auto f = p.phone.next_ble_fragment()) fragments.push_back(std::move(*f));
    ASSERT_GT(fragments.size(), 2u);
    p.pc.take_ble_value(fragments[0], p.clock.now());

    auto copy = p.pc.snapshot();
    for (Engine* e : {&p.pc, copy.get()}) {
        for (std::size_t i = 1; i < fragments.size(); ++i) e->take_ble_value(fragments[i], p.clock.now());
        const auto events = e->take_events();
        ASSERT_EQ(test::count_kind(events, AppEventKind::ClipboardReceived), 1u);
        EXPECT_EQ(only(events, AppEventKind::ClipboardReceived)->as<ClipboardReceivedEvent>()->text, text);
    }

    // The copy seals with the session key for the real phone; the original's counter stays.
    const std::uint32_t seq = p.pc.send_seq();
    m.set_data("from the copy");
    ASSERT_TRUE(copy->send_business(CLIPBOARD_PUSH, encode_clipboard_push(m), 2, false));
    EXPECT_EQ(p.pc.send_seq(), seq);
    EXPECT_NE(copy->send_seq(), seq);
    BoundPair::ble(*copy, p.phone, p.clock.now());
    const auto got = p.phone.take_events();
    ASSERT_NE(only(got, AppEventKind::ClipboardReceived), nullptr);
    EXPECT_EQ(only(got, AppEventKind::ClipboardReceived)->as<ClipboardReceivedEvent>()->text, "from the copy");
    EXPECT_TRUE(p.pc.ble_out().empty());
}

}  // namespace
}  // namespace dovan
