// Transfer overhead over TCP and UDP on loopback: the real window sends 200
// records to a scale played by this program, which answers every command at
// once. Per record: from the reply leaving the scale to the next command's
// arrival, less the 100 ms the sequencer waits on purpose.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "app/Global.h"
#include "app/okno.h"
#include "bench/BenchUtil.h"

namespace {

constexpr int kRecords = 200;

double NowMs() {
    return std::chrono::duration<double, std::milli>(bench::Clock::now().time_since_epoch()).count();
}

std::string ReplyTo(const std::string& command) {
    if (command.rfind("SbP", 0) == 0) return "MbP\r\n";
    if (command.rfind("Sr", 0) == 0) return "Mr\r\n";
    return "Me\r\n";
}

// Timestamps the scale takes: when each command arrived, when its reply left.
struct Timeline {
    std::mutex m;
    std::vector<double> commandSeen, replySent;
    void Note(double seen) {
        std::lock_guard l(m);
        commandSeen.push_back(seen);
        replySent.push_back(NowMs());
    }
};

int Loopback(int type, std::uint16_t& port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 200) > 0;
}

void TcpScale(int listener, std::atomic<bool>& done, Timeline& t) {
    int conn = -1;
    while (!done && conn < 0)
        if (Readable(listener)) conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::string line;
    char buf[4096];
    while (!done && conn >= 0) {
        if (!Readable(conn)) continue;
        const ssize_t n = read(conn, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                line.push_back(buf[i]);
                continue;
            }
            const double seen = NowMs();
            const std::string reply = ReplyTo(line);
            t.Note(seen);
            if (write(conn, reply.data(), reply.size()) < 0) return;
            line.clear();
        }
    }
    if (conn >= 0) close(conn);
}

void UdpScale(int fd, std::atomic<bool>& done, Timeline& t) {
    char buf[70000];
    while (!done) {
        if (!Readable(fd)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 1) continue; // the link's one-byte start datagram
        const double seen = NowMs();
        const std::string command(buf, strnlen(buf, static_cast<std::size_t>(n)));
        const std::string reply = ReplyTo(command);
        t.Note(seen);
        sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

// Runs one transfer of the table over `protocol`; prints its figures.
bool Run(std::uint8_t protocol, const std::string& table, const std::string& prefix) {
    std::uint16_t port = 0;
    const int fd = Loopback(protocol == ProtocolTCP ? SOCK_STREAM : SOCK_DGRAM, port);
    if (fd < 0 || (protocol == ProtocolTCP && listen(fd, 1) != 0)) return false;
    Timeline t;
    std::atomic<bool> done{false};
    std::thread scale([&] { protocol == ProtocolTCP ? TcpScale(fd, done, t) : UdpScale(fd, done, t); });

    auto* form = new TForm1;
    Kind = KindEthernet;
    Protocol = protocol;
    Host = "127.0.0.1";
    Port = port;
    form->LoadFile(table);
    form->btnOpenPort->click();
    const double c0 = NowMs();
    while (form->FLinkState != LinkConnected && NowMs() - c0 < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    bool finished = false;
    if (form->FLinkState == LinkConnected) {
        const double total = bench::TimeUntilOutcomeBox([&] { form->bbWyslijBaze->click(); });
        finished = total >= 0;
        if (finished) {
            std::vector<double> overhead;
            {
                std::lock_guard l(t.m);
                for (std::size_t i = 0; i + 1 < t.commandSeen.size(); ++i)
                    overhead.push_back(t.commandSeen[i + 1] - t.replySent[i] - 100.0);
            }
            // Every record, the end command and the outcome each wait one 100 ms tick.
            bench::Print(prefix + "_transfer_200_records_total_ms", total, "ms");
            bench::Print(prefix + "_record_overhead_mean_ms",
                         (total - (kRecords + 2) * 100.0) / (kRecords + 2), "ms");
            bench::Print(prefix + "_record_overhead_median_ms", bench::Percentile(overhead, 50), "ms");
            bench::Print(prefix + "_record_overhead_p99_ms", bench::Percentile(overhead, 99), "ms");
        }
    }
    form->btnOpenPort->click();
    delete form;
    done = true;
    scale.join();
    close(fd);
    return finished;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    namespace fs = std::filesystem;
    const fs::path table =
        fs::temp_directory_path() / ("scaledb-bench-eth-" + std::to_string(::getpid()) + ".csv");
    {
        std::ofstream out(table);
        for (int r = 0; r < kRecords; ++r)
            out << 1000 + r << ";Product " << r << ";" << r % 50 << ".99\n";
    }
    const bool tcp = Run(ProtocolTCP, table.string(), "tcp");
    const bool udp = Run(ProtocolUDP, table.string(), "udp");
    fs::remove(table);
    return tcp && udp ? 0 : 1;
}
