// The words and codes of link failures, and the TCP link's failures as the
// command sees them, on 127.0.0.1.
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <gtest/gtest.h>
#include <limits>

#include "EthTestSupport.h"
#include "links/LinkTestSupport.h"
#include "links/ethernet/TcpLink.h"
#include "platform/Paths.h"

using ethtest::WaitUntil;

namespace {

TEST(TcpLinkFailures, RefusedNamelessAndClosedAreToldApart) {
    // Nothing listens: refused, with the words for it.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const int port = server.serverPort();
    server.close();
    {
        TTcpLink link(TTcpLinkOptions{"127.0.0.1", "127.0.0.1", port, 20.0});
        Told told;
        link.SetListener(&told);
        link.Open();
        ASSERT_TRUE(WaitUntil([&] { return !told.failures.empty(); }));
        EXPECT_EQ(told.failures[0].Code, TLinkFault::ConnectionRefused);
        EXPECT_EQ(told.failures[0].Message, TcpAdvice(ECONNREFUSED, "127.0.0.1", port));
        EXPECT_EQ(told.states, (std::vector<int>{LinkDisconnected}));
        EXPECT_EQ(told.opened, 0);
    }
    {
        // A host the look-up found no address for is not tried.
        TTcpLink link(TTcpLinkOptions{"scale7.shop", "", port, 20.0});
        Told told;
        link.SetListener(&told);
        link.Open();
        ASSERT_EQ(told.failures.size(), 1u);
        EXPECT_EQ(told.failures[0].Code, TLinkFault::NameNotFound);
        EXPECT_EQ(link.Client(), nullptr);
    }
    // Open, then the scale goes away: the link tells it broke, once.
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    TTcpLink link(TTcpLinkOptions{"127.0.0.1", "127.0.0.1", server.serverPort(), std::nullopt});
    Told told;
    link.SetListener(&told);
    link.Open();
    ASSERT_TRUE(WaitUntil([&] { return told.opened == 1 && server.hasPendingConnections(); }));
    QTcpSocket* peer = server.nextPendingConnection();
    link.Send("SbP");
    EXPECT_TRUE(WaitUntil([&] { return peer->bytesAvailable() >= 5; }));
    EXPECT_EQ(peer->readAll().toStdString(), "SbP\r\n");
    EXPECT_EQ(told.Wrote(), "SbP\r\n");
    peer->write("MbP\r\n");
    ASSERT_TRUE(WaitUntil([&] { return told.got == "MbP\r\n"; }));
    peer->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return !told.failures.empty(); }));
    EXPECT_EQ(told.failures[0].Code, TLinkFault::Closed);
    EXPECT_EQ(told.failures[0].Message, "the scale closed the connection");
    EXPECT_EQ(told.states, (std::vector<int>{LinkConnected, LinkDisconnected}));
    link.Close();
    EXPECT_EQ(told.failures.size(), 1u);
}

TEST(TcpLinkFailures, ClosingAnOpenLinkReportsNoFailure) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    TTcpLink link(TTcpLinkOptions{"127.0.0.1", "127.0.0.1", server.serverPort(), std::nullopt});
    Told told;
    link.SetListener(&told);
    link.Open();
    ASSERT_TRUE(WaitUntil([&] { return told.opened == 1; }));
    link.Close();
    EXPECT_EQ(link.State(), LinkDisconnected);
    EXPECT_EQ(told.states, (std::vector<int>{LinkConnected, LinkDisconnected}));
    EXPECT_TRUE(told.failures.empty());
}

TEST(LinkFraming, EachLinkKindFramesACommandItsOwnWay) {
    EXPECT_EQ(LineFrame("SbP"), "SbP\r\n");
    EXPECT_EQ(DatagramFrame("SbP"), std::string("SbP\0", 4));
    EXPECT_EQ(UdpStartSignal(), std::string(1, '\0'));
}

TEST(LinkFailureCodes, EachSystemErrorHasItsCode) {
    EXPECT_EQ(SerialOpenFault(EACCES), TLinkFault::DeviceDenied);
    EXPECT_EQ(SerialOpenFault(EBUSY), TLinkFault::DeviceBusy);
    EXPECT_EQ(SerialOpenFault(ENOENT), TLinkFault::DeviceMissing);
    EXPECT_EQ(SerialOpenFault(EIO), TLinkFault::DeviceFailed);
    EXPECT_EQ(TcpFault(ECONNREFUSED), TLinkFault::ConnectionRefused);
    EXPECT_EQ(TcpFault(EHOSTUNREACH), TLinkFault::Unreachable);
    EXPECT_EQ(TcpFault(ETIMEDOUT), TLinkFault::ConnectTimedOut);
    EXPECT_EQ(UdpBindFault(EADDRINUSE), TLinkFault::UdpPortBusy);
    EXPECT_EQ(UdpBindFault(EACCES), TLinkFault::UdpPortDenied);
    EXPECT_EQ(UdpBindFault(EINVAL), TLinkFault::UdpPortFailed);
}

TEST(SendAdvice, EachFailureSaysWhatToDo) {
    EXPECT_EQ(SerialOpenAdvice("/dev/ttyUSB0", EACCES, ""),
              "permission denied on /dev/ttyUSB0: add the user to the dialout group (sudo usermod -aG "
              "dialout $USER) "
              "and log in again");
    EXPECT_EQ(SerialOpenAdvice("/dev/ttyUSB0", ENOENT, ""),
              "no serial port /dev/ttyUSB0 (is the adapter plugged in? ls /dev/serial/by-id/ lists them)");
    // Refused, unreachable and a name that does not exist are told apart.
    const std::string refused = TcpAdvice(ECONNREFUSED, "10.0.0.7", 4001);
    const std::string unreachable = TcpAdvice(EHOSTUNREACH, "10.0.0.7", 4001);
    const std::string unknown = NameNotFoundAdvice("scale7.shop");
    EXPECT_EQ(refused, "connection refused by 10.0.0.7:4001 (is the scale on, and is 4001 its port?)");
    EXPECT_EQ(unreachable, "10.0.0.7 is unreachable (check the address, the cable and the network)");
    EXPECT_EQ(unknown, "name not found: scale7.shop (check the name, or give the scale's address)");
    // The connection budget is --timeout × (--retries + 1): a large one is clamped, never overflowed.
    EXPECT_EQ(ConnectMilliseconds(0.3), 300);
    EXPECT_EQ(ConnectMilliseconds(86400.0 * 1000001), std::numeric_limits<int>::max());
    EXPECT_EQ(ConnectTimeoutAdvice("10.0.0.7", 4001, 0.5),
              "no answer from 10.0.0.7:4001 within 0.5 s (check the address)");
    EXPECT_EQ(ConnectTimeoutAdvice("10.0.0.7", 4001, 86400.0 * 1000001),
              "no answer from 10.0.0.7:4001 within 2147483.647 s (check the address)");
    const std::string denied = UdpBindAdvice(EACCES);
    EXPECT_NE(denied.find("cap_net_bind_service"), std::string::npos);
    // It names the program that must listen, which is the window when its board sends.
    EXPECT_NE(denied.find("sudo setcap cap_net_bind_service=+ep " + platform::ExePath()), std::string::npos)
        << denied;
    EXPECT_EQ(denied.find("scaledb-send"), std::string::npos) << denied;
}

} // namespace
