#pragma once
// One link per target, as the command drives it: opened, fed commands, closed.
// Unlike the window's links, every failure is reported, with what to do about it.
#include "Targets.h"

#include <functional>
#include <memory>
#include <string>

class QObject;

namespace sendcmd {

class TargetLink {
public:
    virtual ~TargetLink() = default;
    // Starts opening; OnOpen or OnFailed follows, perhaps before Open returns.
    virtual void Open() = 0;
    // Sends one bare command with the link's framing.
    virtual void Send(const std::string& command) = 0;
    // Closes; no callback runs afterwards.
    virtual void Close() = 0;

    std::function<void()> OnOpen;
    std::function<void(const std::string& text)> OnReceive;
    // The link could not be opened, or it broke; `why` says what to do.
    std::function<void(const std::string& why)> OnFailed;
    // The exact bytes that went out, for the log.
    std::function<void(const std::string& bytes)> OnWire;
};

// The command's bytes as they go out on a link of this kind.
std::string Frame(Target::Kind kind, const std::string& command);

// What a UDP link sends first, so that the scale learns where to answer: one zero byte.
std::string UdpStart();

struct LinkSettings {
    std::string settingsDir;    // where ComPortTest.ini is
    double connectSeconds = 20; // how long a TCP connection attempt may take
};

std::unique_ptr<TargetLink> MakeSerialLink(const Target& target, const LinkSettings& settings);
std::unique_ptr<TargetLink> MakeTcpLink(const Target& target, const LinkSettings& settings);

// Messages that say what to do.
std::string SerialOpenAdvice(const std::string& device, int systemCode, const std::string& message);
// The driver refused the line settings ("9600 bit/s, 8N1").
std::string SerialSettingsAdvice(const std::string& device, const std::string& settings);
std::string TcpAdvice(int code, const std::string& host, int port);
std::string UdpBindAdvice(int code);
std::string NameNotFoundAdvice(const std::string& host);
std::string ConnectTimeoutAdvice(const std::string& host, int port, double seconds);

// A UDP target whose host has only an IPv6 address (`address`).
std::string UdpIPv6Advice(const std::string& host, const std::string& address);

// The address a link connects to: the host's as looked up before the run, else the host
// itself when it is an address; "" when it has none.
std::string AddressOf(const Target& target);

// A TCP connection attempt's budget as a timer takes it, clamped to what the timer holds.
int ConnectMilliseconds(double seconds);

} // namespace sendcmd
