#pragma once
// Helpers shared by the Ethernet link tests: a window handle that records the
// posted link states, bounded waits that keep the event loop running, and a
// plain UDP peer on 127.0.0.1.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <arpa/inet.h>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "links/ethernet/EthConnection.h"
#include "platform/WinMsg.h"

namespace ethtest {

// Where the links under test are pointed, as the window's settings would: the
// host and port UDP commands go to at the moment of sending.
inline std::string Host;
inline std::int32_t Port = 0;
// Where WindowLikeListener posts the states, as the window posts to its handle.
inline platform::HWND StatesHandle = 0;
// The message the window's link states travel in.
constexpr platform::UINT kStateMessage = platform::WM_USER + 1;

// Runs the event loop until `done` holds or `ms` have passed; returns `done()`.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Lets queued events run for a short while (used before asserting that
// nothing more arrives).
inline void Drain(int ms = 100) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Stands in for the main window: collects every state message's wParam.
class StateRecorder {
public:
    StateRecorder() {
        FHandle = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
            if (msg == kStateMessage) {
                Raw.push_back(w);
                States.push_back(static_cast<int>(w & 0xFF));
                LParams.push_back(l);
            }
            return platform::LRESULT{0};
        });
        StatesHandle = FHandle;
    }
    ~StateRecorder() {
        StatesHandle = 0;
        platform::DeallocateHWnd(FHandle);
    }
    StateRecorder(const StateRecorder&) = delete;
    StateRecorder& operator=(const StateRecorder&) = delete;

    bool WaitForCount(std::size_t n, int ms = 5000) {
        return WaitUntil([&] { return States.size() >= n; }, ms);
    }

    std::vector<int> States;
    std::vector<platform::WPARAM> Raw;
    std::vector<platform::LPARAM> LParams;

private:
    platform::HWND FHandle;
};

// Every piece of text the links under test received, in order.
inline std::string& ReplyBuffer() {
    static std::string received;
    return received;
}

inline void ClearReplies() {
    ReplyBuffer().clear();
}

// Listens as the window does: states posted to StatesHandle as
// kStateMessage (sign-extended), received text to the collector.
class WindowLikeListener : public TLinkListener {
public:
    void LinkReceived(const std::string& text) override { ReplyBuffer() += text; }
    void LinkStateChanged(std::uint8_t state) override {
        const auto wParam =
            static_cast<platform::WPARAM>(static_cast<std::intptr_t>(static_cast<std::int8_t>(state)));
        platform::PostMessage(StatesHandle, kStateMessage, wParam, 0);
    }
};

// Wires a link as the window does; UDP commands go to Host:Port as they are at
// the moment of sending.
inline void Wire(CEthConnection& link) {
    static WindowLikeListener listener;
    link.SetListener(&listener);
    link.UdpTarget = [] { return TUdpTarget{Host, Port}; };
}

// Sends a bare command through the link of `protocol`, as the window's SendOrder does.
inline void Send(CEthConnection& link, std::uint8_t protocol, const std::string& command) {
    if (TLink* l = link.Link(protocol)) l->Send(command);
}

// A datagram socket bound to 127.0.0.1 on `port` (0: any free port).
class UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0) {
        FFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        Bound = bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~UdpPeer() { close(FFd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    struct Datagram {
        std::string Bytes;
        std::uint16_t FromPort = 0;
    };

    // The next datagram, or none within `ms`.
    std::optional<Datagram> Receive(int ms = 3000) {
        pollfd p{FFd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return std::nullopt;
        char buf[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(FFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        return Datagram{std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port)};
    }

    bool SendTo(std::uint16_t port, const std::string& bytes) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return sendto(FFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }

    bool Bound = false;
    std::uint16_t Port = 0;

private:
    int FFd = -1;
};

// True when nothing holds UDP port `port` on any local address.
inline bool UdpPortFree(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

} // namespace ethtest
