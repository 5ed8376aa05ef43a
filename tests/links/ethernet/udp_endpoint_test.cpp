// The UDP endpoint of the platform layer on its own, on ephemeral ports.
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

#include "EthTestSupport.h"
#include "platform/UdpEndpoint.h"

using ethtest::UdpPeer;
using platform::ESocketError;
using platform::UdpEndpoint;

namespace {

// An endpoint on a free port of 127.0.0.1 whose datagrams are collected.
class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        Endpoint.SetDefaultPort(0);
        Endpoint.AddBinding().Ip = "127.0.0.1";
        Endpoint.OnDatagram = [this](const std::string& bytes) {
            std::lock_guard lock(Mutex);
            Received.push_back(bytes);
        };
        Endpoint.Activate();
        ASSERT_TRUE(Endpoint.Active());
        LocalPort = Endpoint.BoundPort();
        ASSERT_NE(LocalPort, 0);
    }

    bool WaitForReceived(std::size_t n) {
        return ethtest::WaitUntil([&] {
            std::lock_guard lock(Mutex);
            return Received.size() >= n;
        });
    }

    UdpEndpoint Endpoint;
    std::uint16_t LocalPort = 0;
    std::mutex Mutex;
    std::vector<std::string> Received;
};

TEST(UdpAddress, AcceptsOnlyFourDecimalPartsUpTo255) {
    std::uint32_t a = 0;
    EXPECT_TRUE(UdpEndpoint::ParseAddress("127.0.0.1", a));
    EXPECT_EQ(a, htonl(0x7F000001));
    EXPECT_TRUE(UdpEndpoint::ParseAddress("255.255.255.255", a));
    EXPECT_EQ(a, 0xFFFFFFFFu);
    EXPECT_TRUE(UdpEndpoint::ParseAddress("10.0.0.010", a));
    EXPECT_EQ(a, htonl(0x0A00000A));
    for (const char* bad :
         {"300.1.1.1", "256.0.0.1", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "1..2.3", "a.b.c.d", "1.2.3.4 ",
          "-1.2.3.4", "0x7f.0.0.1", "99999999999.0.0.1", "", "localhost"})
        EXPECT_FALSE(UdpEndpoint::ParseAddress(bad, a)) << bad;
}

TEST_F(UdpEndpointTest, DeliversEachDatagramWholeOnTheListenerThread) {
    UdpPeer peer;
    ASSERT_TRUE(peer.SendTo(LocalPort, std::string("a\0b", 3)));
    ASSERT_TRUE(peer.SendTo(LocalPort, ""));
    ASSERT_TRUE(WaitForReceived(2));
    std::lock_guard lock(Mutex);
    EXPECT_EQ(Received[0], std::string("a\0b", 3));
    EXPECT_EQ(Received[1], "");
}

TEST_F(UdpEndpointTest, DatagramLongerThanTheReceiveBufferIsLostAndListeningGoesOn) {
    UdpPeer peer;
    ASSERT_TRUE(peer.SendTo(LocalPort, std::string(8193, 'x')));
    ASSERT_TRUE(peer.SendTo(LocalPort, std::string(8192, 'y')));
    ASSERT_TRUE(WaitForReceived(1));
    ethtest::Drain();
    std::lock_guard lock(Mutex);
    ASSERT_EQ(Received.size(), 1u);
    EXPECT_EQ(Received[0], std::string(8192, 'y'));
}

TEST_F(UdpEndpointTest, SendToRejectsBadAddressesAndOverlongDatagrams) {
    UdpPeer peer;
    EXPECT_THROW(Endpoint.SendTo("383.0.0.1", peer.Port, "x"), ESocketError);
    EXPECT_THROW(Endpoint.SendTo("127.0.0.1", peer.Port, std::string(65508, 'x')), ESocketError);
    Endpoint.SendTo("127.0.0.1", peer.Port + 0x10000, "ok");
    auto d = peer.Receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Bytes, "ok");
    EXPECT_EQ(d->FromPort, LocalPort);
}

TEST_F(UdpEndpointTest, DeactivateStopsListeningAndAllowsReactivation) {
    Endpoint.Deactivate();
    EXPECT_FALSE(Endpoint.Active());
    EXPECT_THROW(Endpoint.SendTo("127.0.0.1", 9, "x"), ESocketError);
    UdpPeer peer;
    peer.SendTo(LocalPort, "late");
    ethtest::Drain();
    {
        std::lock_guard lock(Mutex);
        EXPECT_TRUE(Received.empty());
    }
    Endpoint.ClearBindings();
    Endpoint.SetDefaultPort(LocalPort);
    Endpoint.AddBinding();
    Endpoint.Activate();
    EXPECT_EQ(Endpoint.BoundPort(), LocalPort);
}

TEST_F(UdpEndpointTest, ActivationFailureThrowsAndLeavesNothingBound) {
    std::uint16_t freePort;
    {
        UdpPeer probe;
        freePort = probe.Port;
    }
    UdpEndpoint second;
    second.SetDefaultPort(freePort);
    second.AddBinding(); // binds fine
    second.SetDefaultPort(LocalPort);
    second.AddBinding(); // every address on a port that is taken
    EXPECT_THROW(second.Activate(), ESocketError);
    EXPECT_FALSE(second.Active());
    EXPECT_TRUE(ethtest::UdpPortFree(freePort)) << "the first binding was left open";
}

} // namespace
