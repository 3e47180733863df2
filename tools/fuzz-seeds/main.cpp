// Writes seed inputs for the fuzz targets from real traffic: a PC engine and a phone engine
// pair through the whole handshake, bind their TCP channel and exchange one message of every
// business type, and what passes between them is recorded in each target's input form.
// Stored forms (settings, peer lists, key files) come from our own writers.
//   fuzz-seeds <corpus folder>   (fuzz/corpus: one folder per target)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/settings.h"
#include "crypto/identity.h"
#include "crypto/noise.h"
#include "crypto/noise_resolver.h"
#include "lan/discovery.h"
#include "platform/ble.h"
#include "platform/clock.h"
#include "platform/sim/sim_wire.h"
#include "protocol/ble_frag.h"
#include "protocol/frame.h"
#include "protocol/product.h"
#include "protocol/messages.h"
#include "session/engine.h"
#include "store/stores.h"
#include "transfer/chunk.h"

#include "../../fuzz/engine_pair.h"

namespace {

using namespace dovan;
namespace fs = std::filesystem;

// Seeds by target; names are their content's hash, so a second run adds nothing twice.
std::map<std::string, std::vector<Bytes>> seeds;

void seed(const std::string& target, Bytes bytes) { seeds[target].push_back(std::move(bytes)); }
void seed(const std::string& target, std::string_view text) { seed(target, Bytes(text.begin(), text.end())); }
Bytes with_byte(std::uint8_t first, ByteView rest) {
    Bytes out{first};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}
void put16(Bytes& out, std::size_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// One business message of each type, as the two sides send them.
struct Sample {
    std::uint8_t type;
    Bytes body;
    bool from_phone;
};

std::vector<Sample> samples() {
    std::vector<Sample> out;
    auto add = [&](std::uint8_t type, Bytes body, bool from_phone) { out.push_back({type, std::move(body), from_phone}); };
    pb::NotificationPush n;
    n.set_package("com.tencent.mm");
    n.set_title("张三");
    n.set_text("您的验证码为 482915，5 分钟内有效");
    n.set_post_ts_ms(1700000000000);
    n.set_key_hash(77);
    n.set_tag("chat");
    n.set_notification_id(3);
    n.set_can_reply(true);
    n.set_reply_action_index(1);
    n.set_reply_result_key("reply");
    add(NOTIFICATION_PUSH, encode_notification_push(n), true);
    pb::NotificationReply r;
    r.set_reply_id(1);
    r.set_package("com.tencent.mm");
    r.set_tag("chat");
    r.set_notification_id(3);
    r.set_action_index(1);
    r.set_result_key("reply");
    r.set_text("好的");
    add(NOTIFICATION_REPLY, encode_notification_reply(r), false);
    pb::NotificationReplyAck ack;
    ack.set_reply_id(1);
    ack.set_package("com.tencent.mm");
    ack.set_ok(true);
    add(NOTIFICATION_REPLY_ACK, encode_notification_reply_ack(ack), true);
    pb::NotificationDismiss d;
    d.set_package("com.tencent.mm");
    d.set_tag("chat");
    d.set_notification_id(3);
    d.set_key_hash(77);
    add(NOTIFICATION_DISMISS, encode_notification_dismiss(d), true);
    pb::ClipboardPush c;
    c.set_kind(0);
    c.set_data("剪贴板 text");
    c.set_mime("text/plain");
    c.set_ts_ms(1700000000001);
    add(CLIPBOARD_PUSH, encode_clipboard_push(c), true);
    add(CLIPBOARD_PUSH, encode_clipboard_push(c), false);
    pb::MediaState m;
    m.set_package("com.netease.music");
    m.set_title("晴天");
    m.set_artist("周杰伦");
    m.set_album("叶惠美");
    m.set_playing(true);
    m.set_position_ms(1000);
    m.set_duration_ms(269000);
    m.set_speed(1.0f);
    m.set_volume(7);
    add(MEDIA_STATE, encode_media_state(m), true);
    pb::MediaCommand mc;
    mc.set_action(8);
    mc.set_volume(5);
    add(MEDIA_COMMAND, encode_media_command(mc), false);
    pb::DeviceStatus s;
    s.set_battery(83);
    s.set_charging(true);
    add(DEVICE_STATUS, encode_device_status(s), true);
    pb::ConfigSync cs;
    auto* e = cs.add_entries();
    e->set_key("clip_sync");
    e->set_value("1");
    e->set_scope("pc");
    add(CONFIG_SYNC, encode_config_sync(cs), true);
    const Bytes content = {'h', 'e', 'l', 'l', 'o', ' ', 'p', 'c', '\n'};
    pb::FileMeta fm;
    fm.set_name("照片 1.txt");
    fm.set_size(content.size());
    fm.set_file_id(5);
    fm.set_chunk_size(4);
    fm.set_crc32(crc32(content));
    add(FILE_META, encode_file_meta(fm), true);
    for (std::uint32_t i = 0; i * 4 < content.size(); ++i) {
        pb::FileChunk ch;
        ch.set_file_id(5);
        ch.set_index(i);
        const std::size_t n = std::min<std::size_t>(4, content.size() - i * 4);
        ch.set_data(content.data() + i * 4, n);
        ch.set_crc32(crc32(ByteView(content.data() + i * 4, n)));
        add(FILE_CHUNK, encode_file_chunk(ch), true);
    }
    pb::FileDone fd;
    fd.set_file_id(5);
    fd.set_ok(true);
    add(FILE_DONE, encode_file_done(fd), true);
    pb::FileCancel fc;
    fc.set_file_id(6);
    fc.set_reason("user");
    add(FILE_CANCEL, encode_file_cancel(fc), false);
    pb::AlbumListRequest lr;
    lr.set_page(0);
    lr.set_per_page(20);
    add(ALBUM_LIST_REQUEST, encode_album_list_request(lr), false);
    pb::AlbumList al;
    auto* item = al.add_items();
    item->set_id(9);
    item->set_name("IMG_0001.jpg");
    item->set_size_bytes(123456);
    item->set_mtime_ms(1700000000000);
    item->set_width(4032);
    item->set_height(3024);
    al.set_page(0);
    al.set_total(1);
    add(ALBUM_LIST, encode_album_list(al), true);
    pb::AlbumThumbRequest tr;
    tr.set_id(9);
    tr.set_edge(160);
    add(ALBUM_THUMB_REQUEST, encode_album_thumb_request(tr), false);
    pb::AlbumThumb th;
    th.set_id(9);
    th.set_edge(160);
    th.set_width(160);
    th.set_height(120);
    th.set_jpeg(std::string("\xff\xd8\xff\xe0", 4));
    add(ALBUM_THUMB, encode_album_thumb(th), true);
    pb::AlbumFullRequest fr;
    fr.add_ids(9);
    fr.add_ids(10);
    add(ALBUM_FULL_REQUEST, encode_album_full_request(fr), false);
    return out;
}

// Which decoder envelope_fuzz picks for a frame type (its first byte, modulo 22).
int envelope_selector(std::uint8_t type) {
    switch (type) {
        case CLIPBOARD_PUSH: return 1;
        case NOTIFICATION_PUSH: return 2;
        case NOTIFICATION_REPLY: return 3;
        case NOTIFICATION_DISMISS: return 4;
        case NOTIFICATION_REPLY_ACK: return 5;
        case MEDIA_STATE: return 6;
        case MEDIA_COMMAND: return 7;
        case DEVICE_STATUS: return 8;
        case CONFIG_SYNC: return 10;
        case FILE_META: return 11;
        case FILE_CHUNK: return 12;
        case FILE_DONE: return 13;
        case FILE_CANCEL: return 14;
        case ALBUM_LIST_REQUEST: return 15;
        case ALBUM_LIST: return 17;
        case ALBUM_THUMB_REQUEST: return 18;
        case ALBUM_THUMB: return 19;
        case ALBUM_FULL_REQUEST: return 20;
        default: return -1;
    }
}

// Records every fragment and whole frame that crosses between the two engines.
struct Wire {
    BleReassembler to_pc, to_phone;
    Bytes fragment_run;  // reassembly_fuzz form: len16, time step, value
    void frame(const Bytes& f) {
        seed("frame_fuzz", f);
        const auto decoded = decode_frame(f);
        if (decoded.ok() && !decoded->header.encrypted() && !decoded->payload.empty())
            seed("tlv_fuzz", Bytes(decoded->payload.begin(), decoded->payload.end()));
    }
    void move(Engine& from, Engine& to, BleReassembler& table, Instant now) {
        while (auto v = from.next_ble_fragment()) {
            put16(fragment_run, v->size());
            fragment_run.push_back(0);
            fragment_run.insert(fragment_run.end(), v->begin(), v->end());
            if (auto whole = table.take(*v, now); whole.ok() && whole->has_value()) {
                frame(**whole);
                seed("reassembly_fuzz", fragment_run);
                fragment_run.clear();
            }
            to.take_ble_value(*v, now);
        }
        while (auto f = from.next_tcp_frame()) {
            frame(*f);
            to.handle_frame(*f, Transport::Tcp);
        }
    }
    void pump(Engine& pc, Engine& phone, Instant now) {
        for (int round = 0; round < 64; ++round) {
            if (pc.ble_out().empty() && phone.ble_out().empty() && pc.tcp_out().empty() && phone.tcp_out().empty())
                return;
            move(pc, phone, to_phone, now);
            move(phone, pc, to_pc, now);
        }
    }
};

void traffic() {
    FakeClock clock;
    Engine pc(fuzz::paired_config(0, 517));
    Engine phone(fuzz::paired_config(1, 517));
    Wire wire;
    pc.open_with_hello(clock.now());
    wire.pump(pc, phone, clock.now());
    pc.start_bind_server();
    phone.start_bind_client();
    wire.pump(pc, phone, clock.now());
    invariant(pc.tcp_bound() && phone.tcp_bound(), "seed pair binds");

    Bytes engine_run, dispatch_run, file_run;
    std::uint64_t counter = 1;
    const Bytes device(8, 0x42);
    for (const Sample& s : samples()) {
        Engine& from = s.from_phone ? phone : pc;
        from.send_business(s.type, s.body, 1700000000000, false);
        wire.pump(pc, phone, clock.now());
        pc.take_events();
        phone.take_events();

        Bytes msg_id = device;
        for (int i = 7; i >= 0; --i) msg_id.push_back(static_cast<std::uint8_t>(++counter >> (i * 8)));
        const Bytes envelope = encode_envelope(msg_id, 1700000000000, device, s.body);
        seed("envelope_fuzz", with_byte(0, envelope));
        if (const int sel = envelope_selector(s.type); sel >= 0)
            seed("envelope_fuzz", with_byte(static_cast<std::uint8_t>(sel), s.body));

        // engine_fuzz: the PC seals the envelope on BLE (op 3) and on TCP (op 4).
        for (std::uint8_t op : {3, 4}) {
            Bytes rec{op};
            put16(rec, envelope.size() + 1);
            rec.push_back(s.type);
            rec.insert(rec.end(), envelope.begin(), envelope.end());
            seed("engine_fuzz", rec);
            engine_run.insert(engine_run.end(), rec.begin(), rec.end());
        }
        // business_dispatch: the body inside a routed envelope (case 2), from its side.
        Bytes rec{static_cast<std::uint8_t>((2 << 1) | (s.from_phone ? 0 : 1)), s.type};
        put16(rec, s.body.size());
        rec.insert(rec.end(), s.body.begin(), s.body.end());
        seed("business_dispatch", rec);
        dispatch_run.insert(dispatch_run.end(), rec.begin(), rec.end());
    }
    seed("engine_fuzz", engine_run);
    seed("business_dispatch", dispatch_run);
    if (!wire.fragment_run.empty()) seed("reassembly_fuzz", wire.fragment_run);

    // file_receive_fuzz: a file's offer, its chunks and its end, in that target's records.
    const std::string content = "hello pc\n";
    auto record = [&](std::uint8_t op, std::uint8_t id, std::uint32_t n, std::string_view bytes) {
        file_run.push_back(op);
        file_run.push_back(id);
        for (int i = 3; i >= 0; --i) file_run.push_back(static_cast<std::uint8_t>(n >> (i * 8)));
        file_run.push_back(static_cast<std::uint8_t>(bytes.size()));
        file_run.insert(file_run.end(), bytes.begin(), bytes.end());
    };
    record(0, 5, static_cast<std::uint32_t>(content.size()) | (3u << 12), "照片 1.txt");
    for (std::uint32_t i = 0; i * 4 < content.size(); ++i) record(1, 5, i, std::string_view(content).substr(i * 4, 4));
    record(3, 5, 0, "");
    seed("file_receive_fuzz", file_run);
    record(4, 5, 0, "");
    record(5, 0, 40, "");
    seed("file_receive_fuzz", file_run);
}

void handshake_messages() {
    // noise_handshake's own fixed keys, so message 2 reaches the initiator's later steps.
    const Bytes init_static(32, 0x11), resp_static(32, 0x22), eph(32, 0x33);
    const auto& r = dovan_noise_resolver();
    auto init = HandshakeState::create(r, NoiseRole::Initiator, init_static, {}, eph);
    auto resp = HandshakeState::create(r, NoiseRole::Responder, resp_static, {}, eph);
    invariant(init.ok() && resp.ok(), "handshake states");
    auto m1 = init->write_message();
    invariant(m1.ok() && resp->read_message(*m1).ok(), "message 1");
    auto m2 = resp->write_message();
    invariant(m2.ok(), "message 2");
    seed("noise_handshake", with_byte(1, *m1));
    seed("noise_handshake", with_byte(0, *m2));
}

void stored_forms() {
    const auto& keys = fuzz::keys();
    const Bytes hash(32, 0x5A);
    for (const auto* id : {&keys.pc, &keys.phone}) {
        auto payload = build_identity_payload(*id, hash);
        invariant(payload.ok(), "identity payload");
        seed("identity_payload", *payload);
    }
    const Bytes der = keys.pc.private_pkcs8_der();
    seed("key_files_fuzz", with_byte(0, der));
    seed("key_files_fuzz", with_byte(2, der));
    seed("key_files_fuzz", with_byte(1, as_bytes(" " + std::string(64, 'a') + "\n")));

    Settings s;
    seed("ini_fuzz", format_settings(s));
    s.inbox = "/home/用户/下载";
    s.theme = Theme::Dark;
    s.autostart = true;
    seed("ini_fuzz", format_settings(s));
    const std::vector<TrustedPeer> peers = {{keys.phone.fingerprint(), "Phone"}, {keys.pc.fingerprint(), ""}};
    seed("tsv_fuzz", format_trusted_peers(peers));
    seed("tsv_fuzz", format_peer_names({{keys.phone.fingerprint(), "小米 13"}}));

    for (const std::string_view name : {kPcDeviceName, std::string_view("书房的电脑")}) {
        auto beacon = encode_beacon(name, 2, "0.5.3");
        invariant(beacon.ok(), "beacon");
        seed("beacon_fuzz", *beacon);
    }

    ble::Advertisement adv;
    adv.address = 0xA1B2C3D4E5F6;
    adv.local_name = "Phone";
    adv.service_uuids.push_back(*ble::Uuid::parse("0000fd00-0000-1000-8000-00805f9b34fb"));
    seed("sim_wire_fuzz", with_byte(0, as_bytes(sim::encode_advertisement(adv))));
    Bytes stream;
    const Bytes uuid(adv.service_uuids[0].bytes.begin(), adv.service_uuids[0].bytes.end());
    for (const Bytes& m : {sim::encode_message(sim::OP_SERVICES, {}),
                           sim::encode_message(sim::OP_SERVICES | sim::ANSWER_BIT, uuid),
                           sim::encode_message(sim::OP_SUBSCRIBE, uuid),
                           sim::encode_message(sim::OP_NOTIFY, Bytes(40, 0x17))})
        stream.insert(stream.end(), m.begin(), m.end());
    seed("sim_wire_fuzz", with_byte(1, stream));

    seed("address_fuzz", "\x00" "0000fd00-0000-1000-8000-00805f9b34fb");
    seed("address_fuzz", "\x01" "A1B2C3D4E5F6");
    seed("address_fuzz", "\x02" "127.0.0.1:4567");
    seed("address_fuzz", "\x02" "[::1]:4567");
    seed("address_fuzz", "\x02" "192.168.1.20");

    seed("console_fuzz",
         "status\ndevices\nconnect A1B2C3D4E5F6\nsas confirm\nmanual-ip 127.0.0.1:4567\n"
         "send /tmp/a\\tb.txt\ncancel recv a.txt\nclip 你好\\n世界\nmedia 8 5\nreply 0 好的\n"
         "album page 0 20\nalbum export /tmp 1 2\nalbum thumb 9\nalbum drag 9\nnotifications\n"
         "copy-code 0\nlocal-clip text\nsend-clip\nsettings\nset autostart 1\nrows\nalbum\nhelp\nquit\n");
    seed("console_fuzz", "clip a\\\\b\\r\\n\\t\nset inbox /tmp/x\\ty\n");

    seed("code_extract_fuzz", std::string("【某银行】") + '\0' + "您的验证码为 482915，5 分钟内有效，请勿泄露。");
    seed("code_extract_fuzz", std::string("Sign in") + '\0' + "Your verification code is 123-456. OTP expires soon");
}

std::string name_of(const Bytes& b) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (std::uint8_t c : b) h = (h ^ c) * 1099511628211ull;
    char buf[24];
    std::snprintf(buf, sizeof buf, "seed-%016llx", static_cast<unsigned long long>(h));
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz-seeds <corpus folder>\n");
        return 2;
    }
    traffic();
    handshake_messages();
    stored_forms();
    std::size_t written = 0;
    for (const auto& [target, list] : seeds) {
        const fs::path dir = fs::path(argv[1]) / target;
        fs::create_directories(dir);
        for (const Bytes& b : list) {
            const fs::path file = dir / name_of(b);
            if (fs::exists(file)) continue;
            std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                        static_cast<std::streamsize>(b.size()));
            ++written;
        }
    }
    std::printf("fuzz-seeds: %zu new inputs\n", written);
    return 0;
}
