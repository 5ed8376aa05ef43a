#include "ExactWake.h"

#include <QSocketNotifier>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

ExactWake::ExactWake(QObject* parent) : QObject(parent) {
    FFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (FFd < 0) return; // without it the timers are merely a little late
    FNotifier = new QSocketNotifier(FFd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const auto n = ::read(FFd, &expirations, sizeof expirations);
    });
}

ExactWake::~ExactWake() {
    delete FNotifier;
    if (FFd >= 0) ::close(FFd);
}

void ExactWake::WakeAfter(std::chrono::nanoseconds after) {
    if (FFd < 0) return;
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(after.count() / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(after.count() % 1000000000);
    if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
    ::timerfd_settime(FFd, 0, &due, nullptr);
}

} // namespace platform
