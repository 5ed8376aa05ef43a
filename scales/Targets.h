#pragma once
// A scale's link written as a target: "serial:DEVICE[@RATE[,8N1]]",
// "tcp:HOST:PORT" or "udp:HOST:PORT", and the one key a scale is known by.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace scales {

// A target text that names no link, or two targets that name one scale.
class TargetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SerialFrame {
    int dataBits = 8;    // 5 to 8
    char parity = 'N';   // N, O, E, M, S
    int stopTenths = 10; // 10, 15, 20
};

// The pause from a scale's acknowledgement to the next command: the window's 100 ms
// unless a scale is told otherwise; 0 sends as soon as the acknowledgement is in.
constexpr int kDefaultPaceMs = 100;
constexpr int kMaxPaceMs = 60000;

struct Target {
    enum class Kind { Serial, Tcp, Udp };
    Kind kind = Kind::Tcp;
    std::string text;        // as the user wrote it; names the target in every message
    std::string name;        // the scale's name from a scale list; empty from the command line
    std::optional<int> pace; // ms; from a scale list or --pace; none: the sender's default

    // Serial: what is not given comes from ComPortTest.ini, as the window reads it.
    std::string device;
    std::optional<int> rate;
    std::optional<SerialFrame> frame;

    // TCP and UDP. `host` as written, an IPv6 address without its brackets.
    std::string host;
    int port = 0;
    // Once looked up: the host's address (IPv4 where it has one), "" when it has none.
    std::optional<std::string> address;
};

// "serial:DEVICE[@RATE[,8N1]]", "tcp:HOST:PORT" or "udp:HOST:PORT" (HOST may be an IPv6
// address in brackets). Throws TargetError.
Target ParseTarget(const std::string& text);

// `host` and `port` as messages name them: "[::1]:4001" for an IPv6 address.
std::string HostPort(const std::string& host, int port);

// The one name of a scale in the history, however a list, the command line or the window
// spell its link: "serial:DEVICE" (COMn as its device path; rate and frame do not name a
// scale), "tcp:host:port" or "udp:host:port" (host in lower case, port without leading
// zeros). A text that is not a target is its own key.
std::string ScaleKey(const std::string& targetText);

// The address `host` is when it is one (an IPv4-mapped IPv6 address as IPv4); none for a name.
std::optional<std::string> LiteralAddress(const std::string& host);

// Looks the host of every TCP and UDP target up, all at once, and sets its `address`.
void LookUpHosts(std::vector<Target>& targets);

// What makes two targets one scale: "tcp 127.0.0.1:4001" (the protocol, the host's address
// once looked up or a literal one, the port), "serial /dev/ttyUSB0" (the device after
// symbolic links). None while a host's address is not known.
std::optional<std::string> SameScaleKey(const Target& target);

// Throws TargetError when two targets are one scale: the same protocol, address and port
// (the host's address once looked up, else a literal one), or the same serial device
// after following symbolic links. Two transfers to one scale would mix their commands.
void RefuseDuplicates(const std::vector<Target>& targets);

} // namespace scales
