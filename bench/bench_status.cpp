// scaledb-send --status as a person or a nightly job runs it: a whole process
// (start-up, opening the history, the status of every scale, printing) over a
// history of 100,000 transfers to 200 scales, built first with the history itself.
#include "bench/BenchUtil.h"
#include "bench/HistoryBench.h"
#include "scales/History.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

// Runs the copy beside the history (its settings, so its history, are that folder);
// the exit status, -1 when it could not start.
int RunStatus(const std::string& program, const std::string& output) {
    const std::string flag = "--status";
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(flag.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;
    const std::string folder = dir.path().toStdString() + "/";
    const std::string program = folder + "scaledb-send";
    std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program);

    constexpr int Scales = 200, Rounds = 500;
    {
        scales::History h;
        if (h.Open(folder + "history.sqlite") != scales::HistoryState::Open) {
            std::fprintf(stderr, "%s\n", h.Error().c_str());
            return 1;
        }
        // Nights of sending: mostly complete, every seventh refused or broken off, the
        // last night stopped on a quarter of the scales.
        std::int64_t t = 1'700'000'000'000;
        for (int round = 0; round < Rounds; ++round) {
            for (int scale = 0; scale < Scales; ++scale, t += 1000) {
                const scales::TransferStart s = bench::SampleStart(scale, t);
                scales::TransferEnd e;
                e.ended = t + 900;
                e.outcome = scales::TransferOutcome::Sent;
                e.row = 10'001;
                if (round % 7 == 3) {
                    e.outcome = scales::TransferOutcome::Failed;
                    e.row = round % 2 ? 0 : 1 + round;
                } else if (round == Rounds - 1 && scale % 4 == 0) {
                    e.outcome = scales::TransferOutcome::Stopped;
                    e.row = 4321;
                }
                e.startSent = e.row > 0;
                e.acknowledged = e.outcome == scales::TransferOutcome::Sent ? 10'000 : std::max(0, e.row - 1);
                h.Record(s, e);
            }
        }
        if (h.State() != scales::HistoryState::Open) {
            std::fprintf(stderr, "%s\n", h.Error().c_str());
            return 1;
        }
    }

    const std::string output = folder + "status.txt";
    std::vector<double> ms;
    for (int n = 0; n < 11; ++n) {
        const auto t0 = bench::Clock::now();
        const int status = RunStatus(program, output);
        ms.push_back(bench::MsSince(t0));
        if (status != 0) {
            std::fprintf(stderr, "scaledb-send --status: exit status %d\n", status);
            return 1;
        }
    }
    std::ifstream in(output);
    int lines = 0;
    for (std::string line; std::getline(in, line);)
        ++lines;
    if (lines != Scales) {
        std::fprintf(stderr, "scaledb-send --status: %d lines, expected %d\n", lines, Scales);
        return 1;
    }
    bench::Print("send_status_ms", bench::Percentile(ms, 50), "ms");
    bench::Print("send_status_max_ms", bench::Percentile(ms, 100), "ms");
    return 0;
}
