#include "Signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace sendcmd {

namespace {

std::atomic<int> g_signal{0};
int g_wakeWrite = -1;

void OnSignal(int sig) {
    int expected = 0;
    g_signal.compare_exchange_strong(expected, sig);
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] auto r = ::write(g_wakeWrite, &byte, 1);
    errno = saved;
}

} // namespace

int InstallStopSignals() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    g_wakeWrite = p[1];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    // A scale that closes its end must not kill the whole run.
    std::signal(SIGPIPE, SIG_IGN);
    return p[0];
}

int StopSignal() {
    return g_signal.load();
}

const char* SignalName(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

} // namespace sendcmd
