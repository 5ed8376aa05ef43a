#include "send/SendTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>

#include "fleet/Links.h"

#include <QCoreApplication>

using namespace sendtest;

namespace {

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST_F(SendTest, ASilentScaleFailsAfterEveryTryWhileTheOthersFinish) {
    SimProcess silent, good;
    silent.Start({"--tcp", "--silent-after", "3", "--log", silent.LogPath()});
    good.Start({"--udp", "--log", good.LogPath()});
    SendProcess send(dir_);
    WaitForUdp1001();
    const int status = send.Run(
        {Table(5), Tcp(silent.Port()), Udp(good.Port()), "--timeout", "0.3", "--retries", "2", "--json"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(LineOf(send.Err(), Tcp(silent.Port())),
              Tcp(silent.Port()) +
                  "  FAILED at row 3 of 5: no reply to \"Sr3;...\" after 3 tries (0.3 s each)");
    EXPECT_NE(LineOf(send.Err(), Udp(good.Port())).find("  sent 5 of 5 rows in "), std::string::npos)
        << send.Err();
    // SbP, Sr1 and Sr2 answered; Sr3 sent once and twice again; nothing after it.
    EXPECT_EQ(silent.ReadLog(), std::string("SbP\r\nSr1;Item 1;1.00\r\nSr2;Item 2;2.00\r\n") +
                                    "Sr3;Item 3;3.00\r\nSr3;Item 3;3.00\r\nSr3;Item 3;3.00\r\n");
    EXPECT_EQ(good.ReadLog(), Wire(5));

    const QJsonArray targets = Json(send.Out())["targets"].toArray();
    ASSERT_EQ(targets.size(), 2);
    const QJsonObject failed = targets[0].toObject();
    EXPECT_EQ(failed["outcome"].toString(), "failed");
    EXPECT_EQ(failed["acknowledged_rows"].toInt(), 2);
    EXPECT_EQ(failed["commands_sent"].toInt(), 6);
    EXPECT_EQ(failed["resends"].toInt(), 2);
    EXPECT_GE(failed["seconds"].toDouble(), 0.9); // three time-outs of 0.3 s at the least
    EXPECT_EQ(failed["error"].toString().toStdString(), "no reply to \"Sr3;...\" after 3 tries (0.3 s each)");
    EXPECT_EQ(targets[1].toObject()["outcome"].toString(), "sent");
}

TEST_F(SendTest, AScaleRefusingRowFiveFailsThereAfterTheRetries) {
    SimProcess sim;
    sim.Start({"--serial", "--refuse-row", "5", "--log", sim.LogPath()});
    SendProcess send(dir_);
    EXPECT_EQ(send.Run({Table(8), "serial:" + sim.PortText(), "--timeout", "0.3", "--retries", "2"}), 1);
    EXPECT_EQ(send.Out(),
              "serial:" + sim.PortText() +
                  "  FAILED at row 5 of 8: \"Mx\" instead of \"Mr\" to \"Sr5;...\" after 3 tries\n");
    const std::string log = sim.ReadLog();
    const std::string row5 = "Sr5;Item 5;5.00\r\n";
    EXPECT_EQ(log, Wire(4).substr(0, Wire(4).size() - 4) + row5 + row5 + row5); // no "Se", no row 6
}

TEST_F(SendTest, APtyHungUpMidTransferAndARefusedPortFailOnlyTheirTargets) {
    SimProcess hangup, good;
    hangup.Start({"--serial", "--close-after", "3"});
    good.Start({"--tcp", "--log", good.LogPath()});
    const int refused = ClosedPort();
    SendProcess send(dir_);
    EXPECT_EQ(send.Run({Table(6), "serial:" + hangup.PortText(), Tcp(refused), Tcp(good.Port()), "--timeout",
                        "0.3"}),
              1);
    const std::string out = send.Out();
    // The next write after the hang-up fails; names are padded to one column.
    EXPECT_NE(LineOf(out, "serial:" + hangup.PortText())
                  .find("  FAILED at row 2 of 6: writing to " + hangup.PortText() + " failed: "),
              std::string::npos)
        << out;
    EXPECT_NE(
        LineOf(out, Tcp(refused))
            .find("  FAILED before row 1 of 6: the link never opened: connection refused by 127.0.0.1:" +
                  std::to_string(refused) + " (is the scale on, and is " + std::to_string(refused) +
                  " its port?)"),
        std::string::npos)
        << out;
    EXPECT_NE(LineOf(out, Tcp(good.Port())).find("  sent 6 of 6 rows in "), std::string::npos) << out;
    EXPECT_EQ(good.ReadLog(), Wire(6));
}

TEST_F(SendTest, AScaleHoldingItsSerialOutputFailsAtOnceWhileATcpScaleFinishes) {
    // XON/XOFF from the window's ComPortTest.ini, and a scale that has sent XOFF: a pty cannot
    // hold output for CTS, but its line discipline stops it for XOFF.
    const std::string program = Path("scaledb-send");
    std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program);
    Write("ComPortTest.ini", "[ComPort1]\nFlowControl=Software\n");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    const int slave = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    ::cfmakeraw(&t);
    t.c_iflag |= IXON;
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);
    ASSERT_EQ(::write(master, "\x13", 1), 1);

    SimProcess good;
    good.Start({"--tcp", "--log", good.LogPath()});
    SendProcess send(dir_, program);
    EXPECT_EQ(send.Run({Table(5), "serial:" + device, Tcp(good.Port()), "--timeout", "5", "--json"}), 1);
    const std::string err = send.Err();
    EXPECT_NE(LineOf(err, "serial:" + device)
                  .find("  FAILED before row 1 of 5: writing to " + device +
                        " timed out: the scale holds its output"),
              std::string::npos)
        << err;
    EXPECT_NE(LineOf(err, Tcp(good.Port())).find("  sent 5 of 5 rows in "), std::string::npos) << err;
    EXPECT_EQ(good.ReadLog(), Wire(5));
    // It failed on the write, well before its first reply time-out.
    const QJsonArray targets = Json(send.Out())["targets"].toArray();
    ASSERT_EQ(targets.size(), 2);
    EXPECT_LT(targets[0].toObject()["seconds"].toDouble(), 5.0);
    ::close(slave);
    ::close(master);
}

TEST_F(SendTest, SigintMidTransferSendsNothingMoreClosesTheLinksAndStillReports) {
    SimProcess tcp, pty;
    // Both answer SbP and rows 1 to 3, then stay silent: the command waits for row 4.
    tcp.Start({"--tcp", "--silent-after", "4", "--log", tcp.LogPath()});
    pty.Start({"--serial", "--silent-after", "4", "--log", pty.LogPath()});
    SendProcess send(dir_);
    send.Start({Table(10), Tcp(tcp.Port()), "serial:" + pty.PortText(), "--timeout", "30", "--json"});
    const std::string sent = Wire(4).substr(0, Wire(4).size() - 4);
    EXPECT_EQ(tcp.WaitForLog(sent, SimProcess::Ms(10000)), sent);
    EXPECT_EQ(pty.WaitForLog(sent, SimProcess::Ms(10000)), sent);
    send.Signal(SIGINT);
    EXPECT_EQ(send.Wait(SimProcess::Ms(10000)), 130);
    EXPECT_EQ(LineOf(send.Err(), Tcp(tcp.Port())),
              Tcp(tcp.Port()) + "  STOPPED at row 4 of 10: interrupted by SIGINT");
    const QJsonObject report = Json(send.Out());
    EXPECT_EQ(report["exit_status"].toInt(), 130);
    EXPECT_EQ(report["targets"].toArray()[1].toObject()["outcome"].toString(), "stopped");
    // The process has ended: whatever the scales hold now is all they will ever get.
    EXPECT_EQ(tcp.ReadLog(), sent);
    EXPECT_EQ(pty.ReadLog(), sent);
    // Its TCP connection is closed: the scale takes the next one.
    SendProcess again(dir_);
    EXPECT_EQ(again.Run({Table(1), Tcp(tcp.Port()), "--timeout", "0.3", "--retries", "0"}), 1);
    EXPECT_EQ(tcp.WaitForLog(sent + "SbP\r\n"), sent + "SbP\r\n");
}

TEST_F(SendTest, ABusyPortARefusedRateAndATakenUdpPortSayWhatToDo) {
    SimProcess pty, udp;
    pty.Start({"--serial"});
    udp.Start({"--udp", "--log", udp.LogPath()});
    // Another program holds the port, and another one local UDP port 1001.
    const int holder = ::open(pty.PortText().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const int taken = TakeUdp1001();
    ASSERT_GE(taken, 0);
    SendProcess send(dir_);
    // --quiet: only the failed targets' lines, as errors.
    EXPECT_EQ(
        send.Run({Table(1), "serial:" + pty.PortText(), Udp(udp.Port()), "--timeout", "0.3", "--quiet"}), 1);
    EXPECT_EQ(send.Out(), "");
    EXPECT_EQ(Lines(send.Err()).size(), 2u) << send.Err();
    EXPECT_EQ(send.Run({Table(1), "serial:" + pty.PortText(), Udp(udp.Port()), "--timeout", "0.3"}), 1);
    ::close(taken);
    ::close(holder);
    const std::string out = send.Out();
    EXPECT_NE(LineOf(out, "serial:" + pty.PortText())
                  .find("FAILED before row 1 of 1: the link never opened: " + pty.PortText() +
                        " is busy: another program holds it (fuser " + pty.PortText() + " shows which)"),
              std::string::npos)
        << out;
    EXPECT_NE(LineOf(out, Udp(udp.Port()))
                  .find("FAILED before row 1 of 1: the link never opened: local UDP port 1001, where the "
                        "scales answer, is in use "
                        "by another "
                        "program"),
              std::string::npos)
        << out;
    EXPECT_EQ(udp.ReadLog(), "");
    // A rate the driver does not take.
    EXPECT_EQ(send.Run({Table(1), "serial:" + pty.PortText() + "@60000000,7E2"}), 1);
    EXPECT_EQ(send.Out(),
              "serial:" + pty.PortText() +
                  "@60000000,7E2  FAILED before row 1 of 1: the link never opened: " + pty.PortText() +
                  " does not take 60000000 bit/s, 7E2 (check the rate and frame against the "
                  "scale's, and what the adapter supports)\n");
}

TEST_F(SendTest, AnIPv6AddressReachesATcpScaleAndSaysWhyNotOverUdp) {
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string tcp = "tcp:[::1]:" + std::to_string(ntohs(a.sin6_port));
    SendProcess send(dir_);
    send.Start({Table(1), tcp, "udp:[::1]:9", "--timeout", "5"});
    // The scale takes the start command and hangs up.
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    const int scale = ::accept(listener, nullptr, nullptr);
    std::string got(5, '\0');
    EXPECT_EQ(::recv(scale, got.data(), got.size(), MSG_WAITALL), 5);
    EXPECT_EQ(got, "SbP\r\n");
    ::close(scale);
    ::close(listener);
    EXPECT_EQ(send.Wait(), 1);
    EXPECT_EQ(LineOf(send.Out(), tcp), tcp + "  FAILED before row 1 of 1: the scale closed the connection");
    EXPECT_NE(LineOf(send.Out(), "udp:[::1]:9")
                  .find("FAILED before row 1 of 1: the link never opened: ::1 is an IPv6 address, and UDP "
                        "scales are reached over "
                        "IPv4, where they answer on local port 1001"),
              std::string::npos)
        << send.Out();
}

// A scale on 127.0.0.1 that the test plays itself; its port.
int Listen(int& listener) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TEST_F(SendTest, AFloodedReplyIsCutInTheLogAndTheReport) {
    int listener = -1;
    const std::string tcp = Tcp(Listen(listener));
    SendProcess send(dir_);
    send.Start({Table(1), tcp, "--retries", "0", "--log", Path("send.log")});
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    const int scale = ::accept(listener, nullptr, nullptr);
    std::string got(5, '\0');
    EXPECT_EQ(::recv(scale, got.data(), got.size(), MSG_WAITALL), 5);
    // One long line, then a thousand short ones.
    std::string reply = "Mx" + std::string(99996, 'y') + "\r\n";
    for (int i = 0; i < 1000; ++i)
        reply += "Mx\r\n";
    EXPECT_EQ(::send(scale, reply.data(), reply.size(), MSG_NOSIGNAL), static_cast<ssize_t>(reply.size()));
    EXPECT_EQ(send.Wait(), 1);
    ::close(scale);
    ::close(listener);
    const std::string line = LineOf(send.Out(), tcp);
    EXPECT_LT(line.size(), 400u) << line.substr(0, 400);
    EXPECT_NE(line.find("FAILED before row 1 of 1: the scale refused the start command \"SbP\": \"Mxyy"),
              std::string::npos)
        << line.substr(0, 400);
    EXPECT_NE(line.find(" bytes more instead of \"MbP\" after 1 tries"), std::string::npos)
        << line.substr(0, 400);
    const std::string log = SendProcess::Read(Path("send.log"));
    EXPECT_NE(log.find(tcp + " < Mx" + std::string(198, 'y') + "\u2026 99800 bytes more\n"),
              std::string::npos);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find(" < Mx\\r\\n\n", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_LE(lines, 19u);
    EXPECT_LT(log.size(), 5000u) << log.substr(0, 5000);
}

TEST_F(SendTest, AReportThatCannotBeWrittenIsAFailure) {
    SimProcess sim;
    sim.Start({"--tcp", "--log", sim.LogPath()});
    SendProcess send(dir_, "/bin/sh");
    EXPECT_EQ(send.Run({"-c", "exec \"$0\" \"$@\" >/dev/full", SCALEDB_BIN_DIR "/scaledb-send", Table(2),
                        Tcp(sim.Port())}),
              1);
    EXPECT_EQ(send.Err(), "scaledb-send: cannot write to standard output: No space left on device\n");
    EXPECT_EQ(sim.ReadLog(), Wire(2));
}

TEST_F(SendTest, MoreTargetsThanOpenFilesRaiseTheSoftLimitOrStopNamingIt) {
    SimProcess sim;
    sim.Start({"--tcp", "--count", "60"});
    std::vector<std::string> args = {"-c", "", SCALEDB_BIN_DIR "/scaledb-send", Table(1), "--quiet"};
    for (int port : sim.Ports(60))
        args.push_back(Tcp(port));
    SendProcess send(dir_, "/bin/sh");
    args[1] = "ulimit -n 64 && exec \"$0\" \"$@\"";
    EXPECT_EQ(send.Run(args), 2);
    EXPECT_EQ(send.Err(),
              "scaledb-send: 60 targets need about 152 open files, more than the limit of 64: raise "
              "it (ulimit -n 152), or send to fewer targets at a time\n");
    args[1] = "ulimit -S -n 64 && exec \"$0\" \"$@\"";
    EXPECT_EQ(send.Run(args), 0) << send.Err();
}

TEST(SendLinks, ASlowStartOfTheRunDoesNotUseUpTheConnectionBudget) {
    // Opening thousands of links takes longer than a short budget; a refused port still says so.
    const int port = ClosedPort();
    fleet::LinkSettings settings;
    settings.connectSeconds = 0.1;
    std::shared_ptr<TUdpShare> noUdp;
    auto link =
        fleet::MakeLink(scales::ParseTarget("tcp:127.0.0.1:" + std::to_string(port)), settings, noUdp);
    struct : TLinkListener {
        void LinkFailed(const TLinkFailure& failure) override { told = failure; }
        TLinkFailure told{TLinkFault::Closed, ""};
    } listener;
    std::string& why = listener.told.Message;
    link->SetListener(&listener);
    link->Open();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 100 && why.empty(); ++i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(why, TcpAdvice(ECONNREFUSED, "127.0.0.1", port));
    EXPECT_EQ(listener.told.Code, TLinkFault::ConnectionRefused);
    link->Close();
}

} // namespace
