#include "Link.h"

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace scalesim {

namespace {

// Binds 127.0.0.1; every datagram is one command, answered to its sender.
class UdpLink : public Link {
public:
    UdpLink(const Options& options, Scale& scale) : Link(options, scale) {
        sock_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!sock_) ThrowErrno("socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(options.port));
        if (::bind(sock_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            ThrowErrno("bind 127.0.0.1:" + std::to_string(options.port));
        socklen_t len = sizeof addr;
        if (::getsockname(sock_.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            ThrowErrno("getsockname");
        port_ = ntohs(addr.sin_port);
    }

    std::string PortText() const override { return std::to_string(port_); }

protected:
    void AddPollFds(std::vector<pollfd>& fds) override {
        fds.push_back({sock_.Get(), static_cast<short>(POLLIN | (WriteBlocked() ? POLLOUT : 0)), 0});
    }

    void HandlePoll(const pollfd* fds, std::size_t) override {
        if (!(fds[0].revents & POLLIN)) return;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            ::recvfrom(sock_.Get(), buffer_, sizeof buffer_, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return; // nothing there after all, or an error report about an earlier send
        if (n == 0) {
            Verbose("empty datagram ignored");
            return;
        }
        if (n == 1) {
            // The link's start signal: the scale does not answer it.
            scale_.OnStartSignal(static_cast<unsigned char>(buffer_[0]));
            return;
        }
        const auto size = static_cast<std::size_t>(n);
        const void* zero = std::memchr(buffer_, 0, size);
        std::string_view command(
            buffer_, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer_) : size);
        if (!zero || command.size() + 1 != size)
            Verbose("datagram is not a command and one zero byte: " +
                    Escape(std::string_view(buffer_, size)));
        if (options_.replyPort != 0) from.sin_port = htons(static_cast<std::uint16_t>(options_.replyPort));
        Command(command, std::string(command) + "\r\n", 0, from);
    }

    WriteResult Write(Chunk& chunk) override {
        ssize_t n = ::sendto(sock_.Get(), chunk.bytes.data(), chunk.bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&chunk.to), sizeof chunk.to);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return WriteResult::Blocked;
        if (n < 0) Verbose("send failed: " + std::string(std::strerror(errno)));
        return WriteResult::Done;
    }

private:
    Fd sock_;
    int port_ = 0;
    char buffer_[65536];
};

} // namespace

std::unique_ptr<Link> MakeUdpLink(const Options& options, Scale& scale) {
    return std::make_unique<UdpLink>(options, scale);
}

} // namespace scalesim
