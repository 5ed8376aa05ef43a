#pragma once
// The scale link over Ethernet: a TCP client or a UDP endpoint.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/TcpClient.h"
#include "platform/UdpEndpoint.h"

// Local port the UDP endpoint listens on; the scale answers there.
constexpr std::uint16_t UdpLocalPort = 1001;

// Every state change is posted to MainWindowHandle as WM_LINKSTATE. All
// operations run on the GUI thread; received datagrams are handed to
// ProcessReply there by a posted event.
class CEthConnection {
public:
    CEthConnection() = default;
    virtual ~CEthConnection();
    CEthConnection(const CEthConnection&) = delete;
    CEthConnection& operator=(const CEthConnection&) = delete;

    // Connects or disconnects; protocol 0 is TCP, 1 UDP, anything else does nothing.
    void Toggle(std::uint8_t protocol, const std::string& host, std::int32_t port);
    // Sends the text as it is while the TCP client is connected.
    void SendTCP(const std::string& text);
    // Sends the command and a zero byte as one datagram to Host:Port while
    // the UDP endpoint is active.
    void SendUDP(const std::string& command);

    std::uint8_t State() const { return FState; }
    const platform::TcpClient* TCPClient() const { return FTCPClient.get(); }
    const platform::UdpEndpoint* UDPServer() const { return FUDPServer.get(); }

private:
    void ToggleTCP(const std::string& host, std::int32_t port);
    void ToggleUDP(const std::string& host, std::int32_t port);
    void HandleConnect();
    void HandleDisconnect();
    void HandleRead();
    void HandleError(int& errorCode);
    void HandleDatagram(const std::string& bytes, const std::string& ip); // listener thread
    void PostState() const;

    std::uint8_t FState = 0;
    std::unique_ptr<platform::TcpClient> FTCPClient;
    std::unique_ptr<platform::UdpEndpoint> FUDPServer;
};
