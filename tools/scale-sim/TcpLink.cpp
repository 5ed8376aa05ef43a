#include "Link.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace scalesim {

namespace {

// Listens on 127.0.0.1 and serves one connection at a time; the next waits in the backlog.
class TcpLink : public Link {
public:
    TcpLink(const Options& options, Scale& scale) : Link(options, scale) {
        listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!listen_) ThrowErrno("socket");
        int one = 1;
        ::setsockopt(listen_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(options.port));
        if (::bind(listen_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            ThrowErrno("bind 127.0.0.1:" + std::to_string(options.port));
        if (::listen(listen_.Get(), 8) != 0) ThrowErrno("listen");
        socklen_t len = sizeof addr;
        if (::getsockname(listen_.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            ThrowErrno("getsockname");
        port_ = ntohs(addr.sin_port);
    }

    std::string PortText() const override { return std::to_string(port_); }

protected:
    void AddPollFds(std::vector<pollfd>& fds) override {
        if (conn_)
            fds.push_back(
                {conn_.Get(), static_cast<short>((Held() ? 0 : POLLIN) | (WriteBlocked() ? POLLOUT : 0)), 0});
        else
            fds.push_back({listen_.Get(), POLLIN, 0});
    }

    void HandlePoll(const pollfd* fds, std::size_t) override {
        if (!conn_) {
            if (fds[0].revents & POLLIN) Accept();
            return;
        }
        if (Held() || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buf[4096];
        ssize_t n = ::recv(conn_.Get(), buf, sizeof buf, 0);
        if (n > 0) {
            ConsumeStream(line_, std::string_view(buf, static_cast<std::size_t>(n)), connection_);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            Verbose(n == 0 ? "peer closed the connection" : "connection failed");
            Close();
        }
    }

    WriteResult Write(Chunk& chunk) override {
        if (!conn_ || chunk.target != connection_) return WriteResult::Done; // its connection is gone
        ssize_t n = ::send(conn_.Get(), chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return WriteResult::Blocked;
            Verbose("send failed");
            Close();
            return WriteResult::Done;
        }
        chunk.bytes.erase(0, static_cast<std::size_t>(n));
        return chunk.bytes.empty() ? WriteResult::Done : WriteResult::Partial;
    }

    // The end of --hold: the connection is read from then on.
    Clock::time_point LinkDue() const override { return Held() ? heldUntil_ : Clock::time_point::max(); }

    void Drop(Decision::Drop how) override {
        line_.clear(); // what follows the dropping command is not a leftover of the peer
        if (conn_ && how == Decision::Drop::Reset) {
            // Linger 0 makes close() send RST instead of FIN.
            linger lg{1, 0};
            ::setsockopt(conn_.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        Close();
    }

private:
    void Accept() {
        int fd = ::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return; // the client gave up before we got to it
        conn_.Reset(fd);
        ++connection_;
        heldUntil_ = Clock::now() + std::chrono::milliseconds(options_.holdMs);
        line_.clear();
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Verbose("connection " + std::to_string(connection_) + " accepted");
    }

    void Close() {
        if (!line_.empty()) Verbose("unfinished line discarded: " + Escape(line_));
        conn_.Reset();
        Closed();
        line_.clear();
    }

    // Without --hold there is no need to ask the clock.
    bool Held() const { return options_.holdMs > 0 && conn_ && Clock::now() < heldUntil_; }

    Clock::time_point heldUntil_{};
    Fd listen_;
    Fd conn_;
    std::uint64_t connection_ = 0;
    std::string line_;
    int port_ = 0;
};

} // namespace

std::unique_ptr<Link> MakeTcpLink(const Options& options, Scale& scale) {
    return std::make_unique<TcpLink>(options, scale);
}

} // namespace scalesim
