// D-Bus property values as plain C++ values: only the types BlueZ uses for what we read.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "common/text.h"

namespace dovan::bluez {

using PropValue = std::variant<std::monostate, bool, std::int64_t, std::string, std::vector<std::string>, Bytes>;
using PropMap = std::map<std::string, PropValue>;
using IfaceMap = std::map<std::string, PropMap>;

// Reads one variant ("v") at the message's read position. Unknown types are skipped and
// left as monostate.
int read_variant(sd_bus_message* m, PropValue& out);
// Reads "a{sv}".
int read_props(sd_bus_message* m, PropMap& out);
// Reads "a{sa{sv}}".
int read_ifaces(sd_bus_message* m, IfaceMap& out);

const std::string* prop_string(const PropMap& p, const std::string& key);
bool prop_bool(const PropMap& p, const std::string& key, bool fallback = false);
const std::vector<std::string>* prop_strings(const PropMap& p, const std::string& key);
const Bytes* prop_bytes(const PropMap& p, const std::string& key);
std::int64_t prop_int(const PropMap& p, const std::string& key, std::int64_t fallback = 0);

}  // namespace dovan::bluez
