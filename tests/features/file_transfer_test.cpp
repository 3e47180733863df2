// File sending and receiving between a real PC engine (driven by the two modules behind
// the routing table) and a phone engine over an in-memory bound TCP pipe, with a fake
// clock and a private receive folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <variant>

#include "crypto/primitives.h"
#include "features/features.h"
#include "features/file_receive.h"
#include "features/file_send.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/bound_pair.h"
#include "transfer/chunk.h"

namespace dovan {
namespace {

namespace fs = std::filesystem;
using test::BoundPair;

class Idle final : public Feature {
public:
    std::string_view name() const override { return "idle"; }
    bool on_event(const AppEvent&) override { return false; }
};

class Host final : public FeatureHost {
public:
    Host(BoundPair& pair, fs::path inbox) : pair_(pair) {
        UiState state = initial_ui_state();
        state.settings.inbox = inbox.string();
        ui_ = std::make_shared<SharedUi>(std::move(state), LoadedModules{0xFF});
    }
    Clock& clock() override { return pair_.clock; }
    Engine* engine() override { return engine_on ? &pair_.pc : nullptr; }
    SharedUi& ui() override { return *ui_; }
    LoadedModules modules() const override { return LoadedModules{0xFF}; }
    void push_notice(std::string_view text) override { notices.emplace_back(text); }
    void request_repaint() override {}
    void save_settings() override {}
    const fs::path& data_dir() const override { return dir_; }

    bool engine_on = true;
    std::vector<std::string> notices;

private:
    BoundPair& pair_;
    std::shared_ptr<SharedUi> ui_;
    fs::path dir_;
};

Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 251);
    return b;
}

Bytes sha_of(ByteView b) {
    auto d = sha256({b});
    return Bytes(d.begin(), d.end());
}

Bytes read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class FileWire : public ::testing::Test {
public:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "dovan-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root = tmpl;
        inbox = root / "inbox";
        pair.bind();
        host = std::make_unique<Host>(pair, inbox);
        Features::Modules m;
        for (auto* slot : {&m.notifications, &m.clipboard, &m.media, &m.device_status, &m.config_sync, &m.album})
            *slot = std::make_unique<Idle>();
        auto s = std::make_unique<FileSend>(*host);
        auto r = std::make_unique<FileReceive>(*host);
        send = s.get();
        recv = r.get();
        m.file_send = std::move(s);
        m.file_receive = std::move(r);
        features = std::make_unique<Features>(std::move(m));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // One core turn's share: frames in, events routed, the file steps.
    void turn() {
        pair.tcp_to_pc();
        for (const AppEvent& e : pair.pc.take_events()) features->on_event(e);
        const Instant now = pair.clock.now();
        features->step(TurnStep::ReceivedChunks, now);
        features->step(TurnStep::FileSending, now);
        features->step(TurnStep::ReceiveHolds, now);
    }

    // What the PC sent the phone since the last look.
    std::vector<AppEvent> at_phone() {
        pair.tcp_to_phone();
        return pair.phone.take_events();
    }

    void meta(std::uint64_t id, const std::string& name, std::uint64_t size, std::uint32_t chunk = 4,
              std::optional<Bytes> sha = std::nullopt, std::uint64_t photo = 0) {
        pb::FileMeta m;
        m.set_file_id(id);
        m.set_name(name);
        m.set_size(size);
        m.set_chunk_size(chunk);
        if (photo != 0) m.set_album_id(photo);
        if (sha) m.set_sha256(sha->data(), sha->size());
        ASSERT_TRUE(pair.phone.send_business(FILE_META, encode_file_meta(m), 0, false));
    }
    void chunk(std::uint64_t id, std::uint32_t index, ByteView data, bool corrupt = false) {
        // The sending engine holds at most 15 frames for the writer.
        if (pair.phone.tcp_out().size() >= Engine::kTcpChunkBacklog) pair.tcp_to_pc();
        pb::FileChunk c;
        c.set_file_id(id);
        c.set_index(index);
        c.set_data(data.data(), data.size());
        c.set_crc32(crc32(data) ^ (corrupt ? 1u : 0u));
        ASSERT_TRUE(pair.phone.send_business(FILE_CHUNK, encode_file_chunk(c), 0, false));
    }
    void chunks_of(std::uint64_t id, ByteView data, std::uint32_t size, std::vector<std::uint32_t> order) {
        for (std::uint32_t i : order) {
            const std::size_t off = std::size_t{i} * size;
            chunk(id, i, data.subspan(off, std::min<std::size_t>(size, data.size() - off)));
        }
    }
    void done(std::uint64_t id, std::optional<Bytes> sha, bool ok = true, bool cancelled = false) {
        ASSERT_TRUE(pair.phone.send_file_done(id, ok, std::nullopt, sha, cancelled, 0));
    }

    std::optional<FileDoneReceivedEvent> answer(const std::vector<AppEvent>& events, std::uint64_t id) {
        for (const auto& e : events)
            if (auto* d = e.as<FileDoneReceivedEvent>(); d && d->file_id == id) return *d;
        return std::nullopt;
    }
    std::vector<std::uint32_t> resumes(const std::vector<AppEvent>& events) {
        std::vector<std::uint32_t> out;
        for (const auto& e : events)
            if (auto* r = e.as<ResumeRequestedEvent>()) out.push_back(r->chunk_index);
        return out;
    }
    TransferRow row(TransferDirection dir, const std::string& name) {
        auto g = host->ui().lock();
        const TransferRow* r = g->find_transfer_row(dir, name);
        return r ? *r : TransferRow{dir, "(none)", "(none)", 0, 0, false, {}, 0, 0};
    }
    std::vector<std::string> inbox_names() {
        std::vector<std::string> out;
        if (!fs::exists(inbox)) return out;
        for (const auto& e : fs::directory_iterator(inbox)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    bool notice_has(std::string_view part) {
        return std::any_of(host->notices.begin(), host->notices.end(),
                           [&](const std::string& n) { return n.find(part) != std::string::npos; });
    }

    BoundPair pair;
    fs::path root, inbox;
    std::unique_ptr<Host> host;
    std::unique_ptr<Features> features;
    FileSend* send = nullptr;
    FileReceive* recv = nullptr;
};

using Names = std::vector<std::string>;

// ---- receiving ----

TEST_F(FileWire, ChunksInAnyOrderArriveBitExactUnderTheFinalNameOnlyOnceVerified) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> order;
    } cases[] = {{"a.bin", {0, 1, 2}}, {"b.bin", {0, 2, 1}}, {"c.bin", {2, 1, 0}}};
    std::uint64_t id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = pattern(10, static_cast<std::uint8_t>(id));
        meta(++id, c.name, data.size(), 4, sha_of(data));
        turn();
        // While it is being received only the working file exists: a crash now leaves
        // nothing under the final name.
        EXPECT_FALSE(fs::exists(inbox / c.name));
        EXPECT_TRUE(fs::exists(inbox / (std::string(c.name) + ".partial")));
        chunks_of(id, data, 4, c.order);
        done(id, std::nullopt);
        turn();
        auto a = answer(at_phone(), id);
        ASSERT_TRUE(a);
        EXPECT_TRUE(a->ok) << a->error;
        EXPECT_EQ(read_all(inbox / c.name), data);
        EXPECT_FALSE(fs::exists(inbox / (std::string(c.name) + ".partial")));
        EXPECT_EQ(row(TransferDirection::Receive, c.name).status, "已完成");
    }
    EXPECT_EQ(inbox_names(), (Names{"a.bin", "b.bin", "c.bin"}));
}

TEST_F(FileWire, AFinalNameTakenWhileReceivingOrByAnotherReceiveIsNeverOverwritten) {
    const Bytes one = pattern(8, 1), two = pattern(8, 2), three = pattern(8, 3);
    fs::create_directories(inbox);
    // A working file left by a crash keeps its bytes; its name is not reused.
    { std::ofstream(inbox / "p.jpg.partial") << "old"; }
    meta(1, "p.jpg", 8, 4, sha_of(one));
    meta(2, "p.jpg", 8, 4, sha_of(two));
    turn();
    EXPECT_EQ(inbox_names(), (Names{"p (1).jpg.partial", "p (2).jpg.partial", "p.jpg.partial"}));
    // Another program takes the first receive's name before it is verified.
    { std::ofstream(inbox / "p (1).jpg") << "theirs"; }
    chunks_of(1, one, 4, {0, 1});
    chunks_of(2, two, 4, {0, 1});
    done(1, std::nullopt);
    done(2, std::nullopt);
    turn();
    const auto answers = at_phone();
    for (std::uint64_t id : {1, 2}) {
        auto a = answer(answers, id);
        ASSERT_TRUE(a) << id;
        EXPECT_TRUE(a->ok) << id << a->error;
    }
    EXPECT_EQ(read_all(inbox / "p (1).jpg"), (Bytes{'t', 'h', 'e', 'i', 'r', 's'}));
    EXPECT_EQ(read_all(inbox / "p.jpg.partial"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(read_all(inbox / "p (2).jpg"), two);
    // The first one skips its taken name and the second receive's, and says where it is.
    EXPECT_EQ(read_all(inbox / "p (3).jpg"), one);
    EXPECT_EQ(inbox_names(), (Names{"p (1).jpg", "p (2).jpg", "p (3).jpg", "p.jpg.partial"}));
    bool told = false;
    for (const auto& n : host->ui().lock()->system_notifications)
        told |= n.body.starts_with("p (1).jpg → " + (inbox / "p (3).jpg").string());
    EXPECT_TRUE(told);
    // "打开" opens the file as it was finally named, from the row and from the notification.
    EXPECT_EQ(row(TransferDirection::Receive, "p (1).jpg").saved_path, (inbox / "p (3).jpg").string());
    EXPECT_EQ(row(TransferDirection::Receive, "p (2).jpg").saved_path, (inbox / "p (2).jpg").string());
    {
        std::vector<std::string> offered;
        for (const auto& n : host->ui().lock()->system_notifications)
            if (n.saved_path) offered.push_back(*n.saved_path);
        EXPECT_EQ(offered, (std::vector<std::string>{(inbox / "p (3).jpg").string(), (inbox / "p (2).jpg").string()}));
    }

    // Without a digest the bytes end unverified, again beside what exists.
    meta(3, "q.bin", 8, 4);
    turn();
    { std::ofstream(inbox / "q.bin") << "theirs"; }
    chunks_of(3, three, 4, {0, 1});
    done(3, std::nullopt);
    turn();
    EXPECT_EQ(read_all(inbox / "q.bin.unverified"), three);
    EXPECT_EQ(read_all(inbox / "q.bin"), (Bytes{'t', 'h', 'e', 'i', 'r', 's'}));
    EXPECT_EQ(row(TransferDirection::Receive, "q.bin").saved_path, "") << "unverified bytes offer nothing to open";
}

TEST_F(FileWire, AnEmptyFileIsReceivedAndVerified) {
    const Bytes empty;
    meta(7, "empty.txt", 0, 4, sha_of(empty));
    done(7, std::nullopt);
    turn();
    auto a = answer(at_phone(), 7);
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->ok);
    EXPECT_EQ(inbox_names(), Names{"empty.txt"});
    EXPECT_EQ(row(TransferDirection::Receive, "empty.txt").percent, 100);
}

TEST_F(FileWire, ADamagedChunkIsAskedForOnceAndTheResentOneCompletesTheFile) {
    const Bytes data = pattern(12);
    meta(9, "d.bin", 12, 4, sha_of(data));
    chunk(9, 0, ByteView(data).first(4));
    chunk(9, 1, ByteView(data).subspan(4, 4), true);
    chunk(9, 2, ByteView(data).subspan(8, 4));  // early: held, not asked for again
    turn();
    EXPECT_EQ(resumes(at_phone()), std::vector<std::uint32_t>{1});
    EXPECT_EQ(row(TransferDirection::Receive, "d.bin").status, "重传中");
    chunk(9, 1, ByteView(data).subspan(4, 4));
    done(9, std::nullopt);
    turn();
    auto a = answer(at_phone(), 9);
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->ok);
    EXPECT_EQ(read_all(inbox / "d.bin"), data);
}

TEST_F(FileWire, FileDoneBeforeTheLastChunkHoldsAndEitherCompletesOrTimesOut) {
    const Bytes data = pattern(12);
    for (bool arrives : {true, false}) {
        SCOPED_TRACE(arrives ? "arrives" : "never arrives");
        const std::uint64_t id = arrives ? 21 : 22;
        const std::string name = arrives ? "h1.bin" : "h2.bin";
        meta(id, name, 12, 4, sha_of(data));
        chunks_of(id, data, 4, {0, 1});
        done(id, std::nullopt);
        turn();
        EXPECT_EQ(resumes(at_phone()), std::vector<std::uint32_t>{2});
        EXPECT_TRUE(notice_has(name + "：对端说发完了但本机缺第 2 块，正在等它补发"));
        ASSERT_TRUE(recv->next_deadline());
        pair.clock.advance(std::chrono::seconds(19));
        turn();
        EXPECT_TRUE(recv->has_session(id));
        if (arrives) {
            chunk(id, 2, ByteView(data).subspan(8, 4));
            turn();  // the last chunk moves the hold on, and its expiry finishes the file
            pair.clock.advance(std::chrono::seconds(20));
            turn();
            auto a = answer(at_phone(), id);
            ASSERT_TRUE(a);
            EXPECT_TRUE(a->ok);
            EXPECT_EQ(read_all(inbox / name), data);
        } else {
            pair.clock.advance(std::chrono::seconds(1));
            turn();
            EXPECT_FALSE(recv->has_session(id));
            auto a = answer(at_phone(), id);
            ASSERT_TRUE(a);
            EXPECT_FALSE(a->ok);
            EXPECT_EQ(a->error, "等对端从第 2 块补发超时，文件不完整");
            EXPECT_TRUE(notice_has("文件接收失败（h2.bin）: 等对端从第 2 块补发超时，文件不完整"));
            EXPECT_FALSE(fs::exists(inbox / name));
            EXPECT_EQ(read_all(inbox / (name + ".partial")), Bytes(data.begin(), data.begin() + 8));
        }
    }
}

TEST_F(FileWire, WrongOrMissingDigestsLeaveTheFileUnderTheUnverifiedNameAndTellThePhone) {
    const Bytes data = pattern(8);
    Bytes wrong = sha_of(data);
    wrong[0] ^= 1;
    const struct {
        std::uint64_t id;
        const char* name;
        std::optional<Bytes> sha;
        const char* status;
        const char* reason;
    } cases[] = {
        {31, "w.bin", wrong, "摘要不符", "接收端摘要不符"},
        {32, "n.bin", std::nullopt, "未校验", "接收端没有可比对的整文件摘要"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        meta(c.id, c.name, 8, 4, c.sha);
        chunks_of(c.id, data, 4, {0, 1});
        done(c.id, std::nullopt);
        turn();
        auto a = answer(at_phone(), c.id);
        ASSERT_TRUE(a);
        EXPECT_FALSE(a->ok);
        EXPECT_EQ(a->error, c.reason);
        EXPECT_EQ(row(TransferDirection::Receive, c.name).status, c.status);
        EXPECT_FALSE(fs::exists(inbox / c.name));
        EXPECT_EQ(read_all(inbox / (std::string(c.name) + ".unverified")), data);
    }
}

TEST_F(FileWire, CancelTcpLossUnbindAndANewConnectionEachEndTheReceiveWithTheRightLeftovers) {
    const Bytes data = pattern(8);
    const struct {
        const char* name;
        std::function<void(FileWire&, std::uint64_t)> end;
        bool partial_kept;
        const char* status;
    } cases[] = {
        {"cancel.bin", [](FileWire& w, std::uint64_t id) { w.done(id, std::nullopt, false, true); }, false, "已取消"},
        {"tcp.bin", [](FileWire& w, std::uint64_t) { w.pair.pc.unbind("连接断了"); }, true, "失败"},
        {"unbind.bin", [](FileWire& w, std::uint64_t) { w.features->on_link({LinkChange::Kind::Unbound, "设备解绑"}); },
         false, "已取消"},
        {"new.bin", [](FileWire& w, std::uint64_t) { w.features->on_link({LinkChange::Kind::EngineGone, {}}); }, true,
         "失败"},
    };
    std::uint64_t id = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!pair.pc.tcp_bound()) pair.bind();
        meta(++id, c.name, 8, 4, sha_of(data));
        chunk(id, 0, ByteView(data).first(4));
        turn();
        c.end(*this, id);
        turn();
        EXPECT_FALSE(recv->has_session(id));
        EXPECT_FALSE(fs::exists(inbox / c.name)) << "the reservation is released";
        EXPECT_EQ(fs::exists(inbox / (std::string(c.name) + ".partial")), c.partial_kept);
        EXPECT_EQ(row(TransferDirection::Receive, c.name).status, c.status);
    }
    EXPECT_TRUE(notice_has("文件接收失败（tcp.bin）: 接收中 TCP 通道断开，文件未完成（不会改走蓝牙）"));
    EXPECT_TRUE(notice_has("链路重建，new.bin 的接收未完成，请让对方重发"));
}

TEST_F(FileWire, HostileMetadataIsRefusedOrKeptInsideTheInboxWithoutOverwriting) {
    fs::create_directories(inbox);
    { std::ofstream(inbox / "taken.txt") << "mine"; }
    recv->set_free_space([](const fs::path&) { return std::optional<std::uint64_t>(1000); });
    const struct {
        std::string name;
        std::uint64_t size;
        std::uint32_t chunk;
        const char* reason;  // empty: accepted
    } cases[] = {
        {"zero.bin", 10, 0, "分块大小非法"},
        {"big.bin", 10, 262145, "分块大小非法"},
        {"huge.bin", 4294967297ULL, 262144, "文件超过本机接收上限"},
        {"nospace.bin", 1001, 4, "本机空间不足"},
        {"../../escape.txt", 4, 4, ""},
        {"taken.txt", 4, 4, ""},
        {"CON", 4, 4, ""},
        {std::string(300, 'x').c_str(), 4, 4, ""},
    };
    std::uint64_t id = 60;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        meta(++id, c.name, c.size, c.chunk);
        turn();
        auto a = answer(at_phone(), id);
        if (*c.reason) {
            ASSERT_TRUE(a);
            EXPECT_FALSE(a->ok);
            EXPECT_EQ(a->error, c.reason);
            EXPECT_FALSE(recv->has_session(id));
        } else {
            EXPECT_FALSE(a);
            EXPECT_TRUE(recv->has_session(id));
        }
    }
    EXPECT_EQ(read_all(inbox / "taken.txt"), (Bytes{'m', 'i', 'n', 'e'}));
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.path() != inbox) {
            EXPECT_EQ(e.path().parent_path(), inbox) << e.path();
        }
    EXPECT_FALSE(fs::exists(root / "escape.txt"));
}

TEST_F(FileWire, FarChunksTooMuchEarlyDataAndTooManySessionsAreBounded) {
    meta(80, "far.bin", 8, 4);
    chunk(80, 1000000, pattern(4));
    turn();
    EXPECT_EQ(resumes(at_phone()), std::vector<std::uint32_t>{0});
    // 4 MiB of early chunks for one file is the most it may hold.
    meta(81, "early.bin", 8ull << 20, 262144);
    for (std::uint32_t i = 1; i <= 17; ++i) chunk(81, i, pattern(262144));
    turn();
    EXPECT_EQ(resumes(at_phone()), std::vector<std::uint32_t>{0});
    // The sessions so far plus new ids up to eight; the ninth is refused.
    for (std::uint64_t id = 82; id < 89; ++id) meta(id, "f" + std::to_string(id), 4, 4);
    turn();
    EXPECT_EQ(recv->session_count(), 8u);
    auto a = answer(at_phone(), 88);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->error, "同时接收的文件过多");
    // A FILE_DONE for an id nobody knows changes nothing.
    done(999, sha_of({}));
    turn();
    EXPECT_EQ(recv->session_count(), 8u);
}

// The album's answers as file receive meets them: a folder, a refusal the user sees, a
// silent one; and how each original ended.
class Originals final : public FullSizeSink {
public:
    std::map<std::uint64_t, std::variant<fs::path, FullSizeRefusal>> where;
    struct Done {
        std::uint64_t photo;
        bool ok;
        std::string text;
        fs::path file;
    };
    std::vector<Done> done;

    std::variant<fs::path, FullSizeRefusal> full_size_folder(std::uint64_t photo_id) override {
        return where.at(photo_id);
    }
    void full_size_done(std::uint64_t photo_id, bool ok, std::string_view text, const fs::path& file) override {
        done.push_back({photo_id, ok, std::string(text), file});
    }
};

TEST_F(FileWire, AlbumOriginalsGoWhereTheAlbumSaysOrAreRefusedAsItSays) {
    Originals album;
    recv->set_full_size_sink(&album);
    const fs::path folder = root / "export";
    album.where = {{1, folder},
                   {2, FullSizeRefusal{"照片 2 不属于任何请求", "原图不属于本机任何一次请求", false}},
                   {3, FullSizeRefusal{{}, "照片 3 的拖出已取消", true}}};
    const Bytes data = pattern(8, 9);
    meta(11, "IMG_1.jpg", 8, 4, sha_of(data), 1);
    meta(12, "IMG_2.jpg", 8, 4, sha_of(data), 2);
    meta(13, "IMG_3.jpg", 8, 4, sha_of(data), 3);
    chunks_of(11, data, 4, {0, 1});
    done(11, std::nullopt);
    turn();
    const auto answers = at_phone();
    const struct {
        std::uint64_t file;
        bool ok;
        const char* reason;
    } expect[] = {{11, true, ""}, {12, false, "原图不属于本机任何一次请求"}, {13, false, "照片 3 的拖出已取消"}};
    for (const auto& e : expect) {
        auto a = answer(answers, e.file);
        ASSERT_TRUE(a) << e.file;
        EXPECT_EQ(a->ok, e.ok) << e.file;
        EXPECT_EQ(a->error, e.reason) << e.file;
    }
    EXPECT_EQ(read_all(folder / "IMG_1.jpg"), data);
    EXPECT_EQ(host->notices, std::vector<std::string>{"已拒绝接收：照片 2 不属于任何请求"}) << "the silent one says nothing";
    ASSERT_EQ(album.done.size(), 3u);
    EXPECT_EQ(album.done[0].photo, 2u);
    EXPECT_FALSE(album.done[0].ok);
    EXPECT_EQ(album.done[1].photo, 3u);
    EXPECT_FALSE(album.done[1].ok);
    EXPECT_EQ(album.done[2].photo, 1u);
    EXPECT_TRUE(album.done[2].ok);
    EXPECT_EQ(album.done[2].file, folder / "IMG_1.jpg");
    EXPECT_TRUE(album.done[2].text.starts_with("IMG_1.jpg → " + (folder / "IMG_1.jpg").string() + "（SHA-256 "))
        << album.done[2].text;
    EXPECT_FALSE(fs::exists(inbox)) << "nothing of an original lands in the inbox";
}

// ---- sending ----

class FileSendWire : public FileWire {
protected:
    fs::path write(const std::string& name, const Bytes& data) {
        const fs::path p = root / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<std::streamsize>(data.size()));
        return p;
    }
    void request_send(std::vector<std::string> paths) {
        UiRequests r;
        r.send_files = std::move(paths);
        features->queue_requests(r);
    }
    // The phone's view: FILE_META, the chunks in order and the FILE_DONE digest.
    struct Seen {
        std::optional<FileMetaReceivedEvent> meta;
        Bytes data;
        std::optional<FileDoneReceivedEvent> done;
    };
    void collect(Seen& seen) {
        for (const auto& e : at_phone()) {
            if (auto* m = e.as<FileMetaReceivedEvent>()) seen.meta = *m;
            if (auto* d = e.as<FileDoneReceivedEvent>()) seen.done = *d;
        }
        for (auto& c : pair.phone.received_chunks()) {
            if (std::uint64_t{c.index} * kChunkSize == seen.data.size()) {
                seen.data.insert(seen.data.end(), c.data.begin(), c.data.end());
            } else {
                seen.data.resize(std::uint64_t{c.index} * kChunkSize);
                seen.data.insert(seen.data.end(), c.data.begin(), c.data.end());
            }
        }
        (void)pair.phone.take_chunks();
    }
};

TEST_F(FileSendWire, AThreeChunkFileGoesOutInOneTurnAndThePhonesOkCompletesIt) {
    const Bytes data = pattern(2 * kChunkSize + 1000);
    request_send({write("three.bin", data).string()});
    turn();
    Seen seen;
    collect(seen);
    ASSERT_TRUE(seen.meta);
    EXPECT_EQ(seen.meta->size, data.size());
    EXPECT_EQ(seen.data, data);
    ASSERT_TRUE(seen.done);
    EXPECT_EQ(seen.done->sha256, sha_of(data));
    EXPECT_EQ(row(TransferDirection::Send, "three.bin").status, "等待对端确认");
    pair.phone.send_file_done(seen.meta->file_id, true, std::nullopt, std::nullopt, false, 0);
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "three.bin").status, "已完成");
    EXPECT_FALSE(send->job_id());
}

TEST_F(FileSendWire, AnEmptyFileSendsTheDigestOfNothing) {
    request_send({write("empty", {}).string()});
    turn();
    Seen seen;
    collect(seen);
    ASSERT_TRUE(seen.done);
    EXPECT_EQ(seen.done->sha256, sha_of({}));
    EXPECT_EQ(row(TransferDirection::Send, "empty").percent, 100);
}

TEST_F(FileSendWire, AResumeReHashesThePrefixAndResendsFromTheAskedChunk) {
    const Bytes data = pattern(5 * kChunkSize - 7);
    request_send({write("five.bin", data).string()});
    turn();
    Seen seen;
    collect(seen);
    ASSERT_TRUE(seen.done);
    const std::uint64_t id = seen.meta->file_id;
    ASSERT_TRUE(pair.phone.send_file_resume(id, 2, 0));
    seen = {};
    turn();
    turn();
    for (const auto& e : at_phone())
        if (auto* d = e.as<FileDoneReceivedEvent>()) seen.done = *d;
    std::vector<std::uint32_t> indexes;
    for (auto& c : pair.phone.received_chunks()) indexes.push_back(c.index);
    EXPECT_EQ(indexes, (std::vector<std::uint32_t>{2, 3, 4}));
    ASSERT_TRUE(seen.done);
    EXPECT_EQ(seen.done->sha256, sha_of(data));
}

TEST_F(FileSendWire, RefusalSilenceAndTheQueueLimitAreAllToldToTheUser) {
    const Bytes data = pattern(10);
    request_send({write("r.bin", data).string()});
    turn();
    Seen seen;
    collect(seen);
    pair.phone.send_file_done(seen.meta->file_id, false, std::string("手机存储已满"), std::nullopt, false, 0);
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "r.bin").status, "失败");
    EXPECT_TRUE(notice_has("对端拒收（r.bin）: 手机存储已满"));

    request_send({write("s.bin", data).string()});
    turn();
    pair.clock.advance(std::chrono::seconds(30));
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "s.bin").status, "已发送（未确认）");
    EXPECT_TRUE(notice_has("文件 s.bin 没有收到对端回执，不能判定为已完成"));

    pair.pc.unbind("断开");  // the queue waits for TCP instead of sending
    std::vector<std::string> seventy;
    for (int i = 0; i < 70; ++i) seventy.push_back((root / ("q" + std::to_string(i))).string());
    request_send(seventy);
    EXPECT_EQ(send->queued(), kSendQueueMax);
    EXPECT_TRUE(notice_has("一次最多排队 64 个文件，这批多出来的没有排上"));
}

// The phone goes away with a file in the queue: the session is replaced while the file
// waits, and it goes out once the new session's channel is bound. Without any paired phone
// it ends with a row and a notice that say why.
TEST_F(FileSendWire, AQueuedFileWaitsForThePairedPhoneToComeBack) {
    host->ui().lock()->bound_devices = {{"phone-fp", "Pixel 8"}};
    const Bytes data = pattern(kChunkSize + 5);
    pair.pc.unbind("手机离开");
    request_send({write("later.bin", data).string()});
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "later.bin").status, "等待 TCP 通道");

    host->engine_on = false;  // the old session ended, the new one is not PAIRED yet
    turn();
    turn();
    EXPECT_EQ(send->queued(), 1u) << "the file stays queued";
    EXPECT_EQ(row(TransferDirection::Send, "later.bin").status, "等待 TCP 通道");
    EXPECT_TRUE(host->notices.empty()) << host->notices.front();

    host->engine_on = true;
    pair.bind();
    turn();
    Seen seen;
    collect(seen);
    ASSERT_TRUE(seen.meta) << "the file went out once the link was back";
    EXPECT_EQ(seen.data, data);
    EXPECT_EQ(row(TransferDirection::Send, "later.bin").status, "等待对端确认");
    pair.phone.send_file_done(seen.meta->file_id, true, std::nullopt, std::nullopt, false, 0);
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "later.bin").status, "已完成");

    host->ui().lock()->bound_devices.clear();
    host->engine_on = false;
    request_send({write("never.bin", data).string()});
    turn();
    EXPECT_EQ(send->queued(), 0u);
    EXPECT_EQ(row(TransferDirection::Send, "never.bin").status, "未发送（未配对）");
    EXPECT_TRUE(notice_has("未配对，" + (root / "never.bin").string() + " 没有发送（请先在连接页与手机配对后重试）"));
}

TEST_F(FileSendWire, TcpLossFailsTheJobWithoutFallingBackAndCancelTellsThePhone) {
    const Bytes data = pattern(40 * kChunkSize);
    request_send({write("big.bin", data).string()});
    turn();
    pair.pc.unbind("连接断了");
    (void)pair.pc.take_ble_fragments();
    turn();
    EXPECT_EQ(row(TransferDirection::Send, "big.bin").status, "失败");
    EXPECT_TRUE(notice_has("文件发送失败（big.bin）: 传输中 TCP 通道断开，文件未完成（不会改走蓝牙）"));
    EXPECT_TRUE(pair.pc.ble_out().empty()) << "nothing of the file goes over BLE";

    pair.bind();
    request_send({(root / "big.bin").string()});
    turn();
    UiRequests r;
    r.cancel = CancelRequest{TransferDirection::Send, "big.bin"};
    features->queue_requests(r);
    bool cancelled = false;
    for (const auto& e : at_phone())
        if (auto* c = e.as<TransferCancelledEvent>()) cancelled = c->reason == "电脑端已取消";
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(row(TransferDirection::Send, "big.bin").status, "已取消");
}

}  // namespace
}  // namespace dovan
