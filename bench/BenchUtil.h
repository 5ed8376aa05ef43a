#pragma once
// Small helpers shared by the timed benchmark programs.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline long PeakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

inline long CurrentRssKb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4;
}

inline void Print(const std::string& name, double value, const char* unit) {
    std::printf("%s: %.3f %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

// Runs start() (the "Send database" click), then processes events until the
// transfer's outcome box appears, which it closes. Returns the milliseconds
// taken, or a negative value when no box came within `limitMs`.
inline double TimeUntilOutcomeBox(const std::function<void()>& start, double limitMs = 120000) {
    bool finished = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            finished = true;
            box->accept();
        }
    });
    poll.start(5);
    const auto t0 = Clock::now();
    start();
    while (!finished && MsSince(t0) < limitMs)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return finished ? MsSince(t0) : -1.0;
}

} // namespace bench
