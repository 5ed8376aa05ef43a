#include "send/SendTestUtil.h"

using namespace sendtest;

namespace {

TEST_F(SendTest, WorkedExampleOverPtyTcpAndUdpReachesEachScaleAsTheWindowSendsIt) {
    SimProcess pty, tcp, udp;
    pty.Start({"--serial", "--log", pty.LogPath()});
    tcp.Start({"--tcp", "--log", tcp.LogPath()});
    udp.Start({"--udp", "--log", udp.LogPath()});
    const std::string table = Write("example.csv", kWorkedExample);
    const std::vector<std::string> targets = {"serial:" + pty.PortText(), Tcp(tcp.Port()), Udp(udp.Port())};
    SendProcess send(dir_);
    std::vector<std::string> args = {table, "--log", Path("send.log")};
    args.insert(args.end(), targets.begin(), targets.end());
    WaitForUdp1001();
    ASSERT_EQ(send.Run(args), 0) << send.Out() << send.Err();

    EXPECT_EQ(pty.ReadLog(), kWorkedExampleWire);
    EXPECT_EQ(tcp.ReadLog(), kWorkedExampleWire);
    EXPECT_EQ(udp.ReadLog(), kWorkedExampleWire); // the simulator logs each datagram's command with CR LF
    EXPECT_TRUE(udp.WaitForLine("START 00"));     // the one-byte datagram first, as the window sends it

    // One final line per target, names padded to one column; nothing else on a non-terminal.
    const auto lines = Lines(send.Out());
    ASSERT_EQ(lines.size(), 3u) << send.Out();
    const std::size_t width = std::max({targets[0].size(), targets[1].size(), targets[2].size()});
    for (std::size_t i = 0; i < 3; ++i) {
        std::string name = targets[i];
        name.resize(width, ' ');
        EXPECT_EQ(lines[i].rfind(name + "  sent 2 of 2 rows in ", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].size() - 2), " s");
    }
    EXPECT_EQ(send.Err(), "");

    // The log: every command with its framing and every reply, per target, escaped.
    const std::string log = SendProcess::Read(Path("send.log"));
    for (const auto& needle : {Tcp(tcp.Port()) + " > Sr1001;Apples;2.50\\r\\n",
                               Tcp(tcp.Port()) + " < Mr\\r\\n", Udp(udp.Port()) + " > Sr1002;Pears;3.10\\0",
                               Udp(udp.Port()) + " < Me\\r\\n", "serial:" + pty.PortText() + " > Se\\r\\n"})
        EXPECT_NE(log.find(needle), std::string::npos) << needle << "\n" << log;
}

TEST_F(SendTest, TwentyScalesAtOnceTenTcpFiveUdpFivePtyAllGetTwoHundredRows) {
    constexpr int kRows = 200;
    SimProcess tcp, udp, pty;
    tcp.Start({"--tcp", "--count", "10", "--records", "200", "--log", tcp.TempDir() + "/%n.log"});
    udp.Start({"--udp", "--count", "5", "--records", "200", "--log", udp.TempDir() + "/%n.log"});
    pty.Start({"--serial", "--count", "5", "--records", "200", "--log", pty.TempDir() + "/%n.log"});
    std::vector<std::string> args = {Table(kRows), "--json"};
    for (int port : tcp.Ports(10))
        args.push_back(Tcp(port));
    for (int port : udp.Ports(5))
        args.push_back(Udp(port));
    for (const auto& device : pty.PortTexts(5))
        args.push_back("serial:" + device);
    ASSERT_EQ(args.size(), 22u);

    SendProcess send(dir_);
    WaitForUdp1001();
    ASSERT_EQ(send.Run(args), 0) << send.Err();
    const QJsonObject report = Json(send.Out());
    EXPECT_EQ(report["exit_status"].toInt(), 0);
    EXPECT_EQ(report["database"].toString(), "product");
    const QJsonArray targets = report["targets"].toArray();
    ASSERT_EQ(targets.size(), 20);
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QJsonObject t = targets[i].toObject();
        SCOPED_TRACE(t["target"].toString().toStdString());
        EXPECT_EQ(t["target"].toString().toStdString(), args[static_cast<std::size_t>(i) + 2]);
        EXPECT_EQ(t["outcome"].toString(), "sent");
        EXPECT_EQ(t["rows"].toInt(), kRows);
        EXPECT_EQ(t["acknowledged_rows"].toInt(), kRows);
        EXPECT_EQ(t["commands_sent"].toInt(), kRows + 2);
        EXPECT_EQ(t["resends"].toInt(), 0);
        EXPECT_TRUE(t["error"].isNull());
        EXPECT_GT(t["seconds"].toDouble(), 0);
    }
    // With --json the per-target lines go to standard error, so standard output stays JSON.
    EXPECT_EQ(Lines(send.Err()).size(), 20u);
    for (SimProcess* sim : {&tcp, &udp, &pty})
        for (int n = 1; n <= (sim == &tcp ? 10 : 5); ++n)
            EXPECT_TRUE(sim->WaitForLine(std::string("#").append(std::to_string(n)).append(" DONE")));
    EXPECT_EQ(SendProcess::Read(tcp.TempDir() + "/7.log"), Wire(kRows));
}

} // namespace
