// scaledb-send against many scales: 200 simulated TCP scales served by one
// scale-sim process get 100 rows each at once, then one scale gets the same
// table alone. The ratio of the two wall times shows whether the scales slow
// each other down. The command's CPU time (all its threads, user and system)
// and peak memory come from wait4, so the simulator's share is never counted.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/tools/SimProcess.h"

namespace {

constexpr int kScales = 200;
constexpr int kRows = 100;

struct RunResult {
    int status = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKb = 0;
};

RunResult RunSend(const std::vector<std::string>& args) {
    const std::string program = SCALEDB_BIN_DIR "/scaledb-send";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    RunResult r;
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    r.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    r.peakRssKb = usage.ru_maxrss;
    return r;
}

} // namespace

int main() {
    // Rows of about 60 bytes, like real product tables.
    const std::string dir =
        std::filesystem::temp_directory_path() / ("bench-send-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string table = dir + "/products.csv";
    {
        std::ofstream out(table);
        for (int r = 1; r <= kRows; ++r)
            out << 100000 + r << ";Product number " << r << " of the bench table;" << r % 97 << ".99;kg;0\n";
    }

    SimProcess many, one;
    many.Start({"--tcp", "--count", std::to_string(kScales)});
    one.Start({"--tcp"});
    std::vector<std::string> args{table, "--quiet"};
    for (int port : many.Ports(kScales))
        args.push_back("tcp:127.0.0.1:" + std::to_string(port));

    const RunResult all = RunSend(args);
    const RunResult single = RunSend({table, "--quiet", "tcp:127.0.0.1:" + std::to_string(one.Port())});
    std::filesystem::remove_all(dir);
    if (all.status != 0 || single.status != 0 || args.size() != kScales + 2) {
        std::fprintf(stderr, "bench_send: a run failed (exit %d and %d)\n", all.status, single.status);
        return 1;
    }
    std::printf("multi_scale_wall_ratio: %.3f ratio\n", all.wallSeconds / single.wallSeconds);
    std::printf("multi_scale_wall_200: %.2f s\n", all.wallSeconds);
    std::printf("multi_scale_wall_1: %.2f s\n", single.wallSeconds);
    // The start command, every row and the end command, to each scale.
    const double commands = static_cast<double>(kScales) * (kRows + 2);
    std::printf("multi_scale_cpu: %.1f %% of one core\n", 100.0 * all.cpuSeconds / all.wallSeconds);
    std::printf("multi_scale_cpu_per_command: %.1f us\n", 1e6 * all.cpuSeconds / commands);
    std::printf("multi_scale_peak_rss: %.1f MB\n", static_cast<double>(all.peakRssKb) / 1024.0);
    return 0;
}
