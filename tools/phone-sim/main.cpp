// phone-sim: a companion phone on the sim radio, for trying the program by hand and for
// scripts. Events go to stdout one per line; stdin takes commands to misbehave on demand
// ("away <seconds>", "silent on|off", "garbage <bytes>", "half", "drop", "quit"), to send
// feature messages (feature_lines.h: notify, flood, dismiss, ack, clip, media, battery,
// config, …) and to send files: "send <path> [chunk=N] [nodigest] [wrongdigest] [drop=K]
// [corrupt=K] [swap=K] [early] [withhold] [cancel=K] [droptcp=K] [pause=K]"; "continue" lets
// a paused file go on.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <utility>
#include <string>
#include <string_view>

#include "crypto/random.h"
#include "feature_lines.h"
#include "phone.h"
#include "platform/memory.h"
#include "platform/stdin_lines.h"

namespace {

using dovan::phonesim::Phone;
using dovan::phonesim::PhoneOptions;

// The options; to stderr after a mistake, to stdout (with the stdin commands) for --help.
void usage(std::FILE* to = stderr) {
    std::fprintf(to,
                 "usage: phone-sim [--radio DIR] --data DIR [options]\n"
                 "  --help                  this text and the commands stdin takes\n"
                 "  --radio DIR             sim-radio folder (default: $DOVAN_SIM_RADIO)\n"
                 "  --data DIR              the phone's own folder: keys, trusted PCs, address\n"
                 "  --name NAME             advertised and HELLO name (default Pixel 8)\n"
                 "  --uuid UUID             advertised service UUID\n"
                 "  --addr ADDR             12 hex digits instead of the kept address\n"
                 "  --mtu N                 notification size + 3 (default 185)\n"
                 "  --reject-sas            refuse the pairing instead of confirming it\n"
                 "  --new-identity          fresh keys under the same name\n"
                 "  --fail-writes N         answer every Nth write with an error status\n"
                 "  --fail-status S         that status byte (default 1, Unreachable)\n"
                 "  --refuse-connects N     deny the service on the first N connections\n"
                 "  --drop-after-writes N   drop the central after N writes on a connection\n"
                 "  --silent-after S        go silent S seconds after pairing\n"
                 "  --away-after S          vanish S seconds after pairing ...\n"
                 "  --away-for S            ... for S seconds (default 5)\n"
                 "  --lan-port N            the PC's TCP channel on 127.0.0.1 (default 55676)\n"
                 "  --no-tcp                stay on BLE only\n"
                 "  --inbox DIR             where files from the PC land (default DATA/inbox)\n"
                 "  --refuse REASON         refuse every file from the PC with REASON\n"
                 "  --resume-from K         once, drop chunk K from the PC and ask for it again\n"
                 "  --never-answer          never answer the PC's FILE_DONE\n"
                 "  --cancel-recv-after K   cancel a file from the PC after its chunk K\n"
                 "  --drop-tcp-recv-after K close TCP after chunk K of a file from the PC\n"
                 "  --album N               serve an album of N photos over TCP\n"
                 "  --album-original B      bytes of each original (default 100000)\n"
                 "  --album-page-delay MS   answer each page MS milliseconds late\n"
                 "  --album-thumb-delay MS  take MS milliseconds per thumbnail\n"
                 "  --album-answer-page P   answer every page request with page P\n"
                 "  --album-thumb-error     thumbnails carry an image and an error\n"
                 "  --album-empty-thumbs    thumbnails carry neither\n"
                 "  --album-thumb-pad B     thumbnails padded to B bytes\n"
                 "  --album-unasked N       N thumbnails nobody asked for with each page\n"
                 "  --album-control-names   names with control characters\n"
                 "  --album-duplicate-ids   every item listed twice\n"
                 "  --album-never-start     take original requests and never serve them\n"
                 "  --album-stranger        send an original nobody requested\n"
                 "  --ack MODE              acknowledge replies: ok (default), never, error:TEXT\n"
                 "  --no-media-answer       leave media commands unanswered\n"
                 "  --demo                  once paired: a notification with a code, battery, music\n"
                 "  --hostile MODE          once paired, attack the PC: fragments, frames, notifications,\n"
                 "                          meta, malformed or oversized (stdin \"hostile off\" stops it)\n");
}

void help() {
    usage(stdout);
    std::fputs("\n"
               "stdin, one command a line (text fields take the console's escapes, \\t between fields):\n"
               "  away <s>                vanish for s seconds, then come back\n"
               "  silent on|off           stop or resume answering\n"
               "  drop                    hang up the connection\n"
               "  half                    send half a message and hang up\n"
               "  garbage <n>             send n random bytes\n"
               "  hostile on|off          start or stop the --hostile attack\n"
               "  send <path> [chunk=N] [nodigest] [wrongdigest] [drop=K] [corrupt=K] [swap=K]\n"
               "       [early] [withhold] [cancel=K] [droptcp=K] [pause=K]   send a file to the PC\n"
               "  continue                let a paused file go on\n"
               "  notify <id> <reply 0|1> <package>\\t<title>\\t<text>[\\t<tag>]\n"
               "  flood <n> [<package>]   n notifications in one burst\n"
               "  dismiss <id> <package>[\\t<tag>]\n"
               "  ack ok|never|error [<text>]            how replies from the PC are acknowledged\n"
               "  ack-id <reply id> <ok 0|1> [<error>]\n"
               "  clip <text>             copy text on the phone\n"
               "  media <playing 0|1> <position_ms> <duration_ms> <volume> <package>\\t<title>\\t<artist>\\t<album>\n"
               "  media-answer on|off     answer the PC's media commands with a new state\n"
               "  battery <level> <charging 0|1> [<ts_ms>]\n"
               "  config <key> <value> <scope>[\\t<key> <value> <scope>…]\n"
               "  quit\n",
               stdout);
}

bool number(std::string_view s, unsigned& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size();
}

// "<path> [chunk=N] [nodigest] ..." (a path without spaces).
std::optional<std::pair<std::string, dovan::phonesim::SendFaults>> parse_send(const std::string& arg) {
    dovan::phonesim::SendFaults f;
    std::string path;
    std::size_t at = 0;
    while (at < arg.size()) {
        std::size_t end = arg.find(' ', at);
        if (end == std::string::npos) end = arg.size();
        const std::string word = arg.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        if (path.empty()) {
            path = word;
            continue;
        }
        const auto eq = word.find('=');
        const std::string key = word.substr(0, eq);
        unsigned v = 0;
        const bool has_v = eq != std::string::npos && number(std::string_view(word).substr(eq + 1), v);
        if (key == "nodigest") f.digest = false;
        else if (key == "wrongdigest") f.wrong_digest = true;
        else if (key == "early") f.done_early = true;
        else if (key == "withhold") f.withhold_last = true;
        // Like an unknown key below, a valued key without its number ends the parse.
        else if (!has_v) return std::nullopt;  // NOLINT(bugprone-branch-clone)
        else if (key == "chunk" && v > 0) f.chunk_size = v;
        else if (key == "drop") f.drop_chunk = v;
        else if (key == "corrupt") f.corrupt_chunk = v;
        else if (key == "swap") f.swap_chunk = v;
        else if (key == "cancel") f.cancel_after = v;
        else if (key == "droptcp") f.drop_tcp_after = v;
        else if (key == "pause") f.pause_after = v;
        else return std::nullopt;
    }
    if (path.empty()) return std::nullopt;
    return std::make_pair(path, f);
}

std::mutex out_mu;
void print(const std::string& line) {
    std::lock_guard lock(out_mu);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    dovan::keep_stream_buffers();
    PhoneOptions opt;
    opt.lan_port = dovan::kLanPort;
    if (const char* radio = std::getenv("DOVAN_SIM_RADIO")) opt.radio = radio;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) {
                usage();
                // Arguments are read before any thread starts.
                std::exit(2);  // NOLINT(concurrency-mt-unsafe)
            }
            return argv[++i];
        };
        auto count = [&]() {
            unsigned n = 0;
            if (!number(value(), n)) {
                usage();
                std::exit(2);  // NOLINT(concurrency-mt-unsafe)
            }
            return n;
        };
        if (a == "--help" || a == "-h") {
            help();
            return 0;
        }
        if (a == "--radio") opt.radio = value();
        else if (a == "--data") opt.data_dir = value();
        else if (a == "--name") opt.name = value();
        else if (a == "--uuid") opt.service_uuid = value();
        else if (a == "--addr") {
            std::uint64_t addr = 0;
            if (!dovan::ble::parse_address(value(), addr)) {
                usage();
                return 2;
            }
            opt.address = addr;
        } else if (a == "--mtu") opt.mtu = count();
        else if (a == "--reject-sas") opt.confirm_sas = false;
        else if (a == "--new-identity") opt.new_identity = true;
        else if (a == "--fail-writes") opt.fail_every_nth_write = count();
        else if (a == "--fail-status") opt.fail_status = static_cast<std::uint8_t>(count());
        else if (a == "--refuse-connects") opt.refuse_first_connects = count();
        else if (a == "--drop-after-writes") opt.drop_after_writes = count();
        else if (a == "--silent-after") opt.silent_after_paired = std::chrono::seconds(count());
        else if (a == "--away-after") opt.away_after_paired = std::chrono::seconds(count());
        else if (a == "--away-for") opt.away_for = std::chrono::seconds(count());
        else if (a == "--lan-port") {
            const unsigned port = count();
            if (port == 0 || port > 65535) {
                usage();
                return 2;
            }
            opt.lan_port = static_cast<std::uint16_t>(port);
        } else if (a == "--no-tcp") opt.lan_port.reset();
        else if (a == "--inbox") opt.inbox = value();
        else if (a == "--refuse") opt.receive_faults.refuse = value();
        else if (a == "--resume-from") opt.receive_faults.resume_from = count();
        else if (a == "--never-answer") opt.receive_faults.never_answer = true;
        else if (a == "--cancel-recv-after") opt.receive_faults.cancel_after = count();
        else if (a == "--drop-tcp-recv-after") opt.receive_faults.drop_tcp_after = count();
        else if (a == "--album") opt.album.count = count();
        else if (a == "--album-original") opt.album.original_size = count();
        else if (a == "--album-page-delay") opt.album.page_delay = std::chrono::milliseconds(count());
        else if (a == "--album-thumb-delay") opt.album.thumb_delay = std::chrono::milliseconds(count());
        else if (a == "--album-answer-page") opt.album.answer_page = count();
        else if (a == "--album-thumb-error") opt.album.thumb_bytes_and_error = true;
        else if (a == "--album-empty-thumbs") opt.album.empty_thumbs = true;
        else if (a == "--album-thumb-pad") opt.album.thumb_padding = count();
        else if (a == "--album-unasked") opt.album.unasked_thumbs = count();
        else if (a == "--album-control-names") opt.album.control_names = true;
        else if (a == "--album-duplicate-ids") opt.album.duplicate_ids = true;
        else if (a == "--album-never-start") opt.album.originals_never_start = true;
        else if (a == "--album-stranger") opt.album.unrequested_original = true;
        else if (a == "--ack") {
            const std::string_view mode = value();
            if (mode == "ok") opt.reply_ack = dovan::phonesim::ReplyAck::Ok;
            else if (mode == "never") opt.reply_ack = dovan::phonesim::ReplyAck::Never;
            else if (mode.starts_with("error:")) {
                opt.reply_ack = dovan::phonesim::ReplyAck::Error;
                opt.reply_error = std::string(mode.substr(6));
            } else {
                usage();
                return 2;
            }
        } else if (a == "--hostile") {
            opt.hostile = dovan::phonesim::parse_hostile_mode(value());
            if (!opt.hostile) {
                usage();
                return 2;
            }
        } else if (a == "--no-media-answer") opt.answer_media = false;
        else if (a == "--demo") opt.demo = true;
        else {
            usage();
            return 2;
        }
    }
    if (opt.inbox.empty() && !opt.data_dir.empty()) opt.inbox = opt.data_dir + "/inbox";
    if (opt.radio.empty() || opt.data_dir.empty() || opt.mtu < 23 || opt.mtu > 515) {
        usage();
        return 2;
    }

    dovan::block_stop_signals();
    ::signal(SIGPIPE, SIG_IGN);

    Phone phone(opt, print);
    if (auto s = phone.start(); !s) {
        std::fprintf(stderr, "phone-sim: %s\n", s.error().text.c_str());
        return 1;
    }

    dovan::run_stdin_lines([&](const std::string& line) {
        const auto sp = line.find(' ');
        const std::string verb = line.substr(0, sp);
        const std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
        unsigned n_arg = 0;
        if (verb == "quit") return false;
        else if (verb == "away" && number(arg, n_arg)) phone.go_away(std::chrono::seconds(n_arg));
        else if (verb == "silent" && (arg == "on" || arg == "off")) phone.set_silent(arg == "on");
        else if (verb == "drop") phone.disconnect();
        else if (verb == "continue") phone.continue_sending();
        else if (verb == "hostile" && (arg == "on" || arg == "off")) phone.set_hostile(arg == "on");
        else if (verb == "send" && !arg.empty()) {
            if (auto job = parse_send(arg)) phone.send_file(job->first, job->second);
            else print("error -1 bad send: " + line);
        }
        else if (verb == "half") {
            // A notification that announces 117 bytes, delivers 20 and hangs up.
            dovan::Bytes part{0, 0, 0, 117, 0x90};
            part.resize(25, 0xAB);
            if (!phone.send_raw(part)) print("error -1 half message not sent");
            phone.disconnect();
        }
        else if (verb == "garbage" && number(arg, n_arg)) {
            dovan::Bytes junk(n_arg);
            if (!dovan::random_fill(junk) || !phone.send_raw(junk)) print("error -1 garbage not sent");
        } else if (auto f = dovan::phonesim::parse_feature_command(line, dovan::system_clock().wall_ms());
                   f.matched) {
            if (!f.error.empty()) {
                print("error -1 " + f.error);
                return true;
            }
            if (f.ack) phone.set_reply_ack(*f.ack, f.ack_error);
            if (f.answer_media) phone.set_answer_media(*f.answer_media);
            for (auto& [type, body] : f.messages) phone.send_message(type, std::move(body));
        } else if (!line.empty()) print("error -1 unknown command: " + line);
        return true;
    });
    phone.stop();
    return 0;
}
