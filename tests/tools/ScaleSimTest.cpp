#include "tools/SimProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <sys/socket.h>

namespace {

using Ms = std::chrono::milliseconds;
constexpr Ms kWait{5000};

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    ~UniqueFd() { Reset(); }
    int Get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

UniqueFd ConnectTcp(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    return fd;
}

UniqueFd OpenUdp() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

int LocalPort(const UniqueFd& fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

void Send(const UniqueFd& fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void SendTo(const UniqueFd& fd, int port, const std::string& bytes) {
    sockaddr_in a = Loopback(port);
    ASSERT_EQ(::sendto(fd.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<ssize_t>(bytes.size()));
}

bool WaitReadable(int fd, Ms timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Reads until `n` bytes came, the peer closed, or the timeout. `error` gets errno of a failed read.
std::string Read(const UniqueFd& fd, std::size_t n, int* error = nullptr) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(fd.Get(), left)) break;
        char buf[4096];
        ssize_t r = ::read(fd.Get(), buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) {
            if (error) *error = r < 0 ? errno : 0;
            break;
        }
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// Expects exactly `text` next on the stream (extra bytes show up in the next read).
#define EXPECT_READ(fd, text)                                                                                \
    do {                                                                                                     \
        const std::string expected_ = (text);                                                                \
        EXPECT_EQ(Read(fd, expected_.size()), expected_);                                                    \
    } while (0)

std::string ReadToEnd(const UniqueFd& fd, int* error = nullptr) {
    return Read(fd, SIZE_MAX, error);
}

std::optional<std::string> RecvDatagram(const UniqueFd& fd, Ms timeout = kWait) {
    if (!WaitReadable(fd.Get(), timeout)) return std::nullopt;
    char buf[2048];
    ssize_t r = ::recv(fd.Get(), buf, sizeof buf, 0);
    return r < 0 ? std::nullopt : std::optional<std::string>(std::string(buf, static_cast<std::size_t>(r)));
}

// Every byte a record can hold on the wire: all but LF, CR, the field separator and 26.
std::string BinaryRecord() {
    std::string r = "Sr";
    for (int b = 1; b <= 255; ++b)
        if (b != '\n' && b != '\r' && b != ';' && b != 26) r += static_cast<char>(b);
    return r;
}

void StartSim(SimProcess& sim, std::vector<std::string> args) {
    args.push_back("--log");
    args.push_back(sim.LogPath());
    sim.Start(args);
}

TEST(ScaleSimTcp, AnswersEachCommandAndLogsTheWireBytesExactly) {
    SimProcess sim;
    StartSim(sim, {"--tcp"});
    UniqueFd c = ConnectTcp(sim.Port());
    std::string wire;
    auto exchange = [&](const std::string& cmd, const std::string& reply) {
        Send(c, cmd);
        wire += cmd;
        SCOPED_TRACE(cmd);
        EXPECT_READ(c, reply);
    };
    exchange("SbP\r\n", "MbP\r\n");
    exchange("SbU\r\n", "MbU\r\n");
    exchange(BinaryRecord() + "\r\n", "Mr\r\n");
    Send(c, "Sb");
    wire += "Sb";
    exchange("P\r\n", "MbP\r\n"); // a line split over two writes is one command
    // An unknown command is logged but not answered; the next reply is the first to come.
    exchange("XX\r\nsE\r\nSe\r\n", "Me\r\n");
    exchange("Se\n", "Me\r\n"); // a bare LF ends a line too; the log shows it as it came
    EXPECT_EQ(sim.WaitForLog(wire), wire);
}

// A busy scale answers what came meanwhile in one write; a stray "Mr"
// follows the reply to the command named.
TEST(ScaleSimTcp, HoldAnswersWhatCameMeanwhileInOneWriteAndStrayAfterAddsAReply) {
    SimProcess sim;
    StartSim(sim, {"--tcp", "--hold", "300", "--stray-after", "2"});
    UniqueFd c = ConnectTcp(sim.Port());
    Send(c, "SbP\r\n");
    Send(c, "Sr1;a\r\n");
    ASSERT_TRUE(WaitReadable(c.Get(), kWait));
    char buf[64];
    const ssize_t n = ::read(c.Get(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "MbP\r\nMr\r\n");
    EXPECT_READ(c, "Mr\r\n"); // the stray one
    Send(c, "Se\r\n");
    EXPECT_READ(c, "Me\r\n");
}

TEST(ScaleSimTcp, ServesQueuedConnectionsInTurnAndForgetsUnfinishedLines) {
    SimProcess sim;
    StartSim(sim, {"--tcp"});
    UniqueFd first = ConnectTcp(sim.Port());
    UniqueFd second = ConnectTcp(sim.Port()); // waits in the backlog
    Send(second, "SbU\r\n");
    Send(first, "SbP\r\n");
    EXPECT_READ(first, "MbP\r\n");
    Send(first, "Srunfinished");
    first.Reset();
    EXPECT_READ(second, "MbU\r\n");
    EXPECT_EQ(sim.WaitForLog("SbP\r\nSbU\r\n"), "SbP\r\nSbU\r\n");
}

TEST(ScaleSimTcp, ResetAfterAndCloseAfterDropTheConnectionOnceInsteadOfReplying) {
    for (const char* option : {"--reset-after", "--close-after"}) {
        SCOPED_TRACE(option);
        SimProcess sim;
        StartSim(sim, {"--tcp", option, "2"});
        UniqueFd c = ConnectTcp(sim.Port());
        Send(c, "SbP\r\n");
        EXPECT_READ(c, "MbP\r\n");
        Send(c, "Sr1\r\n");
        int error = -1;
        EXPECT_EQ(ReadToEnd(c, &error), "");
        EXPECT_EQ(error, std::string(option) == "--reset-after" ? ECONNRESET : 0);
        // The run goes on with the next connection, which is not dropped again.
        UniqueFd next = ConnectTcp(sim.Port());
        Send(next, "SbP\r\nSr1\r\nSr2\r\n");
        EXPECT_READ(next, "MbP\r\nMr\r\nMr\r\n");
    }
}

TEST(ScaleSimUdp, AnswersEachDatagramAndReportsTheStartByteSeparately) {
    SimProcess sim;
    StartSim(sim, {"--udp"});
    UniqueFd s = OpenUdp();
    SendTo(s, sim.Port(), std::string(1, '\0'));
    EXPECT_TRUE(sim.WaitForLine("START 00"));
    SendTo(s, sim.Port(), std::string("SbP\0", 4));
    EXPECT_EQ(RecvDatagram(s), "MbP\r\n"); // the start byte got no reply of its own
    SendTo(s, sim.Port(), BinaryRecord() + '\0');
    EXPECT_EQ(RecvDatagram(s), "Mr\r\n");
    SendTo(s, sim.Port(), std::string("Se\0junk", 7)); // the command ends at the zero byte
    EXPECT_EQ(RecvDatagram(s), "Me\r\n");
    const std::string log = "SbP\r\n" + BinaryRecord() + "\r\nSe\r\n";
    EXPECT_EQ(sim.WaitForLog(log), log);
}

TEST(ScaleSimUdp, SplitRepliesGoOneByteADatagramToTheReplyPort) {
    UniqueFd sender = OpenUdp();
    UniqueFd receiver = OpenUdp();
    SimProcess sim;
    StartSim(sim, {"--udp", "--split", "--reply-port", std::to_string(LocalPort(receiver))});
    SendTo(sender, sim.Port(), std::string("SbU\0", 4));
    for (const char* piece : {"M", "b", "U", "\r", "\n"})
        EXPECT_EQ(RecvDatagram(receiver), piece);
    EXPECT_EQ(RecvDatagram(sender, Ms(0)), std::nullopt);
}

TEST(ScaleSimSerial, AnswersOnThePtyAcrossReopeningWithoutLockingIt) {
    SimProcess sim;
    StartSim(sim, {"--serial"});
    ASSERT_EQ(sim.PortText().rfind("/dev/pts/", 0), 0u) << sim.PortText();
    std::string wire;
    {
        UniqueFd port(::open(sim.PortText().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_GE(port.Get(), 0);
        EXPECT_EQ(::flock(port.Get(), LOCK_EX | LOCK_NB), 0); // the simulator holds no lock
        wire = "SbP\r\n" + BinaryRecord() + "\r\n";
        Send(port, wire);
        EXPECT_READ(port, "MbP\r\nMr\r\n");
    }
    // The program closes and opens the port between connects; the scale stays.
    UniqueFd port(::open(sim.PortText().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(port.Get(), 0);
    Send(port, "Se\r\n");
    wire += "Se\r\n";
    EXPECT_READ(port, "Me\r\n");
    EXPECT_EQ(sim.WaitForLog(wire), wire);
}

TEST(ScaleSimSerial, ExitWhenDoneStillDeliversThePaddedLastReply) {
    SimProcess sim;
    const std::string link = sim.TempDir() + "/scale";
    StartSim(sim, {"--serial", "--pad", "--records", "1", "--exit-when-done", "--symlink", link});
    EXPECT_EQ(std::filesystem::read_symlink(link), sim.PortText());
    UniqueFd port(::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(port.Get(), 0);
    Send(port, "SbP\r\nSr1\r\nSe\r\n");
    EXPECT_READ(port, "  MbP  \r\n  Mr  \r\n  Me  \r\n");
    EXPECT_TRUE(sim.WaitForLine("DONE"));
    EXPECT_EQ(sim.WaitForExit(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(ScaleSimFaults, WrongRepliesRepeatRecordsAndTheCountFollowsAcknowledgedOnes) {
    SimProcess sim;
    StartSim(sim, {"--tcp", "--wrong-every", "2", "--records", "2"});
    UniqueFd c = ConnectTcp(sim.Port());
    // Only record lines are counted for wrong replies; a repeated record is counted once.
    Send(c, "SbP\r\nSra\r\nSrb\r\nSrb\r\nSe\r\n");
    EXPECT_READ(c, "MbP\r\nMr\r\nMx\r\nMr\r\nMe\r\n");
    EXPECT_TRUE(sim.WaitForLine("DONE"));
    // A new start command starts a new count.
    Send(c, "SbU\r\nSrc\r\nSrc\r\nSe\r\n");
    EXPECT_READ(c, "MbU\r\nMx\r\nMr\r\nMe\r\n");
    EXPECT_TRUE(sim.WaitForLine("MISMATCH 1 2"));
    EXPECT_EQ(sim.Stop(), 3);
}

TEST(ScaleSimFaults, SilentAfterStopsReplyingButKeepsLoggingAndCounting) {
    SimProcess sim;
    StartSim(sim, {"--tcp", "--silent-after", "2", "--delay", "20", "--split", "--records", "1"});
    UniqueFd c = ConnectTcp(sim.Port());
    Send(c, "SbP\r\nSr1\r\nSr2\r\nSe\r\n");
    EXPECT_READ(c, "MbP\r\nMr\r\n");      // delayed and split, still whole and in order
    EXPECT_TRUE(sim.WaitForLine("DONE")); // the unanswered record is not counted
    EXPECT_EQ(sim.WaitForLog("SbP\r\nSr1\r\nSr2\r\nSe\r\n"), "SbP\r\nSr1\r\nSr2\r\nSe\r\n");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReadToEnd(c), ""); // nothing more came before the simulator closed
}

TEST(ScaleSimMany, EachTcpScaleHasItsOwnPortCountersLogAndFaults) {
    SimProcess sim;
    const std::string logs = sim.TempDir() + "/scale-%n.log";
    sim.Start(
        {"--tcp", "--count", "3", "--log", logs, "--records", "2", "--refuse-row", "2", "--exit-when-done"});
    const std::vector<int> ports = sim.Ports(3);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), 3u);
    std::vector<UniqueFd> c;
    for (int port : ports)
        c.push_back(ConnectTcp(port));
    // Interleaved, so each scale's counters must be its own; row 2 is refused however often it comes.
    for (auto& fd : c)
        Send(fd, "SbP\r\nSr1\r\n");
    for (auto& fd : c)
        EXPECT_READ(fd, "MbP\r\nMr\r\n");
    Send(c[1], "Sr2\r\nSr2\r\nSe\r\n");
    EXPECT_READ(c[1], "Mx\r\nMx\r\nMe\r\n");
    EXPECT_TRUE(sim.WaitForLine("#2 MISMATCH 1 2"));
    for (std::size_t i : {0u, 2u}) {
        Send(c[i], "SbP\r\nSra\r\nSrb\r\nSe\r\n");
        EXPECT_READ(c[i], "MbP\r\nMr\r\nMx\r\nMe\r\n");
    }
    EXPECT_EQ(sim.WaitForExit(), 3); // once every scale saw its "Se"; scale 2's mismatch counts
    std::ifstream in(sim.TempDir() + "/scale-2.log", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "SbP\r\nSr1\r\nSr2\r\nSr2\r\nSe\r\n");
}

TEST(ScaleSimMany, UdpScalesAnswerTheirOwnDatagramsAndPtysHangUpAlone) {
    {
        SimProcess sim;
        sim.Start({"--udp", "--count", "2"});
        const std::vector<int> ports = sim.Ports(2);
        ASSERT_EQ(ports.size(), 2u);
        UniqueFd s = OpenUdp();
        SendTo(s, ports[1], std::string("SbU\0", 4));
        EXPECT_EQ(RecvDatagram(s), "MbU\r\n");
        SendTo(s, ports[0], std::string(1, '\x7f'));
        EXPECT_TRUE(sim.WaitForLine("#1 START 7F"));
    }
    SimProcess sim;
    sim.Start({"--serial", "--count", "2", "--close-after", "2"});
    const std::vector<std::string> ptys = sim.PortTexts(2);
    ASSERT_EQ(ptys.size(), 2u);
    UniqueFd first(::open(ptys[0].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    UniqueFd second(::open(ptys[1].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_GE(first.Get(), 0);
    ASSERT_GE(second.Get(), 0);
    Send(first, "SbP\r\n");
    EXPECT_READ(first, "MbP\r\n");
    Send(first, "Sr1\r\n");
    int error = -1;
    EXPECT_EQ(ReadToEnd(first, &error), "");          // hung up instead of answering the second command
    EXPECT_TRUE(error == 0 || error == EIO) << error; // end of file or EIO, not a time-out
    Send(second, "SbP\r\n");
    EXPECT_READ(second, "MbP\r\n"); // the other scale is untouched
}

// Each scale's delayed replies wait for their own moment, whoever asked first; a scale
// whose connection ended is listened to again, however its next one is numbered.
TEST(ScaleSimMany, DelayedRepliesOfSeveralScalesComeEachAndAClosedScaleListensAgain) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "3", "--delay", "20"});
    const std::vector<int> ports = sim.Ports(3);
    ASSERT_EQ(ports.size(), 3u);
    std::vector<UniqueFd> c;
    for (int port : ports)
        c.push_back(ConnectTcp(port));
    Send(c[2], "SbP\r\n");
    Send(c[0], "SbU\r\nSr1\r\n");
    Send(c[1], "Se\r\n");
    EXPECT_READ(c[1], "Me\r\n");
    EXPECT_READ(c[0], "MbU\r\nMr\r\n");
    EXPECT_READ(c[2], "MbP\r\n");
    c[0].Reset();
    for (int round = 0; round < 2; ++round) { // the second comes while the first is being closed
        UniqueFd again = ConnectTcp(ports[0]);
        Send(again, "SbP\r\n");
        EXPECT_READ(again, "MbP\r\n");
    }
    Send(c[2], "Se\r\n");
    EXPECT_READ(c[2], "Me\r\n");
}

TEST(ScaleSimLifecycle, EndsWithItsInputAndRejectsBadUsage) {
    SimProcess sim;
    sim.Start({"--udp"});
    sim.CloseStdin();
    EXPECT_EQ(sim.WaitForExit(), 0);

    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {"--tcp", "--udp"},
                                          {"--udp", "--reset-after", "1"},
                                          {"--udp", "--close-after", "1"},
                                          {"--tcp", "--count", "0"},
                                          {"--tcp", "--reply-port", "5"},
                                          {"--tcp", "--delay", "1x"},
                                          {"--serial", "--port", "70000"},
                                          {"--tcp", "--bogus"}}) {
        SimProcess bad;
        try {
            bad.Start(args);
            ADD_FAILURE() << "started with bad arguments";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("exit status 2"), std::string::npos) << e.what();
        }
    }
}

} // namespace
