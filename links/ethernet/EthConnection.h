#pragma once
// The scale link over Ethernet: a TCP client or a UDP endpoint.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "links/ethernet/LinkState.h"
#include "links/ethernet/UdpShare.h"
#include "platform/TcpClient.h"

// Where UDP commands go, and whose datagrams are replies.
struct TUdpTarget {
    std::string Host; // dotted IPv4 address
    std::int32_t Port = 0;
};

// All operations run on the GUI thread, and so do the callbacks: received text
// and state changes leave through them, to whatever owner set them. Any number
// of links can live in one process; UDP links may share one endpoint.
class CEthConnection {
public:
    CEthConnection() = default;
    virtual ~CEthConnection();
    CEthConnection(const CEthConnection&) = delete;
    CEthConnection& operator=(const CEthConnection&) = delete;

    // Connects or disconnects; protocol 0 is TCP, 1 UDP, anything else does
    // nothing. Reports the state afterwards.
    void Toggle(std::uint8_t protocol, const std::string& host, std::int32_t port);
    // Sends the text as it is while the TCP client is connected.
    void SendTCP(const std::string& text);
    // Sends the command and a zero byte as one datagram to the UDP target
    // while the UDP endpoint is active.
    void SendUDP(const std::string& command);

    // Text received from the scale, in pieces as they arrive.
    std::function<void(const std::string& text)> OnReceive;
    // Every report of the state: each change, and once after every Toggle.
    // Runs inside the operation or event that caused it.
    std::function<void(std::uint8_t state)> OnStateChange;
    // The UDP target, asked at every send and every received datagram; empty:
    // the host and port given to Toggle.
    std::function<TUdpTarget()> UdpTarget;
    // UDP through an endpoint shared with other links. Without one, the link
    // opens an endpoint of its own. Either way only datagrams from the target's
    // address and port are replies. Set while disconnected.
    void SetUdpShare(std::shared_ptr<TUdpShare> share) { FUdpShare = std::move(share); }

    std::uint8_t State() const { return FState; }
    const platform::TcpClient* TCPClient() const { return FTCPClient.get(); }
    const platform::UdpEndpoint* UDPServer() const { return FUDPServer ? FUDPServer->Endpoint() : nullptr; }

private:
    void ToggleTCP(const std::string& host, std::int32_t port);
    void ToggleUDP(const std::string& host, std::int32_t port);
    void CloseUDP();
    void HandleConnect();
    void HandleDisconnect();
    void HandleRead();
    void HandleError(int& errorCode);
    void HandleDatagram(const std::string& text);
    bool AcceptsDatagram(std::uint32_t address, std::uint16_t port) const;
    TUdpTarget Target() const;
    void ReportState() const;

    std::uint8_t FState = 0;
    std::unique_ptr<platform::TcpClient> FTCPClient;
    std::shared_ptr<TUdpShare> FUDPServer; // the endpoint while this link has joined it
    int FUdpKey = 0;
    std::shared_ptr<TUdpShare> FUdpShare; // set by the owner, or none
    TUdpTarget FToggleTarget;
};
