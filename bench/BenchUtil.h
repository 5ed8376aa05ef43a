#pragma once
// Small helpers shared by the timed benchmark programs.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// A program run to its end: its exit status, wall time, and from wait4 its CPU time (all
// its threads, user and system) and peak memory, so no other process's share is counted.
struct ProgramRun {
    int status = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKb = 0;
};

// Runs `program` with `args`, standard output to /dev/null.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ProgramRun r;
    const auto t0 = Clock::now();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    r.wallSeconds = MsSince(t0) / 1000.0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    r.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    r.peakRssKb = usage.ru_maxrss;
    return r;
}

// CPU seconds (user and system) another running process has used so far; 0 when unknown.
inline double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = close + 2; i <= stat.size(); ++i) {
        if (i == stat.size() || stat[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += stat[i];
        }
    }
    // After the name: state is field 3, utime 14 and stime 15 of the whole line.
    if (fields.size() < 13) return 0;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

// CPU seconds of the calling thread so far.
inline double ThreadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(u.ru_utime) + seconds(u.ru_stime);
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
