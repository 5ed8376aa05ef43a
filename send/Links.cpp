#include "Links.h"

#include "links/serial/CPort.h"
#include "platform/Paths.h"
#include "platform/TcpClient.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace sendcmd {

std::string Frame(Target::Kind kind, const std::string& command) {
    if (kind == Target::Kind::Udp) return command + std::string(1, '\0');
    return command + "\r\n";
}

std::string UdpStart() {
    return std::string(1, '\0');
}

std::string SerialOpenAdvice(const std::string& device, int code, const std::string& message) {
    switch (code) {
    case EACCES:
    case EPERM:
        return "permission denied on " + device +
               ": add the user to the dialout group (sudo usermod -aG dialout $USER) and log in again";
    case EBUSY:
        return device + " is busy: another program holds it (fuser " + device + " shows which)";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no serial port " + device + " (is the adapter plugged in? ls /dev/serial/by-id/ lists them)";
    default:
        return "cannot open " + device + ": " + (code > 0 ? std::strerror(code) : message);
    }
}

std::string SerialSettingsAdvice(const std::string& device, const std::string& settings) {
    return device + " does not take " + settings +
           " (check the rate and frame against the scale's, and what the adapter supports)";
}

std::string TcpAdvice(int code, const std::string& host, int port) {
    const std::string where = HostPort(host, port);
    switch (code) {
    case ECONNREFUSED:
        return "connection refused by " + where + " (is the scale on, and is " + std::to_string(port) +
               " its port?)";
    case ENETUNREACH:
    case EHOSTUNREACH:
        return host + " is unreachable (check the address, the cable and the network)";
    case ETIMEDOUT:
        return "no answer from " + where + " (timed out: check the address)";
    case 0:
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
    return "no answer from " + HostPort(host, port) + " within " + waited + " s (check the address)";
}

std::string UdpBindAdvice(int code) {
    if (code == EACCES || code == EPERM)
        return "cannot listen on local UDP port 1001, where the scales answer: a port below 1024 needs root "
               "or "
               "the cap_net_bind_service capability; grant it once with: sudo setcap "
               "cap_net_bind_service=+ep " +
               platform::ExeDir() + "scaledb-send";
    if (code == EADDRINUSE)
        return "local UDP port 1001, where the scales answer, is in use by another program (the window, or "
               "another scaledb-send?)";
    return std::string("cannot listen on local UDP port 1001: ") + std::strerror(code);
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

std::string AddressOf(const Target& target) {
    if (target.address) return *target.address;
    return LiteralAddress(target.host).value_or("");
}

namespace {

// How long one write to a serial port may wait before that target fails.
constexpr int kWriteMs = 250;

// EComPort's code when the line settings were not set; with EINVAL the driver refused them.
constexpr int kSetCommStateFailed = 7;

// "9600 bit/s, 8N1"
std::string LineSettings(const TComPort& port) {
    const std::string rate =
        port.BaudRate() == brCustom ? std::to_string(port.CustomBaudRate()) : BaudRateToText(port.BaudRate());
    const TStopBits stop = port.StopBits();
    return rate + " bit/s, " + std::to_string(static_cast<int>(port.DataBits()) + 5) +
           std::string("NOEMS").at(static_cast<std::size_t>(port.Parity().Bits())) +
           (stop == sbOneStopBit     ? "1"
            : stop == sbOne5StopBits ? "1.5"
                                     : "2");
}

class SerialLink : public TargetLink {
public:
    SerialLink(const Target& target, const LinkSettings& settings) : target_(target), settings_(settings) {}
    ~SerialLink() override { Close(); }

    void Open() override {
        // The window's line settings first, then what the target itself says.
        port_.SetSavedGroups(TSavedGroups{sgBasic});
        try {
            port_.RestoreSettings(ssIniFile, settings_.settingsDir + "ComPortTest.ini");
        } catch (...) {
        }
        port_.SetPort(target_.device);
        // A command's few bytes are queued by the kernel at once; a write that waits is a scale
        // holding its output (CTS or XOFF), and waiting would stall every target on this thread.
        TComTimeouts timeouts = port_.Timeouts();
        timeouts.SetWriteTotalMultiplier(0);
        timeouts.SetWriteTotalConstant(kWriteMs);
        port_.SetTimeouts(timeouts);
        if (target_.rate) {
            const std::string text = std::to_string(*target_.rate);
            const TBaudRate rate = TextToBaudRate(text);
            if (BaudRateToText(rate) == text) {
                port_.SetBaudRate(rate);
            } else {
                port_.SetBaudRate(brCustom);
                port_.SetCustomBaudRate(*target_.rate);
            }
        }
        if (target_.frame) {
            port_.SetDataBits(static_cast<TDataBits>(target_.frame->dataBits - 5));
            TComParity parity = port_.Parity();
            // N, O, E, M, S in the order of TParityBits.
            parity.SetBits(static_cast<TParityBits>(std::string("NOEMS").find(target_.frame->parity)));
            port_.SetParity(parity);
            port_.SetStopBits(target_.frame->stopTenths == 10   ? sbOneStopBit
                              : target_.frame->stopTenths == 15 ? sbOne5StopBits
                                                                : sbTwoStopBits);
        }
        port_.OnRxChar = [this](TCustomComPort*, int count) {
            std::string text;
            try {
                port_.ReadText(text, count);
            } catch (...) {
                return;
            }
            if (!text.empty() && OnReceive) OnReceive(text);
        };
        try {
            port_.Open();
        } catch (const EComPort& e) {
            if (OnFailed)
                OnFailed(e.MessageCode() == kSetCommStateFailed && e.SystemCode() == EINVAL
                             ? SerialSettingsAdvice(target_.device, LineSettings(port_))
                             : SerialOpenAdvice(target_.device, e.SystemCode(), e.what()));
            return;
        }
        if (OnOpen) OnOpen();
    }

    void Send(const std::string& command) override {
        const std::string bytes = Frame(Target::Kind::Serial, command);
        if (OnWire) OnWire(bytes);
        try {
            if (port_.WriteText(bytes) < static_cast<int>(bytes.size()) && OnFailed)
                OnFailed("writing to " + target_.device + " timed out: the scale holds its output (check " +
                         "the flow control in ComPortTest.ini against the scale's)");
        } catch (const EComPort& e) {
            const int code = e.SystemCode();
            if (OnFailed)
                OnFailed("writing to " + target_.device +
                         " failed: " + (code > 0 ? std::strerror(code) : e.what()) +
                         " (was the device unplugged or closed?)");
        }
    }

    void Close() override {
        port_.OnRxChar = nullptr;
        try {
            port_.Close();
        } catch (...) {
        }
    }

private:
    Target target_;
    LinkSettings settings_;
    TComPort port_;
};

class TcpLink : public TargetLink {
public:
    TcpLink(const Target& target, const LinkSettings& settings) : target_(target), settings_(settings) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            Fail(ConnectTimeoutAdvice(target_.host, target_.port, settings_.connectSeconds));
        });
    }
    ~TcpLink() override { Close(); }

    void Open() override {
        // Counted from when the loop has caught up: opening thousands of links takes a while of its
        // own, and a zero timer runs only after the results that are in by then were read.
        auto* arm = new QTimer(&context_);
        arm->setSingleShot(true);
        QObject::connect(arm, &QTimer::timeout, [this, arm] {
            arm->deleteLater();
            if (!open_ && !failed_ && !closed_) timer_.start(ConnectMilliseconds(settings_.connectSeconds));
        });
        arm->start(0);
        const std::string address = AddressOf(target_);
        if (address.empty())
            Fail(NameNotFoundAdvice(target_.host));
        else
            Connect(address);
    }

    void Send(const std::string& command) override {
        if (!open_) return;
        const std::string bytes = Frame(Target::Kind::Tcp, command);
        if (OnWire) OnWire(bytes);
        try {
            client_.SendText(bytes);
        } catch (...) {
            // OnError and OnDisconnect have told it.
        }
    }

    void Close() override {
        closed_ = true;
        timer_.stop();
        client_.OnConnect = nullptr;
        client_.OnDisconnect = nullptr;
        client_.OnRead = nullptr;
        client_.OnError = [](int& code) { code = 0; };
        try {
            client_.Deactivate();
        } catch (...) {
        }
        open_ = false;
    }

private:
    void Connect(const std::string& ip) {
        client_.SetHost(ip);
        client_.SetPort(target_.port);
        client_.OnConnect = [this] {
            timer_.stop();
            open_ = true;
            if (OnOpen) OnOpen();
        };
        client_.OnError = [this](int& code) {
            lastError_ = code;
            code = 0;
        };
        client_.OnDisconnect = [this] {
            const bool wasOpen = open_;
            open_ = false;
            Fail(wasOpen ? "the scale closed the connection"
                         : TcpAdvice(lastError_, target_.host, target_.port));
        };
        client_.OnRead = [this] {
            const std::string text = client_.ReceiveText();
            if (!text.empty() && OnReceive) OnReceive(text);
        };
        try {
            client_.Activate();
        } catch (const platform::ESocketError& e) {
            Fail(TcpAdvice(e.Code, target_.host, target_.port));
        }
    }

    void Fail(const std::string& why) {
        timer_.stop();
        if (closed_ || failed_) return;
        failed_ = true;
        if (OnFailed) OnFailed(why);
    }

    Target target_;
    LinkSettings settings_;
    platform::TcpClient client_;
    QTimer timer_;
    QObject context_;
    int lastError_ = 0;
    bool open_ = false;
    bool closed_ = false;
    bool failed_ = false;
};

} // namespace

std::unique_ptr<TargetLink> MakeSerialLink(const Target& target, const LinkSettings& settings) {
    return std::make_unique<SerialLink>(target, settings);
}

std::unique_ptr<TargetLink> MakeTcpLink(const Target& target, const LinkSettings& settings) {
    return std::make_unique<TcpLink>(target, settings);
}

} // namespace sendcmd
