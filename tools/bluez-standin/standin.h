// A small bluetoothd for tests: BlueZ's documented D-Bus objects, paths, properties,
// signals and error names for LE discovery and GATT client use, served on a private bus.
// It behaves as bluetoothd does where clients can tell: RSSI reported only on moves of
// 8 dBm unless the discovery filter has RSSI or Pathloss, GATT objects kept across link
// losses, notification sessions per client that come back with the link, and an LE Connect
// to a device out of range that stays pending until it advertises again or the kernel's
// connection timeout passes.
// The radio behind it is the sim radio: the stand-in is a central there, so the simulated
// phones of tools/phone-sim answer for the devices it shows. It can misbehave on request
// the ways a real stack does.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/text.h"

namespace dovan::bluez {

struct StandInOptions {
    std::string bus_address;  // the private bus to serve on
    std::string radio;        // the sim-radio folder whose phones it reaches
    bool adapter = true;      // with an hci0 at start
    bool powered = true;
    // How long a Connect to a device that is not there stays pending before it fails with
    // le-connection-abort-by-local: the kernel cancels an LE connection attempt after 20 s.
    // The attempt completes as soon as the device advertises again.
    std::chrono::milliseconds connect_timeout{20000};
    // What the MTU exchange right after connecting settles on, shown as
    // GattCharacteristic1.MTU (a phone's usual 185 unless a test asks for another).
    std::uint16_t mtu = 185;
};

class StandIn {
public:
    static Result<std::unique_ptr<StandIn>> start(StandInOptions options);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // Faults. Each takes effect before the call returns.
    void remove_adapter();  // hci0 unplugged: its devices go first, connections drop
    void add_adapter();     // plugged back in, powered, not discovering
    void set_powered(bool powered);
    // bluetoothd exits (its bus name vanishes with every object) and comes back later.
    void stop_daemon();
    Status start_daemon();
    // The next N connects lose the device object between Connected and ServicesResolved.
    void remove_device_during_discovery(unsigned times);
    // The next N StartNotify calls fail with org.bluez.Error.Failed.
    void fail_start_notify(unsigned times);
    // Writes get no answer at all while on; the caller's own timeout must end them.
    void stall_writes(bool on);
    // The next N writes are answered with org.bluez.Error.Failed (an ATT error).
    void fail_writes(unsigned times);
    // The link to the device drops; a notification still in the pipe arrives after
    // Connected went false. The GATT objects stay, as bluetoothd keeps its GATT cache.
    void drop_link(std::uint64_t address, Bytes late_value = {});
    // The signal strength the radio hears from a device from now on (-50 dBm until set).
    void set_rssi(std::uint64_t address, std::int16_t dbm);

    // What the tests look at.
    bool discovering() const;
    std::vector<std::string> discovery_filter_uuids() const;
    // The RSSI threshold of the discovery filter, if it has one.
    std::optional<std::int16_t> discovery_filter_rssi() const;
    // How many times RSSI was reported changed for the device.
    unsigned rssi_reports(std::uint64_t address) const;
    bool connected(std::uint64_t address) const;
    std::vector<std::string> write_types() const;  // the "type" option of each WriteValue
    unsigned connect_calls() const;

    class Impl;

private:
    explicit StandIn(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// BlueZ keeps names valid UTF-8 by cutting them at the first byte that is not.
std::string bluez_name(std::string_view raw);

}  // namespace dovan::bluez
