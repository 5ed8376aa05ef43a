#include "UdpEndpoint.h"

#include "ThreadGuard.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// The listener looks at its stop request at least this often.
constexpr int kListenWaitMs = 1000;
// Largest payload of one IPv4 UDP datagram.
constexpr std::size_t kMaxDatagram = 65507;

ESocketError ErrnoError(const std::string& what, int code) {
    return ESocketError(what + ": " + std::strerror(code), code);
}

} // namespace

UdpEndpoint::~UdpEndpoint() {
    Deactivate();
}

UdpBinding& UdpEndpoint::AddBinding() {
    UdpBinding binding;
    binding.Port = FDefaultPort;
    FBindings.push_back(binding);
    return FBindings.back();
}

bool UdpEndpoint::ParseAddress(const std::string& ip, std::uint32_t& address) {
    std::uint32_t result = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= ip.size() || ip[i] != '.') return false;
            ++i;
        }
        const std::size_t start = i;
        unsigned value = 0;
        while (i < ip.size() && ip[i] >= '0' && ip[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(ip[i] - '0');
            if (value > 255) return false;
            ++i;
        }
        if (i == start) return false;
        result = (result << 8) | value;
    }
    if (i != ip.size()) return false;
    address = htonl(result);
    return true;
}

std::uint16_t UdpEndpoint::BoundPort(std::size_t binding) const {
    if (binding >= FSockets.size()) return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(FSockets[binding], reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

void UdpEndpoint::Activate() {
    if (Active()) return;
    try {
        for (const UdpBinding& binding : FBindings) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(binding.Port);
            if (!ParseAddress(binding.Ip, local.sin_addr.s_addr))
                throw ESocketError("Invalid local address " + binding.Ip, EINVAL);
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) throw ErrnoError("socket", errno);
            FSockets.push_back(fd);
            if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
                throw ErrnoError("bind to port " + std::to_string(binding.Port), errno);
        }
        if (FSockets.empty()) throw ESocketError("No local binding", EDESTADDRREQ);
        FStopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FStopEvent < 0) throw ErrnoError("eventfd", errno);
        FListener = std::thread([this] { RunGuarded([this] { Listen(); }); });
    } catch (...) {
        CloseAll();
        throw;
    }
}

void UdpEndpoint::Deactivate() {
    if (FListener.joinable()) {
        const std::uint64_t one = 1;
        while (write(FStopEvent, &one, sizeof one) < 0 && errno == EINTR) {
        }
        FListener.join();
    }
    CloseAll();
}

void UdpEndpoint::CloseAll() {
    for (int fd : FSockets)
        close(fd);
    FSockets.clear();
    if (FStopEvent >= 0) close(FStopEvent);
    FStopEvent = -1;
}

void UdpEndpoint::SendTo(const std::string& ip, std::int32_t port, const std::string& bytes) {
    if (!Active()) throw ESocketError("The endpoint is not active", ENOTCONN);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (!ParseAddress(ip, peer.sin_addr.s_addr)) throw ESocketError("Invalid address " + ip, EINVAL);
    if (bytes.size() > kMaxDatagram) throw ESocketError("Datagram too long", EMSGSIZE);
    ssize_t sent;
    do {
        sent = sendto(FSockets.front(), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) throw ErrnoError("sendto", errno);
    if (static_cast<std::size_t>(sent) != bytes.size()) throw ESocketError("Short datagram send", EIO);
}

void UdpEndpoint::Listen() {
    std::vector<pollfd> fds;
    fds.push_back({FStopEvent, POLLIN, 0});
    for (int fd : FSockets)
        fds.push_back({fd, POLLIN, 0});
    // One byte more than the buffer shows a datagram that did not fit.
    std::string buffer(FReceiveBufferSize + 1, '\0');
    for (;;) {
        const int ready = poll(fds.data(), fds.size(), kListenWaitMs);
        if (ready < 0) continue; // interrupted: wait again
        if (fds[0].revents & POLLIN) return;
        if (ready <= 0) continue;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLERR))) continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t n = recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) break; // drained, or an error such as a refused earlier send: ignored
                if (static_cast<std::size_t>(n) > FReceiveBufferSize) continue; // too long: lost
                std::string bytes(buffer.data(), static_cast<std::size_t>(n));
                if (OnDatagramFrom) {
                    char ip[INET_ADDRSTRLEN] = "";
                    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
                    OnDatagramFrom(bytes, ip, ntohs(from.sin_port));
                }
                if (OnDatagram) OnDatagram(bytes);
            }
        }
    }
}

} // namespace platform
