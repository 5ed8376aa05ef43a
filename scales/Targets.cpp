#include "Targets.h"

#include "platform/WinSerial.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <map>

namespace scales {

namespace {

std::optional<long> Number(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

[[noreturn]] void Bad(const std::string& text, const std::string& why) {
    throw TargetError("bad target \"" + text + "\": " + why);
}

SerialFrame ParseFrame(const std::string& text, const std::string& target) {
    // Data bits, parity letter, stop bits: 8N1, 7E2, 8N1.5.
    SerialFrame f;
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        Bad(target, "the frame is data bits 5-8, parity N, O, E, M or S, stop bits 1, 1.5 or 2 (e.g. 8N1)");
    f.dataBits = text[0] - '0';
    f.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    const std::string stop = text.substr(2);
    if (std::string("NOEMS").find(f.parity) == std::string::npos ||
        (stop != "1" && stop != "1.5" && stop != "2"))
        Bad(target, "the frame is data bits 5-8, parity N, O, E, M or S, stop bits 1, 1.5 or 2 (e.g. 8N1)");
    f.stopTenths = stop == "1" ? 10 : stop == "2" ? 20 : 15;
    return f;
}

} // namespace

Target ParseTarget(const std::string& text) {
    Target t;
    t.text = text;
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        Bad(text, "expected serial:DEVICE[@RATE[,8N1]], tcp:HOST:PORT or udp:HOST:PORT");
    const std::string scheme = text.substr(0, colon);
    const std::string rest = text.substr(colon + 1);
    if (scheme == "serial") {
        t.kind = Target::Kind::Serial;
        t.device = rest;
        if (auto at = rest.rfind('@'); at != std::string::npos) {
            t.device = rest.substr(0, at);
            std::string rate = rest.substr(at + 1);
            if (auto comma = rate.find(','); comma != std::string::npos) {
                t.frame = ParseFrame(rate.substr(comma + 1), text);
                rate.resize(comma);
            }
            const auto r = Number(rate);
            if (!r || *r <= 0 || *r > 100000000) Bad(text, "the rate is a whole number of bits per second");
            t.rate = static_cast<int>(*r);
        }
        if (t.device.empty()) Bad(text, "no device (e.g. serial:/dev/ttyUSB0 or serial:COM1)");
        return t;
    }
    if (scheme != "tcp" && scheme != "udp")
        Bad(text, "expected serial:DEVICE[@RATE[,8N1]], tcp:HOST:PORT or udp:HOST:PORT");
    t.kind = scheme == "tcp" ? Target::Kind::Tcp : Target::Kind::Udp;
    const auto portColon = rest.rfind(':');
    if (portColon == std::string::npos || portColon == 0) Bad(text, "expected " + scheme + ":HOST:PORT");
    t.host = rest.substr(0, portColon);
    if (t.host.front() == '[') {
        // An IPv6 address: its colons are told from the port's by the brackets.
        if (t.host.size() < 3 || t.host.back() != ']')
            Bad(text, "expected " + scheme + ":[IPv6 address]:PORT");
        t.host = t.host.substr(1, t.host.size() - 2);
    }
    const auto port = Number(rest.substr(portColon + 1));
    if (!port || *port < 1 || *port > 65535) Bad(text, "the port is a number from 1 to 65535");
    t.port = static_cast<int>(*port);
    return t;
}

std::string HostPort(const std::string& host, int port) {
    // An IPv6 address is bracketed so that its colons are not taken for the port's.
    std::string text = host.find(':') != std::string::npos ? std::string("[").append(host).append("]") : host;
    return text.append(":").append(std::to_string(port));
}

std::string ScaleKey(const std::string& targetText) {
    Target t;
    try {
        t = ParseTarget(targetText);
    } catch (const TargetError&) {
        return targetText;
    }
    if (t.kind == Target::Kind::Serial) return "serial:" + platform::SerialDevicePath(t.device);
    std::string host = t.host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::string(t.kind == Target::Kind::Tcp ? "tcp:" : "udp:").append(HostPort(host, t.port));
}

namespace {

std::string PreferredAddress(const QList<QHostAddress>& addresses) {
    // IPv4 first, as the links always took it; an IPv4-mapped IPv6 address is IPv4.
    std::string v6;
    for (const QHostAddress& a : addresses) {
        bool v4 = false;
        const quint32 ip = a.toIPv4Address(&v4);
        if (v4) return QHostAddress(ip).toString().toStdString();
        if (v6.empty() && a.protocol() == QAbstractSocket::IPv6Protocol) v6 = a.toString().toStdString();
    }
    return v6;
}

} // namespace

std::optional<std::string> LiteralAddress(const std::string& host) {
    QHostAddress a;
    if (!a.setAddress(QString::fromStdString(host))) return std::nullopt;
    return PreferredAddress({a});
}

void LookUpHosts(std::vector<Target>& targets) {
    QEventLoop loop;
    QObject context;
    int pending = 0;
    std::map<std::string, std::vector<Target*>> byName;
    for (Target& t : targets) {
        if (t.kind == Target::Kind::Serial) continue;
        t.address = LiteralAddress(t.host);
        if (!t.address) byName[t.host].push_back(&t);
    }
    for (auto& [name, named] : byName) {
        ++pending;
        QHostInfo::lookupHost(QString::fromStdString(name), &context,
                              [&, &named = named](const QHostInfo& info) {
                                  const std::string found = PreferredAddress(info.addresses());
                                  for (Target* t : named)
                                      t->address = found;
                                  if (--pending == 0) loop.quit();
                              });
    }
    if (pending > 0) loop.exec();
}

std::optional<std::string> SameScaleKey(const Target& t) {
    if (t.kind == Target::Kind::Serial) {
        const std::string path = platform::SerialDevicePath(t.device);
        std::error_code ec;
        const auto real = std::filesystem::canonical(path, ec);
        return "serial " + (ec ? path : real.string());
    }
    const std::optional<std::string> address = t.address ? t.address : LiteralAddress(t.host);
    if (!address || address->empty()) return std::nullopt;
    return (t.kind == Target::Kind::Tcp ? "tcp " : "udp ") + HostPort(*address, t.port);
}

void RefuseDuplicates(const std::vector<Target>& targets) {
    std::map<std::string, const Target*> seen;
    for (const Target& t : targets) {
        const std::optional<std::string> key = SameScaleKey(t);
        if (!key) continue;
        const auto [it, added] = seen.emplace(*key, &t);
        if (!added)
            throw TargetError(it->second->text + " and " + t.text + " are the same scale (" +
                              key->substr(key->find(' ') + 1) + "); name it once");
    }
}

} // namespace scales
