#include "Link.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

std::string LineFrame(const std::string& command) {
    return command + "\r\n";
}

std::string DatagramFrame(const std::string& command) {
    return command + std::string(1, '\0');
}

std::string UdpStartSignal() {
    return std::string(1, '\0');
}

std::string LinkHostPort(const std::string& host, int port) {
    // An IPv6 address is bracketed so that its colons are not taken for the port's.
    std::string text = host.find(':') != std::string::npos ? std::string("[").append(host).append("]") : host;
    return text.append(":").append(std::to_string(port));
}

TLinkFault SerialOpenFault(int code) {
    switch (code) {
    case EACCES:
    case EPERM:
        return TLinkFault::DeviceDenied;
    case EBUSY:
        return TLinkFault::DeviceBusy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return TLinkFault::DeviceMissing;
    default:
        return TLinkFault::DeviceFailed;
    }
}

std::string SerialOpenAdvice(const std::string& device, int code, const std::string& message) {
    switch (SerialOpenFault(code)) {
    case TLinkFault::DeviceDenied:
        return "permission denied on " + device +
               ": add the user to the dialout group (sudo usermod -aG dialout $USER) and log in again";
    case TLinkFault::DeviceBusy:
        return device + " is busy: another program holds it (fuser " + device + " shows which)";
    case TLinkFault::DeviceMissing:
        return "no serial port " + device + " (is the adapter plugged in? ls /dev/serial/by-id/ lists them)";
    default:
        return "cannot open " + device + ": " + (code > 0 ? std::strerror(code) : message);
    }
}

std::string SerialSettingsAdvice(const std::string& device, const std::string& settings) {
    return device + " does not take " + settings +
           " (check the rate and frame against the scale's, and what the adapter supports)";
}

TLinkFault TcpFault(int code) {
    switch (code) {
    case ECONNREFUSED:
        return TLinkFault::ConnectionRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
        return TLinkFault::Unreachable;
    case ETIMEDOUT:
        return TLinkFault::ConnectTimedOut;
    case 0:
        return TLinkFault::Closed;
    default:
        return TLinkFault::ConnectFailed;
    }
}

std::string TcpAdvice(int code, const std::string& host, int port) {
    const std::string where = LinkHostPort(host, port);
    switch (TcpFault(code)) {
    case TLinkFault::ConnectionRefused:
        return "connection refused by " + where + " (is the scale on, and is " + std::to_string(port) +
               " its port?)";
    case TLinkFault::Unreachable:
        return host + " is unreachable (check the address, the cable and the network)";
    case TLinkFault::ConnectTimedOut:
        return "no answer from " + where + " (timed out: check the address)";
    case TLinkFault::Closed:
        return "the connection to " + where + " ended";
    default:
        return "cannot connect to " + where + ": " + std::strerror(code);
    }
}

int ConnectMilliseconds(double seconds) {
    // --timeout × (--retries + 1) may be far more than a timer holds (24 days).
    constexpr double kMax = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(seconds * 1000, 0.0, kMax));
}

std::string ConnectTimeoutAdvice(const std::string& host, int port, double seconds) {
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.10g", ConnectMilliseconds(seconds) / 1000.0);
    return "no answer from " + LinkHostPort(host, port) + " within " + waited + " s (check the address)";
}

TLinkFault UdpBindFault(int code) {
    if (code == EACCES || code == EPERM) return TLinkFault::UdpPortDenied;
    if (code == EADDRINUSE) return TLinkFault::UdpPortBusy;
    return TLinkFault::UdpPortFailed;
}

std::string UdpBindAdvice(int code) {
    switch (UdpBindFault(code)) {
    case TLinkFault::UdpPortDenied:
        // The program that tries to listen needs it: the window (its board) or the command.
        return "cannot listen on local UDP port 1001, where the scales answer: a port below 1024 needs root "
               "or the cap_net_bind_service capability; grant it once with: sudo setcap "
               "cap_net_bind_service=+ep " +
               (platform::ExePath().empty() ? platform::ExeDir() + "scaledb-send" : platform::ExePath());
    case TLinkFault::UdpPortBusy:
        return "local UDP port 1001, where the scales answer, is in use by another program (the window, or "
               "another scaledb-send?)";
    default:
        return std::string("cannot listen on local UDP port 1001: ") + std::strerror(code);
    }
}

std::string NameNotFoundAdvice(const std::string& host) {
    return "name not found: " + host + " (check the name, or give the scale's address)";
}

std::string UdpIPv6Advice(const std::string& host, const std::string& address) {
    return (host == address ? address + " is an IPv6 address"
                            : host + " has only the IPv6 address " + address) +
           ", and UDP scales are reached over IPv4, where they answer on local port 1001 (give the scale's "
           "IPv4 address)";
}
