// phone-sim: a companion phone on the sim radio, for trying the program by hand and for
// scripts. Events go to stdout one per line; stdin takes commands to misbehave on demand
// ("away <seconds>", "silent on|off", "garbage <bytes>", "half", "drop", "quit") and to
// send feature messages (feature_lines.h: notify, flood, dismiss, ack, clip, media, battery,
// config, …).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>

#include "crypto/random.h"
#include "feature_lines.h"
#include "phone.h"

namespace {

using dovan::phonesim::Phone;
using dovan::phonesim::PhoneOptions;

void usage() {
    std::fprintf(stderr,
                 "usage: phone-sim [--radio DIR] --data DIR [options]\n"
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
                 "  --ack MODE              acknowledge replies: ok (default), never, error:TEXT\n"
                 "  --no-media-answer       leave media commands unanswered\n"
                 "  --demo                  once paired: a notification with a code, battery, music\n");
}

bool number(std::string_view s, unsigned& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size();
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
    PhoneOptions opt;
    opt.lan_port = dovan::kLanPort;
    if (const char* radio = std::getenv("DOVAN_SIM_RADIO")) opt.radio = radio;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        auto count = [&]() {
            unsigned n = 0;
            if (!number(value(), n)) {
                usage();
                std::exit(2);
            }
            return n;
        };
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
        } else if (a == "--no-media-answer") opt.answer_media = false;
        else if (a == "--demo") opt.demo = true;
        else {
            usage();
            return 2;
        }
    }
    if (opt.radio.empty() || opt.data_dir.empty() || opt.mtu < 23 || opt.mtu > 515) {
        usage();
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Phone phone(opt, print);
    if (auto s = phone.start(); !s) {
        std::fprintf(stderr, "phone-sim: %s\n", s.error().text.c_str());
        return 1;
    }

    bool stdin_open = true;
    std::string pending;
    for (;;) {
        timespec zero{0, 0};
        if (sigtimedwait(&signals, nullptr, &zero) > 0) break;
        if (!stdin_open) {
            timespec tick{0, 100'000'000};
            if (sigtimedwait(&signals, nullptr, &tick) > 0) break;
            continue;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdin_open = false;  // keep serving until a signal, as a phone would
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        bool quit = false;
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            const auto sp = line.find(' ');
            const std::string verb = line.substr(0, sp);
            const std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
            unsigned n_arg = 0;
            if (verb == "quit") quit = true;
            else if (verb == "away" && number(arg, n_arg)) phone.go_away(std::chrono::seconds(n_arg));
            else if (verb == "silent" && (arg == "on" || arg == "off")) phone.set_silent(arg == "on");
            else if (verb == "drop") phone.disconnect();
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
                    continue;
                }
                if (f.ack) phone.set_reply_ack(*f.ack, f.ack_error);
                if (f.answer_media) phone.set_answer_media(*f.answer_media);
                for (auto& [type, body] : f.messages) phone.send_message(type, std::move(body));
            } else if (!line.empty()) print("error -1 unknown command: " + line);
        }
        if (quit) break;
    }
    phone.stop();
    return 0;
}
