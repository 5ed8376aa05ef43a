#pragma once
// One UDP endpoint on the local port the scales answer to, shared by every
// UDP link of the process. A received datagram's text goes to the first
// link whose rule accepts its sender; a datagram nobody accepts is dropped.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/UdpEndpoint.h"

// Local port the UDP endpoint listens on; the scale answers there.
constexpr std::uint16_t UdpLocalPort = 1001;

class TUdpShare {
public:
    // Decides on the GUI thread whether a datagram from this sender (address
    // in network order, port) is meant for the link.
    using TAccepts = std::function<bool(std::uint32_t address, std::uint16_t port)>;
    using TReceive = std::function<void(const std::string& text)>;

    explicit TUdpShare(std::uint16_t localPort = UdpLocalPort);
    ~TUdpShare();
    TUdpShare(const TUdpShare&) = delete;
    TUdpShare& operator=(const TUdpShare&) = delete;

    // Adds a link; the first one opens the endpoint. Throws
    // platform::ESocketError when the port cannot be bound (nothing joined).
    int Join(TAccepts accepts, TReceive receive);
    // Removes a link; the last one closes the endpoint (and waits for its
    // listener). Received text still on its way to that link is dropped.
    void Leave(int key);

    bool Active() const { return FEndpoint && FEndpoint->Active(); }
    const platform::UdpEndpoint* Endpoint() const { return Active() ? FEndpoint.get() : nullptr; }
    // One datagram from the shared local port; throws as UdpEndpoint::SendTo.
    void SendTo(const std::string& ip, std::int32_t port, const std::string& bytes);

private:
    struct TMember {
        int Key;
        TAccepts Accepts;
        TReceive Receive;
    };
    void Deliver(const std::string& text, const std::string& ip, std::uint16_t port);

    std::uint16_t FLocalPort;
    std::unique_ptr<platform::UdpEndpoint> FEndpoint;
    std::vector<TMember> FMembers;
    int FNextKey = 1;
    QObject FContext; // received text is posted to it; dropped once it is gone
};
