// bluez-standin: the test stand-in for bluetoothd, for trying the BlueZ backend by hand
// against phone-sim without a Bluetooth adapter. Serve it on a private dbus-daemon and
// point the program at that bus with DOVAN_BLUEZ_BUS.
#include <signal.h>

#include <cstdio>
#include <string>

#include "standin.h"

int main(int argc, char** argv) {
    dovan::bluez::StandInOptions opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--bus") opt.bus_address = argv[i + 1];
        else if (a == "--radio") opt.radio = argv[i + 1];
    }
    if (opt.bus_address.empty() || opt.radio.empty()) {
        std::fprintf(stderr, "usage: bluez-standin --bus <D-Bus address> --radio <sim-radio folder>\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    auto standin = dovan::bluez::StandIn::start(opt);
    if (!standin) {
        std::fprintf(stderr, "bluez-standin: %s\n", standin.error().display().c_str());
        return 1;
    }
    std::printf("serving org.bluez on %s\n", opt.bus_address.c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    return 0;
}
