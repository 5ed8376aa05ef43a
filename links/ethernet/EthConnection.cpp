#include "EthConnection.h"

CEthConnection::~CEthConnection() {
    try {
        if (FTCPClient && FTCPClient->Active()) FTCPClient->Deactivate();
        FTCPClient.reset();
        CloseUDP();
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

void CEthConnection::ToggleTCP(const std::string& host, std::int32_t port) {
    if (FTCPClient && FTCPClient->Active()) {
        try {
            FState = LinkDisconnecting;
            FTCPClient->Deactivate(); // HandleDisconnect runs before this returns
            FTCPClient.reset();
        } catch (...) {
        }
    } else if (FState == LinkDisconnecting || FState == LinkConnecting) {
        // A cancelled attempt is ended here: a late failure or success of it
        // must not overwrite the state of whatever link the user opens next,
        // nor leave a connection open behind the user's back.
        FState = LinkDisconnected;
        try {
            FTCPClient.reset();
        } catch (...) {
        }
    } else {
        try {
            FState = LinkConnecting;
            FTCPClient.reset();
            FTCPClient = std::make_unique<platform::TcpClient>();
            FTCPClient->OnConnect = [this] { HandleConnect(); };
            FTCPClient->OnDisconnect = [this] { HandleDisconnect(); };
            FTCPClient->OnRead = [this] { HandleRead(); };
            FTCPClient->OnError = [this](int& code) { HandleError(code); };
            FTCPClient->SetHost(host);
            FTCPClient->SetPort(port);
            FTCPClient->Activate();
        } catch (...) {
        }
    }
}

void CEthConnection::ToggleUDP(const std::string& host, std::int32_t port) {
    if (FUDPServer && FUDPServer->Active()) {
        try {
            FState = LinkDisconnected;
            CloseUDP();
        } catch (...) {
        }
        return;
    }
    FToggleTarget = TUdpTarget{host, port};
    try {
        CloseUDP();
        auto share = FUdpShare ? FUdpShare : std::make_shared<TUdpShare>();
        FUdpKey = share->Join(
            [this](std::uint32_t address, std::uint16_t from) { return AcceptsDatagram(address, from); },
            [this](const std::string& text) { HandleDatagram(text); });
        FUDPServer = std::move(share);
        FState = LinkConnected;
    } catch (...) {
        // Port taken or not permitted: the link stays down.
        FUDPServer.reset();
        FState = LinkDisconnected;
        return;
    }
    try {
        // Lets the scale learn where to answer.
        FUDPServer->SendTo(host, port, std::string(1, '\0'));
    } catch (...) {
    }
}

void CEthConnection::CloseUDP() {
    if (!FUDPServer) return;
    std::shared_ptr<TUdpShare> share = std::move(FUDPServer);
    share->Leave(FUdpKey);
    FUdpKey = 0;
}

void CEthConnection::SendTCP(const std::string& text) {
    if (!FTCPClient || !FTCPClient->Active()) return;
    try {
        FTCPClient->SendText(text);
    } catch (...) {
    }
}

void CEthConnection::SendUDP(const std::string& command) {
    if (!FUDPServer || !FUDPServer->Active()) return;
    try {
        std::string datagram = command;
        datagram.push_back('\0');
        const TUdpTarget target = Target();
        FUDPServer->SendTo(target.Host, target.Port, datagram);
    } catch (...) {
    }
}

TUdpTarget CEthConnection::Target() const {
    return UdpTarget ? UdpTarget() : FToggleTarget;
}

bool CEthConnection::AcceptsDatagram(std::uint32_t address, std::uint16_t port) const {
    // Only the scale answers, from the address and port its commands go to:
    // another sender's datagram is not a reply piece.
    const TUdpTarget target = Target();
    std::uint32_t scale = 0;
    if (!platform::UdpEndpoint::ParseAddress(target.Host, scale) || scale != address) return false;
    return port == static_cast<std::uint16_t>(target.Port & 0xFFFF);
}

void CEthConnection::HandleConnect() {
    FState = LinkConnected;
    ReportState();
}

void CEthConnection::HandleDisconnect() {
    FState = LinkDisconnected;
    ReportState();
}

void CEthConnection::HandleRead() {
    const std::string text = FTCPClient ? FTCPClient->ReceiveText() : std::string();
    if (!text.empty() && OnReceive) OnReceive(text);
}

void CEthConnection::HandleError(int& errorCode) {
    errorCode = 0;
}

void CEthConnection::HandleDatagram(const std::string& text) {
    if (OnReceive) OnReceive(text);
}

void CEthConnection::ReportState() const {
    if (OnStateChange) OnStateChange(FState);
}
