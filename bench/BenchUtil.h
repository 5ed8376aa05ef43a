#pragma once
// Small helpers shared by the timed benchmark programs.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Milliseconds on the steady clock, comparable across threads.
inline double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// A product table of `rows` lines in a file of its own (the caller removes it).
inline std::filesystem::path WriteProductTable(const std::string& tag, int rows) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("scaledb-bench-" + tag + "-" + std::to_string(::getpid()) + ".csv");
    std::ofstream out(path);
    for (int r = 0; r < rows; ++r)
        out << 1000 + r << ";Product " << r << ";" << r % 50 << ".99\n";
    return path;
}

// Plays the scale on the master side of a pty until `done`: answers every command line at
// once, noting under `m` when each command's LF arrived and when its reply left.
inline std::thread AnswerOnPty(int master, std::mutex& m, std::vector<double>& commandSeen,
                               std::vector<double>& replySent, const std::atomic<bool>& done) {
    return std::thread([master, &m, &commandSeen, &replySent, &done] {
        std::string line;
        char buf[4096];
        while (!done) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    line.push_back(buf[i]);
                    continue;
                }
                const double t = NowMs();
                std::string reply = line.rfind("SbP", 0) == 0  ? "MbP\r\n"
                                    : line.rfind("Sr", 0) == 0 ? "Mr\r\n"
                                                               : "Me\r\n";
                {
                    std::lock_guard l(m);
                    commandSeen.push_back(t);
                    replySent.push_back(NowMs());
                }
                if (::write(master, reply.data(), reply.size()) < 0) return;
                line.clear();
            }
        }
    });
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
