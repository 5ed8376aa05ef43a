#pragma once
// One link to one scale, whatever carries it: opened, given bare commands (the
// link adds its framing), closed. What happens on it leaves through a listener.
#include <cstdint>
#include <string>

#include "links/ethernet/LinkState.h"

// Why a link could not be opened, or broke.
enum class TLinkFault {
    DeviceMissing,     // no such serial device
    DeviceDenied,      // the serial device may not be opened by this user
    DeviceBusy,        // another program holds it
    DeviceFailed,      // the serial device failed to open for another reason
    SettingsRefused,   // the driver refused the line settings
    WriteTimedOut,     // the scale holds its output
    WriteFailed,       // writing to the serial device failed
    NameNotFound,      // the host has no address
    ConnectionRefused, // nothing listens on the scale's port
    Unreachable,       // no route to the host
    ConnectTimedOut,   // no answer within the connection budget
    ConnectFailed,     // any other failure of a TCP connection attempt
    Closed,            // the scale closed (or reset) an open TCP connection
    UdpPortBusy,       // another program holds local UDP port 1001
    UdpPortDenied,     // binding local UDP port 1001 needs a privilege
    UdpPortFailed,     // binding local UDP port 1001 failed otherwise
    UdpIPv6,           // UDP scales are reached over IPv4 only
    SendFailed,        // a datagram could not be sent
};

struct TLinkFailure {
    TLinkFault Code;
    std::string Message; // says what happened and what to do about it
};

// Told about a link's events, on the GUI thread. Every method may be left as it is.
class TLinkListener {
public:
    // The link is open: commands may be sent.
    virtual void LinkOpened() {}
    // Text received from the scale, in pieces as they arrive.
    virtual void LinkReceived(const std::string& text) { (void)text; }
    // A state change that an event of the link caused (connected, the far end
    // went away); Open and Close leave the caller to read State() afterwards.
    virtual void LinkStateChanged(std::uint8_t state) { (void)state; }
    // The link could not be opened, or it broke.
    virtual void LinkFailed(const TLinkFailure& failure) { (void)failure; }
    // The exact bytes about to go out (the start signal included), for a log.
    virtual void LinkWrote(const std::string& bytes) { (void)bytes; }

    virtual ~TLinkListener() = default;
};

class TLink {
public:
    virtual ~TLink() = default;
    // Starts opening; LinkOpened or LinkFailed follows, perhaps before Open returns.
    virtual void Open() = 0;
    // Sends one bare command with the link's framing; nothing while it is not open.
    virtual void Send(const std::string& command) = 0;
    // Closes; no failure is reported afterwards.
    virtual void Close() = 0;
    // LinkDisconnected, LinkConnecting, LinkConnected or LinkDisconnecting.
    virtual std::uint8_t State() const = 0;
    // Drops what has arrived and was not read yet; a link that reads everything at once has nothing to drop.
    virtual void DiscardInput() {}

    // The listener outlives the link or is cleared first; none: events are dropped.
    void SetListener(TLinkListener* listener) { FListener = listener; }

protected:
    void Opened() {
        if (FListener) FListener->LinkOpened();
    }
    void Received(const std::string& text) {
        if (FListener && !text.empty()) FListener->LinkReceived(text);
    }
    void StateChanged(std::uint8_t state) {
        if (FListener) FListener->LinkStateChanged(state);
    }
    void Failed(TLinkFault code, const std::string& message) {
        if (FListener) FListener->LinkFailed(TLinkFailure{code, message});
    }
    void Wrote(const std::string& bytes) {
        if (FListener) FListener->LinkWrote(bytes);
    }

private:
    TLinkListener* FListener = nullptr;
};

// A command as it goes out on a serial line or a TCP stream: CR LF after it.
std::string LineFrame(const std::string& command);
// A command as one UDP datagram: its bytes and a zero byte.
std::string DatagramFrame(const std::string& command);
// What a UDP link sends first, so that the scale learns where to answer: one zero byte.
std::string UdpStartSignal();

// "host:port", with an IPv6 address bracketed: "[::1]:4001".
std::string LinkHostPort(const std::string& host, int port);

// The words of each failure: what happened and what to do.
std::string SerialOpenAdvice(const std::string& device, int systemCode, const std::string& message);
TLinkFault SerialOpenFault(int systemCode);
// The driver refused the line settings ("9600 bit/s, 8N1").
std::string SerialSettingsAdvice(const std::string& device, const std::string& settings);
std::string TcpAdvice(int code, const std::string& host, int port);
TLinkFault TcpFault(int code);
std::string UdpBindAdvice(int code);
TLinkFault UdpBindFault(int code);
std::string NameNotFoundAdvice(const std::string& host);
std::string ConnectTimeoutAdvice(const std::string& host, int port, double seconds);
// A UDP scale whose host has only an IPv6 address (`address`).
std::string UdpIPv6Advice(const std::string& host, const std::string& address);

// A connection budget in seconds as a timer takes it, clamped to what the timer holds.
int ConnectMilliseconds(double seconds);
