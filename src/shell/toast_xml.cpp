#include "shell/toast_xml.h"

#include "common/text.h"
#include "shell/activation.h"

namespace dovan {

std::string xml_escape(std::string_view text) {
    const std::string clean = utf8_valid(text) ? std::string(text) : utf8_lossy(text);
    std::string out;
    out.reserve(clean.size());
    for (std::size_t pos = 0; pos < clean.size();) {
        const std::size_t start = pos;
        const char32_t c = utf8_next(clean, pos);
        switch (c) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            case '\t':
            case '\n':
            case '\r': out += static_cast<char>(c); continue;
            default: break;
        }
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) continue;
        out.append(clean, start, pos - start);
    }
    return out;
}

std::string copy_button_label(std::string_view code) { return "复制验证码 " + std::string(code); }

std::string build_toast_xml(const ToastContent& t) {
    const bool copy = t.code.has_value() && t.copy_token.has_value();
    const bool reply = t.reply_token.has_value();
    const bool any = copy || reply || t.open_token || t.reveal_token;
    std::string xml = "<toast duration=\"";
    xml += any ? "long" : "short";
    xml += "\"><visual><binding template=\"ToastGeneric\"><text>";
    xml += xml_escape(t.title);
    xml += "</text><text>";
    xml += xml_escape(t.body);
    xml += "</text></binding></visual><actions>";
    if (copy) {
        xml += "<action content=\"" + xml_escape(copy_button_label(*t.code)) +
               "\" activationType=\"protocol\" arguments=\"" +
               activation_link(ActivationVerb::Copy, *t.copy_token) + "\"/>";
    }
    if (reply) {
        xml += "<action content=\"" + std::string(kReplyButtonLabel) +
               "\" activationType=\"protocol\" arguments=\"" +
               activation_link(ActivationVerb::Reply, *t.reply_token) + "\"/>";
    }
    const auto button = [&xml](std::string_view label, ActivationVerb verb, std::uint64_t token) {
        xml += "<action content=\"" + std::string(label) + "\" activationType=\"protocol\" arguments=\"" +
               activation_link(verb, token) + "\"/>";
    };
    if (t.open_token) button(kOpenButtonLabel, ActivationVerb::Open, *t.open_token);
    if (t.reveal_token) button(kRevealButtonLabel, ActivationVerb::Reveal, *t.reveal_token);
    xml += "</actions><audio silent=\"yes\"/></toast>";
    return xml;
}

}  // namespace dovan
