#include "EthConnection.h"

CEthConnection::~CEthConnection() {
    try {
        // A connected client still reports its disconnection.
        FTCPClient.reset();
        FUDPServer.reset();
    } catch (...) {
    }
}

void CEthConnection::Toggle(std::uint8_t protocol, const std::string& host, std::int32_t port) {
    if (protocol == ProtocolTCP)
        ToggleTCP(host, port);
    else if (protocol == ProtocolUDP)
        ToggleUDP(host, port);
    else
        return;
    ReportState();
}

TLink* CEthConnection::Link(std::uint8_t protocol) {
    if (protocol == ProtocolTCP) return FTCPClient.get();
    if (protocol == ProtocolUDP) return FUDPServer.get();
    return nullptr;
}

void CEthConnection::ToggleTCP(const std::string& host, std::int32_t port) {
    if (FTCPClient && (FTCPClient->Client() && FTCPClient->Client()->Active())) {
        FState = LinkDisconnecting;
        FTCPClient->Close(); // the disconnection is reported before this returns
        FState = FTCPClient->State();
    } else if (FState == LinkDisconnecting || FState == LinkConnecting) {
        FState = LinkDisconnected;
        if (FTCPClient) FTCPClient->Close();
    } else {
        // A fresh attempt, with a client of its own.
        FState = LinkConnecting;
        FTCPClient.reset();
        FTCPClient = std::make_unique<TTcpLink>(TTcpLinkOptions{host, host, port, std::nullopt});
        FTCPClient->SetListener(this);
        FTCPClient->Open();
    }
}

void CEthConnection::ToggleUDP(const std::string& host, std::int32_t port) {
    if (FUDPServer && FUDPServer->State() == LinkConnected) {
        FState = LinkDisconnected;
        FUDPServer->Close();
        FUDPServer.reset();
        return;
    }
    FToggleTarget = TUdpTarget{host, port};
    TUdpLinkOptions options;
    options.Host = host;
    options.Address = host;
    options.Port = port;
    options.TargetNow = [this] { return UdpTarget ? UdpTarget() : FToggleTarget; };
    FUDPServer.reset();
    FUDPServer = std::make_unique<TUdpLink>(std::move(options));
    FUDPServer->SetListener(this);
    FUDPServer->Open();
    FState = FUDPServer->State();
    if (FState != LinkConnected) FUDPServer.reset();
}

void CEthConnection::LinkReceived(const std::string& text) {
    if (FListener) FListener->LinkReceived(text);
}

void CEthConnection::LinkStateChanged(std::uint8_t state) {
    FState = state;
    ReportState();
}

void CEthConnection::ReportState() {
    if (FListener) FListener->LinkStateChanged(FState);
}
