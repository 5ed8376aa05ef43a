// Serial port timings over a pseudo-terminal:
//   serial_rx_latency_p50_us / _p99_us: byte written on the far side -> OnRxChar
//                                        handler on the GUI thread
//   serial_idle_cpu_percent:             process CPU while the port is open and idle
//   serial_close_received_N / _written_N: WriteText of N bytes, Close at once; what the
//                                        far end (reading all the while) got of it
//   serial_txempty_delay_*_us:           a handler's reply written -> OnTxEmpty
//   serial_storm_write_max_ms:           longest write with a 200 ms budget while
//                                        SIGUSR1 lands every 0.5 ms
#include "links/serial/CPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct PtyPair {
    PtyPair() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~PtyPair() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    int master = -1, slave = -1;
    std::string path;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void CloseTail() {
    for (int size : {4, 1000, 10000, 16000}) {
        PtyPair pty;
        TComPort port;
        port.SetPort(pty.path);
        port.Open();
        std::atomic<bool> closed{false};
        std::size_t received = 0;
        std::thread far([&] { // reads until the line has been quiet for 500 ms after Close
            auto quietSince = Clock::now();
            for (;;) {
                pollfd p{pty.master, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    char buf[4096];
                    const ssize_t r = ::read(pty.master, buf, sizeof buf);
                    if (r > 0) received += static_cast<std::size_t>(r);
                    quietSince = Clock::now();
                } else if (closed && Clock::now() - quietSince > std::chrono::milliseconds(500)) {
                    break;
                }
            }
        });
        const int written = port.WriteText(std::string(static_cast<std::size_t>(size), 'c'));
        port.Close();
        closed = true;
        far.join();
        std::printf("serial_close_written_%d: %d bytes\n", size, written);
        std::printf("serial_close_received_%d: %zu bytes\n", size, received);
    }
}

void TxEmptyDelay() {
    PtyPair pty;
    TComPort port;
    port.SetPort(pty.path);
    Clock::time_point replied;
    std::vector<double> delays;
    QEventLoop* waiting = nullptr;
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        std::string bytes;
        sender->ReadText(bytes, count);
        sender->WriteText("Mr\r\n");
        replied = Clock::now();
    };
    port.OnTxEmpty = [&](TCustomComPort*) {
        if (replied == Clock::time_point{}) return;
        delays.push_back(std::chrono::duration<double, std::micro>(Clock::now() - replied).count());
        replied = {};
        if (waiting) waiting->quit();
    };
    port.Open();
    for (int i = 0; i < 200; ++i) {
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        if (::write(pty.master, "x", 1) != 1) break;
        loop.exec();
        waiting = nullptr;
        char buf[64];
        while (::read(pty.master, buf, sizeof buf) == sizeof buf) {
        }
    }
    port.Close();
    std::printf("serial_txempty_samples: %zu samples\n", delays.size());
    std::printf("serial_txempty_delay_p50_us: %.0f us\n", Percentile(delays, 0.5));
    std::printf("serial_txempty_delay_max_us: %.0f us\n", Percentile(delays, 1.0));
}

void SignalStorm() {
    PtyPair pty; // nobody reads it: every write runs into its time-out
    TComPort port;
    port.SetPort(pty.path);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(200);
    port.Open();
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGUSR1, &quiet, &saved);
    const pthread_t writer = pthread_self();
    std::atomic<bool> stop{false};
    std::thread storm([&] {
        while (!stop) {
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    double longest = 0;
    const std::string block(1 << 20, 's');
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        port.WriteText(block);
        longest = std::max(longest, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    stop = true;
    storm.join();
    sigaction(SIGUSR1, &saved, nullptr);
    port.Close();
    std::printf("serial_storm_write_budget_ms: 200 ms\n");
    std::printf("serial_storm_write_max_ms: %.1f ms\n", longest);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }

    TComPort port; // all ten events watched, hand-over to the GUI thread
    port.SetPort(name);
    QEventLoop* waiting = nullptr;
    Clock::time_point handled;
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        handled = Clock::now();
        std::string bytes;
        sender->ReadText(bytes, count);
        if (waiting) waiting->quit();
    };
    try {
        port.Open();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "open failed: %s\n", e.what());
        return 1;
    }

    const int samples = 2000;
    std::vector<double> latencies;
    latencies.reserve(samples);
    for (int i = 0; i < samples; ++i) {
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        handled = {};
        const auto sent = Clock::now();
        if (::write(master, "x", 1) != 1) break;
        loop.exec();
        waiting = nullptr;
        if (handled == Clock::time_point{}) continue; // lost sample: counted by its absence
        latencies.push_back(std::chrono::duration<double, std::micro>(handled - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        if (latencies.empty()) return -1.0;
        auto i = static_cast<std::size_t>(p * static_cast<double>(latencies.size() - 1));
        return latencies[i];
    };
    std::printf("serial_rx_latency_samples: %zu samples\n", latencies.size());
    std::printf("serial_rx_latency_p50_us: %.0f us\n", pct(0.50));
    std::printf("serial_rx_latency_p99_us: %.0f us\n", pct(0.99));
    std::fflush(stdout);

    const auto wallStart = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    {
        QEventLoop idle;
        QTimer::singleShot(10000, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    std::printf("serial_idle_cpu_percent: %.3f %%\n", 100.0 * cpu / wall);

    port.Close();
    ::close(master);
    ::close(slave);
    std::fflush(stdout);

    try {
        CloseTail();
        TxEmptyDelay();
        SignalStorm();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
