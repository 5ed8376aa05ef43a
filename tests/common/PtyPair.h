#pragma once
// A scale's end of a serial line that the test plays itself: the master side of a
// raw pty, read without blocking; the program under test opens `device`.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

struct PtyPair {
    int master = -1, slave = -1;
    std::string device;
    PtyPair() {
        char name[256];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        device = name;
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~PtyPair() {
        if (slave >= 0) ::close(slave);
        if (master >= 0) ::close(master);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    void Say(const std::string& s) {
        ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // What the program wrote since the last call.
    std::string Heard() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    // Bytes the program's port has received and not read yet.
    int Unread() const {
        int n = 0;
        ::ioctl(slave, TIOCINQ, &n);
        return n;
    }
};
