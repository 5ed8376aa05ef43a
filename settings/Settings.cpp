#include "Settings.h"

#include "links/ethernet/LinkState.h"
#include "scales/Targets.h"

namespace settings {

std::string LinkTargetText(const LinkSettings& link, const std::string& serialDevice,
                           std::optional<std::int32_t> serialRate) {
    std::string text;
    if (link.Kind == KindSerial) {
        text.append("serial:").append(serialDevice);
        if (serialRate) text.append("@").append(std::to_string(*serialRate));
        return text;
    }
    text.append(link.Protocol == ProtocolUDP ? "udp:" : "tcp:");
    return text.append(scales::HostPort(link.Host, link.Port & 0xFFFF));
}

} // namespace settings

std::int32_t TextToIntDef(const std::string& text, std::int32_t def) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    } else if (i < n && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    }
    if (i >= n) return def;
    std::int64_t value = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return def;
        value = value * base + digit;
        if (value > std::int64_t{1} << 32) return def;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return def;
    return static_cast<std::int32_t>(value);
}
