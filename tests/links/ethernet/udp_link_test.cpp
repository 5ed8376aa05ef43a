// The Ethernet link over UDP: local port 1001 and a peer socket on 127.0.0.1.
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>

#include "EthTestSupport.h"
#include "links/LinkTestSupport.h"
#include "links/ethernet/EthConnection.h"

using ethtest::Host;
using ethtest::Port;
using ethtest::ReplyBuffer;
using ethtest::StateRecorder;
using ethtest::UdpPeer;
using ethtest::WaitUntil;
using States = std::vector<int>;

namespace {

TUdpLinkOptions SharedTo(std::shared_ptr<TUdpShare> share, std::uint16_t port) {
    TUdpLinkOptions o;
    o.Host = "127.0.0.1";
    o.Address = "127.0.0.1";
    o.Port = port;
    o.Share = std::move(share);
    return o;
}

class UdpLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Peer.Bound);
        ASSERT_TRUE(ethtest::UdpPortFree(UdpLocalPort)) << "another process holds UDP port 1001";
        Host = "127.0.0.1";
        Port = Peer.Port;
        ethtest::Wire(*Link);
        ethtest::ClearReplies();
    }
    void TearDown() override {
        Link.reset();
        EXPECT_TRUE(ethtest::UdpPortFree(UdpLocalPort)) << "the link left port 1001 bound";
        Host.clear();
        Port = 0;
        ethtest::ClearReplies();
    }

    // Opens the endpoint and takes the start datagram off the peer.
    void Open() {
        const std::size_t before = Rec.States.size();
        Link->Toggle(ProtocolUDP, Host, Port);
        ASSERT_TRUE(Rec.WaitForCount(before + 1));
        ASSERT_EQ(Rec.States.back(), 2);
        auto start = Peer.Receive();
        ASSERT_TRUE(start.has_value());
        ASSERT_EQ(start->Bytes, std::string(1, '\0'));
        ASSERT_EQ(start->FromPort, UdpLocalPort);
    }

    // Sends to the link's port 1001 and waits until the collector holds `expected`.
    bool Deliver(const std::string& bytes, const std::string& expected) {
        return Peer.SendTo(UdpLocalPort, bytes) && WaitUntil([&] { return ReplyBuffer() == expected; });
    }

    StateRecorder Rec;
    UdpPeer Peer;
    std::unique_ptr<CEthConnection> Link = std::make_unique<CEthConnection>();
};

TEST_F(UdpLinkTest, OpenSendsOneZeroByteThenCloseReleasesThePort) {
    Open();
    EXPECT_EQ(Link->State(), LinkConnected);
    ASSERT_NE(Link->UDPServer(), nullptr);
    EXPECT_FALSE(ethtest::UdpPortFree(UdpLocalPort));

    Link->Toggle(ProtocolUDP, Host, Port);
    EXPECT_EQ(Link->UDPServer(), nullptr);
    EXPECT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
    ASSERT_TRUE(Rec.WaitForCount(2));
    EXPECT_EQ(Rec.States, (States{2, 0}));
}

TEST_F(UdpLinkTest, CommandsGoOutAsOneDatagramEndingInAZeroByte) {
    Open();
    ethtest::Send(*Link, ProtocolUDP, "SbP");
    auto d = Peer.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, std::string("SbP\0", 4));

    // Records of wide tables exceed 99 bytes: they still go out whole.
    const std::string record = "Sr" + std::string(148, 'a');
    ethtest::Send(*Link, ProtocolUDP, record);
    d = Peer.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes.size(), 151u);
    EXPECT_EQ(d->Bytes, record + std::string(1, '\0'));
}

TEST_F(UdpLinkTest, SendsGoToHostAndPortAsTheyAreAtSendTime) {
    Open();
    UdpPeer other;
    Port = other.Port;
    ethtest::Send(*Link, ProtocolUDP, "Se");
    auto d = other.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, std::string("Se\0", 3));
}

TEST_F(UdpLinkTest, MalformedHostSendsNothing) {
    Open();
    // Each of these, read loosely (parts modulo 256, extra parts ignored,
    // missing parts zero), would reach the peer on 127.0.0.1.
    for (const char* bad : {"383.0.0.1", "127.0.0.1.9", "127.0.0.1 ", " 127.0.0.1", "127.0.0.01x", "127.0.1",
                            "127..0.1", "+127.0.0.1", ""}) {
        Host = bad;
        ethtest::Send(*Link, ProtocolUDP, "SbP");
    }
    Host = "127.0.0.1";
    ethtest::Send(*Link, ProtocolUDP, "Se");
    auto d = Peer.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, std::string("Se\0", 3)) << "a malformed address was sent to";
}

TEST_F(UdpLinkTest, ReceivedDatagramsReachTheReplyCollectorTrimmedToTheirText) {
    Open();
    EXPECT_TRUE(Deliver(std::string("Mr\0junk", 7), "Mr"));
    ethtest::ClearReplies();

    const std::string long150(150, 'k');
    EXPECT_TRUE(Deliver(long150, long150.substr(0, 101)));
    ethtest::ClearReplies();

    // Neither an empty datagram nor one starting with a zero byte adds text;
    // the marker after them proves they were handled first.
    ASSERT_TRUE(Peer.SendTo(UdpLocalPort, ""));
    ASSERT_TRUE(Peer.SendTo(UdpLocalPort, std::string("\0Mr", 3)));
    EXPECT_TRUE(Deliver("Z", "Z"));
    ethtest::ClearReplies();
}

TEST_F(UdpLinkTest, OnlyDatagramsFromTheScalesAddressAndPortAreReplies) {
    Open();
    // Another port of the scale's address is not the scale: the marker after
    // its datagram proves it was handled first.
    UdpPeer otherPort;
    ASSERT_TRUE(otherPort.SendTo(UdpLocalPort, "Mr"));
    EXPECT_TRUE(Deliver("Z", "Z"));
    ethtest::ClearReplies();
    // Another address is not the scale: for the next datagram the scale is
    // elsewhere (nothing is sent there), for the one after it is back.
    int asked = 0;
    Link->UdpTarget = [&] { return TUdpTarget{asked++ == 0 ? "127.0.0.3" : "127.0.0.1", Port}; };
    ASSERT_TRUE(Peer.SendTo(UdpLocalPort, "Mr"));
    EXPECT_TRUE(Deliver("Z", "Z"));
    EXPECT_EQ(asked, 2);
    ethtest::ClearReplies();
}

TEST_F(UdpLinkTest, PiecesAreHandedOverInArrivalOrder) {
    Open();
    ASSERT_TRUE(Peer.SendTo(UdpLocalPort, "M"));
    ASSERT_TRUE(Peer.SendTo(UdpLocalPort, "b"));
    EXPECT_TRUE(Deliver("P\r", "MbP\r"));
}

TEST_F(UdpLinkTest, DatagramsAfterCloseAreNotReceived) {
    Open();
    Link->Toggle(ProtocolUDP, Host, Port);
    Peer.SendTo(UdpLocalPort, "Mr");
    ethtest::Drain();
    EXPECT_EQ(ReplyBuffer(), "");
}

TEST_F(UdpLinkTest, SendWhileClosedSendsNothing) {
    ethtest::Send(*Link, ProtocolUDP, "SbP");
    EXPECT_FALSE(Peer.Receive(200).has_value());
}

TEST_F(UdpLinkTest, PortAbove16BitsUsesItsLowBits) {
    UdpPeer low(4464);
    if (!low.Bound) GTEST_SKIP() << "port 4464 is in use";
    Link->Toggle(ProtocolUDP, Host, 70000);
    auto d = low.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, std::string(1, '\0'));
    Port = 70000;
    ethtest::Send(*Link, ProtocolUDP, "SbP");
    d = low.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, std::string("SbP\0", 4));
}

TEST_F(UdpLinkTest, TakenLocalPortLeavesTheLinkDisconnected) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(UdpLocalPort);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    Link->Toggle(ProtocolUDP, Host, Port);
    EXPECT_EQ(Link->State(), LinkDisconnected);
    EXPECT_EQ(Link->UDPServer(), nullptr);
    ASSERT_TRUE(Rec.WaitForCount(1));
    EXPECT_EQ(Rec.States, (States{0}));
    EXPECT_FALSE(Peer.Receive(200).has_value()); // no start datagram
    // The command's link is told why.
    TUdpLink link(SharedTo(nullptr, Peer.Port));
    Told told;
    link.SetListener(&told);
    link.Open();
    EXPECT_EQ(link.State(), LinkDisconnected);
    ASSERT_EQ(told.failures.size(), 1u);
    EXPECT_EQ(told.failures[0].Code, TLinkFault::UdpPortBusy);
    EXPECT_EQ(told.failures[0].Message, UdpBindAdvice(EADDRINUSE));
    EXPECT_TRUE(told.wrote.empty()) << "no start signal without an endpoint";
    close(fd);

    // Once the port is free the next toggle opens the endpoint.
    Open();
}

TEST_F(UdpLinkTest, DestroyingAnOpenLinkFreesThePort) {
    Open();
    Link.reset();
    EXPECT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
}

} // namespace

namespace {

TEST(UdpSharedEndpoint, EachLinkGetsOnlyItsOwnScalesDatagrams) {
    ASSERT_TRUE(ethtest::UdpPortFree(UdpLocalPort)) << "another process holds UDP port 1001";
    auto share = std::make_shared<TUdpShare>();
    UdpPeer scaleA, scaleB, stranger;
    TUdpLink linkA(SharedTo(share, scaleA.Port)), linkB(SharedTo(share, scaleB.Port));
    Told toldA, toldB;
    linkA.SetListener(&toldA);
    linkB.SetListener(&toldB);
    linkA.Open();
    linkB.Open();
    ASSERT_EQ(linkA.State(), LinkConnected);
    ASSERT_EQ(linkB.State(), LinkConnected);
    EXPECT_EQ(toldA.opened, 1);
    for (UdpPeer* scale : {&scaleA, &scaleB}) {
        auto start = scale->Receive();
        ASSERT_TRUE(start.has_value());
        EXPECT_EQ(start->Bytes, std::string(1, '\0'));
        EXPECT_EQ(start->FromPort, UdpLocalPort);
    }
    linkA.Send("SbP");
    linkB.Send("SbU");
    EXPECT_EQ(scaleA.Receive()->Bytes, std::string("SbP\0", 4));
    EXPECT_EQ(scaleB.Receive()->Bytes, std::string("SbU\0", 4));
    // What the log is told is what the scale got.
    EXPECT_EQ(toldA.wrote, (std::vector<std::string>{std::string(1, '\0'), std::string("SbP\0", 4)}));

    // The sender's address and port pick the link; a stranger's datagram is dropped.
    ASSERT_TRUE(stranger.SendTo(UdpLocalPort, "S"));
    ASSERT_TRUE(scaleB.SendTo(UdpLocalPort, "B"));
    ASSERT_TRUE(scaleA.SendTo(UdpLocalPort, "A"));
    ASSERT_TRUE(WaitUntil([&] { return toldA.got == "A" && toldB.got == "B"; }));

    // The endpoint stays open while one link still uses it.
    linkA.Close();
    EXPECT_EQ(linkA.State(), LinkDisconnected);
    EXPECT_FALSE(ethtest::UdpPortFree(UdpLocalPort));
    ASSERT_TRUE(scaleA.SendTo(UdpLocalPort, "a"));
    ASSERT_TRUE(scaleB.SendTo(UdpLocalPort, "b"));
    ASSERT_TRUE(WaitUntil([&] { return toldB.got == "Bb"; }));
    EXPECT_EQ(toldA.got, "A");
    linkB.Close();
    EXPECT_TRUE(ethtest::UdpPortFree(UdpLocalPort));
    EXPECT_TRUE(toldA.failures.empty());
}

TEST(UdpLinkFailures, NoAddressAndAnIPv6AddressAreRefusedBeforeBinding) {
    UdpPeer scale;
    // No address, and an IPv6 one: refused before any port is bound.
    TUdpLinkOptions none = SharedTo(nullptr, scale.Port);
    none.Host = "scale7.shop";
    none.Address = "";
    TUdpLinkOptions v6 = SharedTo(nullptr, scale.Port);
    v6.Host = v6.Address = "::1";
    for (auto& [options, code] :
         {std::pair{none, TLinkFault::NameNotFound}, std::pair{v6, TLinkFault::UdpIPv6}}) {
        TUdpLink link(options);
        Told told;
        link.SetListener(&told);
        link.Open();
        EXPECT_EQ(link.State(), LinkDisconnected);
        ASSERT_EQ(told.failures.size(), 1u);
        EXPECT_EQ(told.failures[0].Code, code);
        EXPECT_EQ(told.opened, 0);
    }
}

} // namespace
