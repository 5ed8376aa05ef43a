#include "Signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kSignals[3] = {SIGTERM, SIGHUP, SIGINT};
volatile std::sig_atomic_t gWriteFd = -1;
volatile std::sig_atomic_t gReceived = 0;

// Only async-signal-safe calls here: the signal number goes down the pipe.
void OnSignal(int sig) {
    const int saved = errno;
    if (gReceived == 0) gReceived = sig;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] auto n = ::write(gWriteFd, &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
    gWriteFd = FPipe[1];
    gReceived = 0;
    FNotifier = new QSocketNotifier(FPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        ::sigaction(kSignals[i], &sa, &FPrevious[i]);
}

TerminationSignals::~TerminationSignals() {
    for (int i = 0; i < 3; ++i)
        ::sigaction(kSignals[i], &FPrevious[i], nullptr);
    gWriteFd = -1;
    delete FNotifier;
    ::close(FPipe[0]);
    ::close(FPipe[1]);
}

int TerminationSignals::Received() {
    return gReceived;
}

void TerminationSignals::Drain() {
    unsigned char buf[16];
    ssize_t n;
    while ((n = ::read(FPipe[0], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            if (FOnSignal) FOnSignal(buf[i]);
    }
}

} // namespace platform
