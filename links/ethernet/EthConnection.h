#pragma once
// The window's scale link over Ethernet: a TCP link or a UDP link, toggled
// open and shut by its connect button.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "links/Link.h"
#include "links/ethernet/LinkState.h"
#include "links/ethernet/TcpLink.h"
#include "links/ethernet/UdpLink.h"

// All operations run on the GUI thread, and so do the listener's calls: received
// text and every report of the state (each change, and once after every Toggle).
// Failures are not reported: the window shows only the state.
class CEthConnection : private TLinkListener {
public:
    CEthConnection() = default;
    virtual ~CEthConnection();
    CEthConnection(const CEthConnection&) = delete;
    CEthConnection& operator=(const CEthConnection&) = delete;

    // Connects or disconnects; protocol 0 is TCP, 1 UDP, anything else does
    // nothing. Reports the state afterwards.
    void Toggle(std::uint8_t protocol, const std::string& host, std::int32_t port);
    // The link that commands of this protocol go through; none for another value.
    TLink* Link(std::uint8_t protocol);

    // Told LinkReceived and LinkStateChanged; set before the first Toggle.
    void SetListener(TLinkListener* listener) { FListener = listener; }
    // The UDP target, asked at every send and every received datagram; empty:
    // the host and port given to Toggle.
    std::function<TUdpTarget()> UdpTarget;

    std::uint8_t State() const { return FState; }
    const platform::TcpClient* TCPClient() const { return FTCPClient ? FTCPClient->Client() : nullptr; }
    const platform::UdpEndpoint* UDPServer() const { return FUDPServer ? FUDPServer->Endpoint() : nullptr; }

private:
    void ToggleTCP(const std::string& host, std::int32_t port);
    void ToggleUDP(const std::string& host, std::int32_t port);
    void ReportState();
    void LinkReceived(const std::string& text) override;
    void LinkStateChanged(std::uint8_t state) override;

    std::uint8_t FState = LinkDisconnected;
    std::unique_ptr<TTcpLink> FTCPClient;
    std::unique_ptr<TUdpLink> FUDPServer;
    TUdpTarget FToggleTarget;
    TLinkListener* FListener = nullptr;
};
