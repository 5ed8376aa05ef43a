// The transfer history: recording one transfer (its start and its end, on a
// file in WAL mode) and the status of every scale over 100,000 transfers.
#include "bench/BenchUtil.h"
#include "bench/HistoryBench.h"
#include "scales/History.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Processor time of this thread: on a busy machine the wall clock also counts
// the time other programs had the processor.
double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

scales::TransferEnd EndOf(scales::TransferOutcome outcome, int row, std::int64_t ended) {
    scales::TransferEnd e;
    e.ended = ended;
    e.outcome = outcome;
    e.row = row;
    e.acknowledged = outcome == scales::TransferOutcome::Sent ? 10'000 : std::max(0, row - 1);
    e.startSent = row > 0;
    e.message = outcome == scales::TransferOutcome::Sent ? "" : "no reply to row " + std::to_string(row);
    return e;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;

    {
        scales::History h;
        if (h.Open(dir.path().toStdString() + "/record.sqlite") != scales::HistoryState::Open) {
            std::fprintf(stderr, "%s\n", h.Error().c_str());
            return 1;
        }
        std::vector<double> ms, cpu;
        for (int n = 0; n < 3000; ++n) {
            const auto t0 = bench::Clock::now();
            const double c0 = CpuMs();
            const auto id = h.Begin(bench::SampleStart(n % 200, 0));
            h.End(id, EndOf(scales::TransferOutcome::Sent, 10'001, 0));
            if (n < 100) continue; // after the file has settled
            ms.push_back(bench::MsSince(t0));
            cpu.push_back(CpuMs() - c0);
        }
        bench::Print("history_record_ms", bench::Percentile(ms, 50), "ms");
        bench::Print("history_record_p99_ms", bench::Percentile(ms, 99), "ms");
        bench::Print("history_record_cpu_p99_ms", bench::Percentile(cpu, 99), "ms");
    }

    scales::History h;
    if (h.Open(dir.path().toStdString() + "/status.sqlite") != scales::HistoryState::Open) return 1;
    // 500 transfers to each of 200 scales, interleaved as nights of sending
    // are: mostly complete, some refused at the start, some broken off; a
    // quarter of the scales end incomplete and five never got a whole table.
    constexpr int Scales = 200, Rounds = 500;
    const auto fill0 = bench::Clock::now();
    std::int64_t t = 1'700'000'000'000;
    for (int round = 0; round < Rounds; ++round) {
        for (int scale = 0; scale < Scales; ++scale, t += 1000) {
            auto outcome = scales::TransferOutcome::Sent;
            int row = 10'001;
            if (scale < 5 || (round % 7 == 3)) {
                outcome = scales::TransferOutcome::Failed;
                row = round % 2 ? 0 : 1 + round;
            } else if (round == Rounds - 1 && scale % 4 == 0) {
                outcome = scales::TransferOutcome::Stopped;
                row = 4321;
            }
            h.Record(bench::SampleStart(scale, t), EndOf(outcome, row, t + 900));
        }
    }
    bench::Print("history_fill_100000_s", bench::MsSince(fill0) / 1000.0, "s");

    std::vector<double> ms, cpu;
    std::size_t held = 0, incomplete = 0;
    for (int n = 0; n < 21; ++n) {
        const auto t0 = bench::Clock::now();
        const double c0 = CpuMs();
        const auto all = h.Holdings();
        ms.push_back(bench::MsSince(t0));
        cpu.push_back(CpuMs() - c0);
        held = all.size();
        incomplete = 0;
        for (const auto& one : all)
            incomplete += one.Incomplete() ? 1 : 0;
    }
    if (held != Scales || h.State() != scales::HistoryState::Open) {
        std::fprintf(stderr, "status: %zu scales, %s\n", held, h.Error().c_str());
        return 1;
    }
    bench::Print("history_status_ms", bench::Percentile(ms, 50), "ms");
    bench::Print("history_status_max_ms", bench::Percentile(ms, 100), "ms");
    bench::Print("history_status_cpu_ms", bench::Percentile(cpu, 50), "ms");
    bench::Print("history_status_incomplete_scales", static_cast<double>(incomplete), "scales");
    return 0;
}
