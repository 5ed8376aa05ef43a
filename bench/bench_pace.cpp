// scaledb-send at --pace 0, where the next command goes out as soon as the
// acknowledgement is in:
//   - TCP, one scale, 10,000 rows: the command's CPU per command (a run of one
//     row subtracted, so starting up is not counted), beside the floor: a
//     blocking write-and-read loop in this process against the same simulator,
//     one command at a time, which is what the kernel costs;
//   - 200 TCP scales x 1,000 rows against one scale x 1,000 rows, the scales
//     answering after a few milliseconds as real ones do: the wall ratio and
//     peak memory;
//   - a pseudo-terminal and UDP, 10,000 rows each, byte for byte.
// The simulator's CPU is read from /proc beside the command's, so it shows
// whether it, rather than the command, set the pace.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/BenchUtil.h"
#include "tests/tools/SimProcess.h"

namespace {

constexpr int kRows = 10000;
constexpr int kScales = 200;
constexpr int kFleetRows = 1000;
// What a scale takes to answer a record (storing it), for the fleet's ratio: without it
// one scale alone is as fast as the two processes can go, and the ratio only counts the
// work of 200 on two cores.
constexpr int kReplyDelayMs = 5;

struct Table {
    std::string path;
    std::string wire; // what a serial or TCP scale hears: every command with CR LF
};

// Rows of about 60 bytes, like real product tables.
Table WriteTable(const std::string& dir, const std::string& name, int rows) {
    Table t{dir + "/" + name, "SbP\r\n"};
    std::ofstream out(t.path);
    for (int r = 1; r <= rows; ++r) {
        const std::string row = std::to_string(100000 + r) + ";Product number " + std::to_string(r) +
                                " of the bench table;" + std::to_string(r % 97) + ".99;kg;0";
        out << row << "\n";
        t.wire += "Sr" + row + "\r\n";
    }
    t.wire += "Se\r\n";
    return t;
}

bench::ProgramRun Send(std::vector<std::string> args) {
    args.insert(args.end(), {"--quiet", "--pace", "0"});
    return bench::RunProgram(SCALEDB_BIN_DIR "/scaledb-send", args);
}

std::string Tcp(int port) {
    return "tcp:127.0.0.1:" + std::to_string(port);
}

bool Failed(const char* what, const bench::ProgramRun& run) {
    if (run.status == 0) return false;
    std::fprintf(stderr, "bench_pace: %s failed (exit %d)\n", what, run.status);
    return true;
}

// The floor: one command written, its reply read, blocking, in this thread; CPU seconds
// of the whole table's commands, or < 0 when the simulator could not be reached.
double BlockingLoopCpu(int port, const Table& table, double& wallSeconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const double cpu0 = bench::ThreadCpuSeconds();
    const auto t0 = bench::Clock::now();
    char buf[256];
    for (std::size_t at = 0; at < table.wire.size();) {
        const std::size_t end = table.wire.find('\n', at) + 1;
        if (::write(fd, table.wire.data() + at, end - at) != static_cast<ssize_t>(end - at)) break;
        at = end;
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0 || std::memchr(buf, '\n', static_cast<std::size_t>(n))) break;
        }
    }
    wallSeconds = bench::MsSince(t0) / 1000.0;
    const double cpu = bench::ThreadCpuSeconds() - cpu0;
    ::close(fd);
    return cpu;
}

} // namespace

// Arguments name the parts to run (tcp, multi, links); none: all.
int main(int argc, char** argv) {
    const std::vector<std::string> parts(argv + 1, argv + argc);
    auto part = [&](const char* name) {
        return parts.empty() || std::find(parts.begin(), parts.end(), name) != parts.end();
    };
    const std::string dir =
        std::filesystem::temp_directory_path() / ("bench-pace-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const Table big = WriteTable(dir, "big.csv", kRows);
    const Table one = WriteTable(dir, "one.csv", 1);
    const Table fleetTable = WriteTable(dir, "fleet.csv", kFleetRows);
    const double commands = kRows + 2;
    int status = 0;

    // --- TCP, one scale, and the floor ---------------------------------------
    if (part("tcp")) {
        SimProcess sim, floorSim;
        sim.Start({"--tcp", "--log", sim.LogPath()});
        floorSim.Start({"--tcp"});
        const bench::ProgramRun start = Send({one.path, Tcp(sim.Port())});
        const std::size_t logged = sim.ReadLog().size();
        const double simCpu0 = bench::ProcessCpuSeconds(sim.Pid());
        const bench::ProgramRun run = Send({big.path, Tcp(sim.Port())});
        const double simCpu = bench::ProcessCpuSeconds(sim.Pid()) - simCpu0;
        double floorWall = 0;
        const double floorCpu = BlockingLoopCpu(floorSim.Port(), big, floorWall);
        if (Failed("the one-row run", start) || Failed("the TCP run", run)) return 1;
        const double perCommand = 1e6 * (run.cpuSeconds - start.cpuSeconds) / (commands - 3);
        bench::Print("pace0_tcp_wall_10000", run.wallSeconds, "s");
        const bool exact = sim.ReadLog().substr(logged) == big.wire;
        bench::Print("pace0_tcp_byte_exact", exact ? 1 : 0, "bool");
        bench::Print("pace0_tcp_cpu_per_command", perCommand, "us");
        bench::Print("pace0_tcp_floor_cpu_per_command", 1e6 * floorCpu / commands, "us");
        bench::Print("pace0_tcp_floor_wall_10000", floorWall, "s");
        bench::Print("pace0_tcp_cpu_vs_floor", floorCpu > 0 ? perCommand / (1e6 * floorCpu / commands) : 0,
                     "ratio");
        bench::Print("pace0_tcp_sender_cpu_share", 100.0 * run.cpuSeconds / run.wallSeconds, "% of one core");
        bench::Print("pace0_tcp_sim_cpu_share", 100.0 * simCpu / run.wallSeconds, "% of one core");
        if (!exact) status = 1;
    }

    // --- 200 TCP scales against one ------------------------------------------
    if (part("multi")) {
        const std::string delay = std::to_string(kReplyDelayMs);
        SimProcess many, single;
        many.Start({"--tcp", "--count", std::to_string(kScales), "--delay", delay});
        single.Start({"--tcp", "--delay", delay});
        std::vector<std::string> args{fleetTable.path};
        for (int port : many.Ports(kScales))
            args.push_back(Tcp(port));
        const double simCpu0 = bench::ProcessCpuSeconds(many.Pid());
        const bench::ProgramRun all = Send(args);
        const double simCpu = bench::ProcessCpuSeconds(many.Pid()) - simCpu0;
        const bench::ProgramRun alone = Send({fleetTable.path, Tcp(single.Port())});
        if (Failed("the 200-scale run", all) || Failed("the one-scale run", alone) ||
            args.size() != kScales + 1)
            return 1;
        bench::Print("pace0_multi_reply_delay", kReplyDelayMs, "ms");
        bench::Print("pace0_multi_wall_ratio", all.wallSeconds / alone.wallSeconds, "ratio");
        bench::Print("pace0_multi_wall_200", all.wallSeconds, "s");
        bench::Print("pace0_multi_wall_1", alone.wallSeconds, "s");
        bench::Print("pace0_multi_peak_rss", static_cast<double>(all.peakRssKb) / 1024.0, "MB");
        bench::Print("pace0_multi_cpu_per_command", 1e6 * all.cpuSeconds / (kScales * (kFleetRows + 2.0)),
                     "us");
        bench::Print("pace0_multi_sender_cpu_share", 100.0 * all.cpuSeconds / all.wallSeconds,
                     "% of one core");
        bench::Print("pace0_multi_sim_cpu_share", 100.0 * simCpu / all.wallSeconds, "% of one core");
    }

    // --- A pseudo-terminal and UDP, byte for byte ----------------------------
    for (const char* kind : {"serial", "udp"}) {
        if (!part("links")) break;
        const bool udp = std::string(kind) == "udp";
        SimProcess sim;
        sim.Start({udp ? "--udp" : "--serial", "--log", sim.LogPath()});
        const std::string target = udp ? "udp:127.0.0.1:" + sim.PortText() : "serial:" + sim.PortText();
        const double simCpu0 = bench::ProcessCpuSeconds(sim.Pid());
        const bench::ProgramRun run = Send({big.path, target});
        const double simCpu = bench::ProcessCpuSeconds(sim.Pid()) - simCpu0;
        if (run.status != 0) {
            // UDP needs local port 1001, which may be taken or need a privilege here.
            std::fprintf(stderr, "bench_pace: the %s run failed (exit %d)\n", kind, run.status);
            status = 1;
            continue;
        }
        const std::string name = std::string("pace0_") + kind;
        const bool exact = sim.WaitForLog(big.wire) == big.wire;
        bench::Print(name + "_wall_10000", run.wallSeconds, "s");
        bench::Print(name + "_byte_exact", exact ? 1 : 0, "bool");
        bench::Print(name + "_cpu_per_command", 1e6 * run.cpuSeconds / commands, "us");
        bench::Print(name + "_sim_cpu_share", 100.0 * simCpu / run.wallSeconds, "% of one core");
        if (!exact) status = 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
