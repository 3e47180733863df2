#include "platform/bluez/props.h"

namespace dovan::bluez {

int read_variant(sd_bus_message* m, PropValue& out) {
    const char* sig = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &sig);
    if (r <= 0) return r < 0 ? r : -EBADMSG;
    const std::string s = sig ? sig : "";
    r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, s.c_str());
    if (r < 0) return r;
    if (s == "b") {
        int v = 0;
        r = sd_bus_message_read_basic(m, 'b', &v);
        out = v != 0;
    } else if (s == "s" || s == "o") {
        const char* v = nullptr;
        r = sd_bus_message_read_basic(m, s[0], &v);
        out = std::string(v ? v : "");
    } else if (s == "y") {
        std::uint8_t v = 0;
        r = sd_bus_message_read_basic(m, 'y', &v);
        out = static_cast<std::int64_t>(v);
    } else if (s == "n") {
        std::int16_t v = 0;
        r = sd_bus_message_read_basic(m, 'n', &v);
        out = static_cast<std::int64_t>(v);
    } else if (s == "q") {
        std::uint16_t v = 0;
        r = sd_bus_message_read_basic(m, 'q', &v);
        out = static_cast<std::int64_t>(v);
    } else if (s == "i") {
        std::int32_t v = 0;
        r = sd_bus_message_read_basic(m, 'i', &v);
        out = static_cast<std::int64_t>(v);
    } else if (s == "u") {
        std::uint32_t v = 0;
        r = sd_bus_message_read_basic(m, 'u', &v);
        out = static_cast<std::int64_t>(v);
    } else if (s == "as" || s == "ao") {
        char** strv = nullptr;
        r = sd_bus_message_read_strv(m, &strv);
        std::vector<std::string> v;
        if (strv) {
            for (char** p = strv; *p; ++p) {
                v.emplace_back(*p);
                free(*p);
            }
            free(strv);
        }
        out = std::move(v);
    } else if (s == "ay") {
        const void* data = nullptr;
        std::size_t n = 0;
        r = sd_bus_message_read_array(m, 'y', &data, &n);
        const auto* b = static_cast<const std::uint8_t*>(data);
        out = Bytes(b, b + (b ? n : 0));
    } else {
        r = sd_bus_message_skip(m, s.c_str());
        out = std::monostate{};
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int read_props(sd_bus_message* m, PropMap& out) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) return r;
        PropValue v;
        if ((r = read_variant(m, v)) < 0) return r;
        out[key ? key : ""] = std::move(v);
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int read_ifaces(sd_bus_message* m, IfaceMap& out) {
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
        const char* iface = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &iface)) < 0) return r;
        PropMap props;
        if ((r = read_props(m, props)) < 0) return r;
        out[iface ? iface : ""] = std::move(props);
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

const std::string* prop_string(const PropMap& p, const std::string& key) {
    auto it = p.find(key);
    return it == p.end() ? nullptr : std::get_if<std::string>(&it->second);
}

bool prop_bool(const PropMap& p, const std::string& key, bool fallback) {
    auto it = p.find(key);
    if (it == p.end()) return fallback;
    const bool* b = std::get_if<bool>(&it->second);
    return b ? *b : fallback;
}

const std::vector<std::string>* prop_strings(const PropMap& p, const std::string& key) {
    auto it = p.find(key);
    return it == p.end() ? nullptr : std::get_if<std::vector<std::string>>(&it->second);
}

const Bytes* prop_bytes(const PropMap& p, const std::string& key) {
    auto it = p.find(key);
    return it == p.end() ? nullptr : std::get_if<Bytes>(&it->second);
}

std::int64_t prop_int(const PropMap& p, const std::string& key, std::int64_t fallback) {
    auto it = p.find(key);
    if (it == p.end()) return fallback;
    const std::int64_t* v = std::get_if<std::int64_t>(&it->second);
    return v ? *v : fallback;
}

}  // namespace dovan::bluez
