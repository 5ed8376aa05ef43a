// The Ethernet link over TCP against a server in the test, on 127.0.0.1.
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/socket.h>

#include "EthTestSupport.h"
#include "links/ethernet/EthConnection.h"

using ethtest::ReplyBuffer;
using ethtest::StateRecorder;
using ethtest::WaitUntil;
using States = std::vector<int>;

namespace {

// The counter of every eventfd of the process, by descriptor; the event
// loop's wake-up is one of them.
std::map<std::string, std::string> EventfdCounters() {
    std::map<std::string, std::string> counters;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:[eventfd]") continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        for (std::string line; std::getline(info, line);)
            if (line.rfind("eventfd-count:", 0) == 0) counters[fd.path().filename().string()] = line;
    }
    return counters;
}

class TcpLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Server.listen(QHostAddress::LocalHost, 0));
        ServerPort = Server.serverPort();
        ethtest::Wire(Link);
        ethtest::ClearReplies();
    }

    // The server side of the link's connection, once accepted.
    QTcpSocket* Peer() {
        if (!FPeer && WaitUntil([&] { return Server.hasPendingConnections(); }))
            FPeer = Server.nextPendingConnection();
        return FPeer;
    }

    // Reads from the peer until `n` bytes came or the wait ends.
    std::string PeerRead(std::size_t n, int ms = 5000) {
        std::string got;
        QTcpSocket* p = Peer();
        if (!p) return got;
        WaitUntil(
            [&] {
                const QByteArray b = p->readAll();
                got.append(b.constData(), static_cast<std::size_t>(b.size()));
                return got.size() >= n;
            },
            ms);
        return got;
    }

    void Connect() {
        Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
        ASSERT_TRUE(Rec.WaitForCount(2));
        ASSERT_EQ(Rec.States, (States{1, 2}));
        ASSERT_NE(Peer(), nullptr);
    }

    StateRecorder Rec;
    QTcpServer Server;
    std::uint16_t ServerPort = 0;
    CEthConnection Link;

private:
    QTcpSocket* FPeer = nullptr;
};

TEST_F(TcpLinkTest, ConnectsThenDisconnectsReleasingTheClient) {
    Connect();
    EXPECT_EQ(Link.State(), LinkConnected);
    ASSERT_NE(Link.TCPClient(), nullptr);
    EXPECT_TRUE(Link.TCPClient()->Active());

    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    // The disconnected event runs inside the toggle: the state is final at once.
    EXPECT_EQ(Link.State(), LinkDisconnected);
    EXPECT_EQ(Link.TCPClient(), nullptr);
    ASSERT_TRUE(Rec.WaitForCount(4));
    EXPECT_EQ(Rec.States, (States{1, 2, 0, 0}));
    QTcpSocket* p = Peer();
    EXPECT_TRUE(WaitUntil([&] { return p->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(TcpLinkTest, StatesTravelAsSignExtendedWParamWithZeroLParam) {
    // Small states travel unchanged; lParam is always 0.
    Connect();
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    ASSERT_TRUE(Rec.WaitForCount(4));
    for (std::size_t i = 0; i < Rec.Raw.size(); ++i) {
        EXPECT_EQ(Rec.Raw[i], static_cast<platform::WPARAM>(Rec.States[i]));
        EXPECT_EQ(Rec.LParams[i], 0);
    }
}

TEST_F(TcpLinkTest, ACancelledAttemptNeverReachesTheLinkStateNorStaysConnected) {
    // An attempt that would succeed: nothing more is posted, no connection stays open.
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    EXPECT_EQ(Link.State(), LinkDisconnected);
    ethtest::Drain(300);
    EXPECT_EQ(Rec.States, (States{1, 0}));
    EXPECT_EQ(Link.State(), LinkDisconnected);
    if (Server.hasPendingConnections()) {
        QTcpSocket* late = Server.nextPendingConnection();
        EXPECT_TRUE(WaitUntil([&] { return late->state() == QAbstractSocket::UnconnectedState; }));
    }

    // An attempt that would fail, cancelled before the user switches to UDP:
    // the open endpoint's state stays.
    ASSERT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
    ethtest::UdpPeer scale;
    Server.close();
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    Link.Toggle(ProtocolUDP, "127.0.0.1", scale.Port);
    ethtest::Drain(300);
    EXPECT_EQ(Rec.States, (States{1, 0, 1, 0, 2}));
    EXPECT_EQ(Link.State(), LinkConnected);
    Link.Toggle(ProtocolUDP, "127.0.0.1", scale.Port);
    EXPECT_EQ(Link.State(), LinkDisconnected);
}

TEST_F(TcpLinkTest, AttemptWithNothingListeningEndsDisconnectedAndNextToggleRetries) {
    Server.close(); // nothing listens on the port any more
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    ASSERT_TRUE(Rec.WaitForCount(2));
    EXPECT_EQ(Rec.States, (States{1, 0}));
    EXPECT_EQ(Link.State(), LinkDisconnected);

    // The next toggle is a fresh attempt, which now succeeds.
    ASSERT_TRUE(Server.listen(QHostAddress::LocalHost, ServerPort));
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    ASSERT_TRUE(Rec.WaitForCount(4));
    EXPECT_EQ(Rec.States, (States{1, 0, 1, 2}));
    ethtest::Drain();
    EXPECT_EQ(Rec.States.size(), 4u);
}

TEST_F(TcpLinkTest, EmptyHostEndsTheAttemptAtOnce) {
    Link.Toggle(ProtocolTCP, "", ServerPort);
    EXPECT_EQ(Link.State(), LinkDisconnected);
    ASSERT_TRUE(Rec.WaitForCount(2));
    ethtest::Drain();
    EXPECT_EQ(Rec.States, (States{0, 0}));
}

TEST_F(TcpLinkTest, PeerClosingEndsTheLinkAndTheNextToggleReconnects) {
    Connect();
    Peer()->disconnectFromHost();
    ASSERT_TRUE(Rec.WaitForCount(3));
    EXPECT_EQ(Rec.States, (States{1, 2, 0}));
    EXPECT_FALSE(Link.TCPClient()->Active());

    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    ASSERT_TRUE(Rec.WaitForCount(5));
    EXPECT_EQ(Rec.States, (States{1, 2, 0, 1, 2}));
}

TEST_F(TcpLinkTest, PeerResettingEndsTheLinkLikeAClose) {
    Connect();
    QTcpSocket* p = Peer();
    linger hard{1, 0}; // close with RST
    ASSERT_EQ(setsockopt(static_cast<int>(p->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard),
              0);
    p->abort();
    ASSERT_TRUE(Rec.WaitForCount(3));
    EXPECT_EQ(Rec.States, (States{1, 2, 0}));
    EXPECT_EQ(Link.State(), LinkDisconnected);
    // Sending on the dead link is silently nothing.
    ethtest::Send(Link, ProtocolTCP, "Se");
    ethtest::Drain();
    EXPECT_EQ(Rec.States.size(), 3u);
}

TEST_F(TcpLinkTest, ACommandGoesOutFollowedByCrLf) {
    Connect();
    ethtest::Send(Link, ProtocolTCP, "SbP");
    EXPECT_EQ(PeerRead(5), "SbP\r\n");
    ethtest::Drain();
    EXPECT_EQ(PeerRead(1, 50), "");
}

TEST_F(TcpLinkTest, SendingACommandDoesNotWakeTheEventLoop) {
    Connect();
    ethtest::Drain();
    const auto before = EventfdCounters();
    ASSERT_FALSE(before.empty());
    ethtest::Send(Link, ProtocolTCP, "SbP");
    EXPECT_EQ(EventfdCounters(), before);
    EXPECT_EQ(PeerRead(5), "SbP\r\n");
}

TEST_F(TcpLinkTest, ALargeSendArrivesWholeAndInOrder) {
    Connect();
    // Far more than the socket takes at once; the peer reads only afterwards.
    std::string big;
    for (int i = 0; big.size() < 8u * 1024 * 1024; ++i)
        big += "Sr" + std::to_string(i) + ";a;b;c";
    ethtest::Send(Link, ProtocolTCP, big);
    ethtest::Send(Link, ProtocolTCP, "Se");
    const std::string got = PeerRead(big.size() + 6, 20000);
    ASSERT_EQ(got.size(), big.size() + 6);
    EXPECT_TRUE(got == big + "\r\nSe\r\n");
}

TEST_F(TcpLinkTest, DisconnectRightAfterALargeSendStillDeliversEveryByte) {
    Connect();
    const std::string big(4 * 1024 * 1024, 'x');
    ethtest::Send(Link, ProtocolTCP, big);
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    EXPECT_EQ(Link.State(), LinkDisconnected);
    const std::string got = PeerRead(big.size() + 2, 20000);
    EXPECT_EQ(got.size(), big.size() + 2);
    QTcpSocket* p = Peer();
    EXPECT_TRUE(WaitUntil([&] { return p->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(TcpLinkTest, ReceivedBytesReachTheReplyCollector) {
    Connect();
    Peer()->write("M");
    ASSERT_TRUE(WaitUntil([] { return ReplyBuffer() == "M"; }));
    Peer()->write("r\r");
    ASSERT_TRUE(WaitUntil([] { return ReplyBuffer() == "Mr\r"; }));
    ethtest::ClearReplies();
}

TEST_F(TcpLinkTest, SendWhileNotConnectedSendsNothing) {
    ethtest::Send(Link, ProtocolTCP, "SbP"); // no client at all
    Link.Toggle(ProtocolTCP, "127.0.0.1", ServerPort);
    ethtest::Send(Link, ProtocolTCP, "SbP"); // still connecting
    ASSERT_TRUE(Rec.WaitForCount(2));
    ASSERT_NE(Peer(), nullptr);
    ethtest::Send(Link, ProtocolTCP, "Se");
    EXPECT_EQ(PeerRead(4), "Se\r\n");
}

TEST_F(TcpLinkTest, PortAbove16BitsUsesItsLowBits) {
    QTcpServer low;
    if (!low.listen(QHostAddress::LocalHost, 4464)) GTEST_SKIP() << "port 4464 is in use";
    Link.Toggle(ProtocolTCP, "127.0.0.1", 70000);
    ASSERT_TRUE(Rec.WaitForCount(2));
    EXPECT_EQ(Rec.States, (States{1, 2}));
    EXPECT_TRUE(WaitUntil([&] { return low.hasPendingConnections(); }));
}

TEST_F(TcpLinkTest, OtherProtocolValuesChangeNothing) {
    Link.Toggle(2, "127.0.0.1", ServerPort);
    ethtest::Drain();
    EXPECT_TRUE(Rec.States.empty());
    EXPECT_EQ(Link.TCPClient(), nullptr);
    EXPECT_EQ(Link.UDPServer(), nullptr);
}

TEST(TcpLinkLifetime, DestroyingAConnectedLinkPostsDisconnected) {
    StateRecorder rec;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    auto link = std::make_unique<CEthConnection>();
    ethtest::Wire(*link);
    link->Toggle(ProtocolTCP, "127.0.0.1", server.serverPort());
    ASSERT_TRUE(rec.WaitForCount(2));
    link.reset();
    ASSERT_TRUE(rec.WaitForCount(3));
    EXPECT_EQ(rec.States, (States{1, 2, 0}));
    ethtest::Drain(); // nothing touches the freed link afterwards
    EXPECT_EQ(rec.States.size(), 3u);
}

} // namespace
