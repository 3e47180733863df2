// The PC's file receiving behind the dispatch: a paired, bound phone engine sends whatever
// FILE_META, FILE_CHUNK, FILE_DONE and cancels the input describes; the PC engine decodes
// them and the receive and send modules act on them, writing into a private folder while
// time moves on a fake clock. Nothing may crash, and nothing may be created outside the
// receive folder.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "features/features.h"
#include "features/file_receive.h"
#include "features/file_send.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "session/engine.h"
#include "transfer/chunk.h"

#include "engine_pair.h"

namespace {

using namespace dovan;
namespace fs = std::filesystem;

class Idle final : public Feature {
public:
    std::string_view name() const override { return "idle"; }
    bool on_event(const AppEvent&) override { return false; }
};

class Host final : public FeatureHost {
public:
    Host(FakeClock& clock, Engine& pc, const fs::path& inbox) : clock_(clock), pc_(pc) {
        UiState state = initial_ui_state();
        state.settings.inbox = inbox.string();
        ui_ = std::make_shared<SharedUi>(std::move(state), LoadedModules{0xFF});
    }
    Clock& clock() override { return clock_; }
    Engine* engine() override { return &pc_; }
    SharedUi& ui() override { return *ui_; }
    LoadedModules modules() const override { return LoadedModules{0xFF}; }
    void push_notice(std::string_view) override {}
    void request_repaint() override {}
    void save_settings() override {}
    const fs::path& data_dir() const override { return dir_; }

private:
    FakeClock& clock_;
    Engine& pc_;
    std::shared_ptr<SharedUi> ui_;
    fs::path dir_;
};

void pump(Engine& a, Engine& b, Instant now) {
    for (int round = 0; round < 64; ++round) {
        bool moved = false;
        for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
            for (const Bytes& v : from->take_ble_fragments()) {
                to->take_ble_value(v, now);
                moved = true;
            }
            for (const Bytes& f : from->take_tcp_frames()) {
                to->handle_frame(f, Transport::Tcp);
                moved = true;
            }
        }
        if (!moved) return;
    }
}

std::uint64_t read_u(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

struct Pair {
    std::unique_ptr<Engine> pc;
    std::unique_ptr<Engine> phone;
};

// Paired and bound once per process; every input starts from a copy.
const Pair& bound_pair() {
    static const Pair* const pair = [] {
        FakeClock clock;
        auto* p = new Pair{std::make_unique<Engine>(fuzz::paired_config(0, 517)),
                           std::make_unique<Engine>(fuzz::paired_config(1, 517))};
        p->pc->open_with_hello(clock.now());
        pump(*p->pc, *p->phone, clock.now());
        p->pc->start_bind_server();
        p->phone->start_bind_client();
        pump(*p->pc, *p->phone, clock.now());
        invariant(p->pc->tcp_bound() && p->phone->tcp_bound(), "fuzz pair binds");
        p->pc->take_events();
        p->phone->take_events();
        return p;
    }();
    return *pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path root = [] {
        std::string tmpl = (fs::temp_directory_path() / "dovan-fuzz-files-XXXXXX").string();
        invariant(::mkdtemp(tmpl.data()) != nullptr, "fuzz folder");
        return fs::path(tmpl);
    }();
    const fs::path inbox = root / "inbox";
    FakeClock clock;
    const auto pc_owned = bound_pair().pc->snapshot();
    const auto phone_owned = bound_pair().phone->snapshot();
    Engine& pc = *pc_owned;
    Engine& phone = *phone_owned;

    {
        Host host(clock, pc, inbox);
        Features::Modules m;
        for (auto* slot : {&m.notifications, &m.clipboard, &m.media, &m.device_status, &m.config_sync, &m.album})
            *slot = std::make_unique<Idle>();
        auto recv = std::make_unique<FileReceive>(host);
        recv->set_free_space([](const fs::path&) { return std::optional<std::uint64_t>(1ull << 40); });
        m.file_receive = std::move(recv);
        m.file_send = std::make_unique<FileSend>(host);
        Features features(std::move(m));

        // Each record: op, file id (1 byte), index/size (4 bytes), length (1 byte), bytes.
        std::size_t pos = 0;
        while (pos + 7 <= size) {
            const std::uint8_t op = data[pos];
            const std::uint64_t id = data[pos + 1] % 12;
            const std::uint64_t n = read_u(data + pos + 2, 4);
            const std::size_t len = std::min<std::size_t>(data[pos + 6], size - pos - 7);
            const ByteView bytes(data + pos + 7, len);
            pos += 7 + len;
            switch (op % 8) {
                case 0: {
                    pb::FileMeta meta;
                    meta.set_file_id(id);
                    meta.set_name(std::string(bytes.begin(), bytes.end()));
                    meta.set_size(n % 4096);
                    meta.set_chunk_size(static_cast<std::uint32_t>(1 + (n >> 12) % 64));
                    phone.send_business(FILE_META, encode_file_meta(meta), 0, false);
                    break;
                }
                case 1:
                case 2: {
                    pb::FileChunk c;
                    c.set_file_id(id);
                    c.set_index(static_cast<std::uint32_t>(n));
                    c.set_data(bytes.data(), bytes.size());
                    c.set_crc32(op & 8 ? static_cast<std::uint32_t>(n) : crc32(bytes));
                    phone.send_business(FILE_CHUNK, encode_file_chunk(c), 0, false);
                    break;
                }
                case 3: {
                    std::optional<Bytes> sha;
                    if (len == 32) sha = Bytes(bytes.begin(), bytes.end());
                    phone.send_file_done(id, (op & 8) == 0, std::nullopt, sha, (op & 16) != 0, 0);
                    break;
                }
                case 4: {
                    pb::FileCancel c;
                    c.set_file_id(id);
                    phone.send_business(FILE_CANCEL, encode_file_cancel(c), 0, false);
                    break;
                }
                case 5:
                    clock.advance(std::chrono::seconds(n % 32));
                    break;
                case 6: {
                    UiRequests r;
                    r.cancel = CancelRequest{TransferDirection::Receive, std::string(bytes.begin(), bytes.end())};
                    features.queue_requests(r);
                    break;
                }
                default:
                    features.on_link({(op & 8) ? LinkChange::Kind::EngineGone : LinkChange::Kind::Unbound, {}});
                    break;
            }
            pump(pc, phone, clock.now());
            for (const AppEvent& e : pc.take_events()) features.on_event(e);
            features.step(TurnStep::ReceivedChunks, clock.now());
            features.step(TurnStep::FileSending, clock.now());
            features.step(TurnStep::ReceiveHolds, clock.now());
            pump(pc, phone, clock.now());
            phone.take_events();
            (void)phone.take_chunks();
        }
    }
    for (const auto& e : fs::recursive_directory_iterator(root))
        invariant(e.path() == inbox || e.path().parent_path() == inbox, "received files stay in the receive folder");
    std::error_code ec;
    fs::remove_all(inbox, ec);
    return 0;
}
