// Serial port timings over a pseudo-terminal:
//   serial_rx_latency_p50_us / _p99_us: byte written on the far side -> OnRxChar
//                                        handler on the GUI thread
//   serial_idle_cpu_percent:             process CPU while the port is open and idle
#include "links/serial/CPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <pty.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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
    return 0;
}
