#pragma once
// A scale reached by UDP: each command one datagram, each datagram from the
// scale's address and port one reply piece, through an endpoint on local port 1001.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "links/Link.h"
#include "links/ethernet/UdpShare.h"

// Where UDP commands go, and whose datagrams are replies.
struct TUdpTarget {
    std::string Host; // dotted IPv4 address
    std::int32_t Port = 0;
};

struct TUdpLinkOptions {
    std::string Host;      // names the scale in messages
    std::string Address;   // where datagrams go (the start signal always); "" when the host has none
    std::int32_t Port = 0; // its low 16 bits are used
    // An endpoint shared with other links; none: one of its own while open.
    std::shared_ptr<TUdpShare> Share;
    // When set, asked at every send and every datagram instead of Address and
    // Port; the address is then not checked when opening.
    std::function<TUdpTarget()> TargetNow;
};

// Open goes straight to LinkConnected (endpoint joined, start signal sent) or
// fails leaving LinkDisconnected; Close leaves the endpoint.
class TUdpLink : public TLink {
public:
    explicit TUdpLink(TUdpLinkOptions options);
    ~TUdpLink() override;

    void Open() override;
    void Send(const std::string& command) override;
    void Close() override;
    std::uint8_t State() const override { return FState; }

    // The endpoint while open; none otherwise.
    const platform::UdpEndpoint* Endpoint() const { return FShare ? FShare->Endpoint() : nullptr; }

private:
    TUdpTarget Target() const;
    bool IsFromScale(std::uint32_t address, std::uint16_t port) const;

    TUdpLinkOptions FOptions;
    std::uint8_t FState = LinkDisconnected;
    std::shared_ptr<TUdpShare> FShare; // while joined
    int FKey = 0;
    std::uint32_t FAddress = 0; // Address parsed, for a fixed target
};
