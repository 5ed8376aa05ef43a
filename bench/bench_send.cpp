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

#include "bench/BenchUtil.h"
#include "tests/tools/SimProcess.h"

namespace {

constexpr int kScales = 200;
constexpr int kRows = 100;

using RunResult = bench::ProgramRun;

RunResult RunSend(const std::vector<std::string>& args) {
    return bench::RunProgram(SCALEDB_BIN_DIR "/scaledb-send", args);
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
