#include "Link.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace scalesim {

namespace {

// The scale's end of a pseudo-terminal: the program under test opens the slave,
// the simulator reads and writes the master.
class SerialLink : public Link {
public:
    SerialLink(const Options& options, Scale& scale) : Link(options, scale) {
        master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_) ThrowErrno("posix_openpt");
        if (::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) ThrowErrno("grantpt/unlockpt");
        char name[256];
        if (::ptsname_r(master_.Get(), name, sizeof name) != 0) ThrowErrno("ptsname");
        slavePath_ = name;

        // Our own slave descriptor stays open for the whole run: without it the master
        // reads EIO whenever the program closes its side between connects. It is a plain
        // open, no lock, so the program's exclusive open still succeeds.
        slave_.Reset(Retry([&] { return ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }));
        if (!slave_) ThrowErrno("open " + slavePath_);
        termios tio{};
        if (::tcgetattr(slave_.Get(), &tio) != 0) ThrowErrno("tcgetattr");
        ::cfmakeraw(&tio);
        if (::tcsetattr(slave_.Get(), TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
        SetNonBlocking(master_.Get());

        if (!options.symlinkPath.empty()) {
            ::unlink(options.symlinkPath.c_str());
            if (::symlink(slavePath_.c_str(), options.symlinkPath.c_str()) != 0)
                ThrowErrno("symlink " + options.symlinkPath);
            linked_ = true;
        }
    }

    ~SerialLink() override {
        if (linked_) ::unlink(options_.symlinkPath.c_str());
    }

    std::string PortText() const override { return slavePath_; }

protected:
    void AddPollFds(std::vector<pollfd>& fds) override {
        if (!master_) return; // hung up
        fds.push_back({master_.Get(), static_cast<short>(POLLIN | (WriteBlocked() ? POLLOUT : 0)), 0});
    }

    void HandlePoll(const pollfd* fds, std::size_t count) override {
        if (count == 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buf[4096];
        ssize_t n = ::read(master_.Get(), buf, sizeof buf);
        if (n > 0)
            ConsumeStream(line_, std::string_view(buf, static_cast<std::size_t>(n)), 0);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            ThrowErrno("read pty master");
    }

    WriteResult Write(Chunk& chunk) override {
        if (!master_) return WriteResult::Done; // nobody to write to any more
        ssize_t n = ::write(master_.Get(), chunk.bytes.data(), chunk.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return WriteResult::Blocked;
            ThrowErrno("write pty master");
        }
        chunk.bytes.erase(0, static_cast<std::size_t>(n));
        return chunk.bytes.empty() ? WriteResult::Done : WriteResult::Partial;
    }

    // The device goes away for good: the program's side reads end of file or EIO.
    void Drop(Decision::Drop) override {
        line_.clear();
        master_.Reset();
        Closed();
        slave_.Reset();
        if (linked_) ::unlink(options_.symlinkPath.c_str());
        linked_ = false;
    }

    void Drain() override {
        if (!slave_) return;
        // Closing the master hangs the slave up and throws away what the program has not
        // read yet; give it a moment to take the last reply.
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        int quiet = 0;
        while (Clock::now() < deadline && quiet < 20) {
            int waiting = 0;
            if (::ioctl(slave_.Get(), FIONREAD, &waiting) != 0) return;
            quiet = waiting == 0 ? quiet + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool PeerHasRead() const override {
        int waiting = 0;
        return !slave_ || ::ioctl(slave_.Get(), FIONREAD, &waiting) != 0 || waiting == 0;
    }

private:
    Fd master_;
    Fd slave_;
    std::string slavePath_;
    std::string line_;
    bool linked_ = false;
};

} // namespace

std::unique_ptr<Link> MakeSerialLink(const Options& options, Scale& scale) {
    return std::make_unique<SerialLink>(options, scale);
}

} // namespace scalesim
