#include "EthConnection.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "app/Global.h"
#include "app/ProcessData.h"
#include "platform/WinMsg.h"

namespace {

// A reply datagram carries at most this many bytes of text.
constexpr std::size_t kMaxDatagramText = 101;

} // namespace

CEthConnection::~CEthConnection() {
    try {
        if (FTCPClient && FTCPClient->Active()) FTCPClient->Deactivate();
        FTCPClient.reset();
        if (FUDPServer && FUDPServer->Active()) FUDPServer->Deactivate();
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
    PostState();
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
            FUDPServer->Deactivate();
            FUDPServer.reset();
        } catch (...) {
        }
        return;
    }
    try {
        FUDPServer.reset();
        FUDPServer = std::make_unique<platform::UdpEndpoint>();
        FUDPServer->SetReceiveBufferSize(8192);
        FUDPServer->ClearBindings();
        FUDPServer->SetDefaultPort(UdpLocalPort);
        FUDPServer->AddBinding();
        FUDPServer->OnDatagramFrom = [this](const std::string& bytes, const std::string& ip, std::uint16_t) {
            HandleDatagram(bytes, ip);
        };
        FUDPServer->Activate();
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
        FUDPServer->SendTo(Host, Port, datagram);
    } catch (...) {
    }
}

void CEthConnection::HandleConnect() {
    FState = LinkConnected;
    PostState();
}

void CEthConnection::HandleDisconnect() {
    FState = LinkDisconnected;
    PostState();
}

void CEthConnection::HandleRead() {
    const std::string text = FTCPClient ? FTCPClient->ReceiveText() : std::string();
    if (!text.empty()) ProcessReply(text);
}

void CEthConnection::HandleError(int& errorCode) {
    errorCode = 0;
}

void CEthConnection::HandleDatagram(const std::string& bytes, const std::string& ip) {
    if (bytes.empty()) return;
    std::string text = bytes.substr(0, bytes.find('\0'));
    if (text.size() > kMaxDatagramText) text.resize(kMaxDatagramText);
    if (text.empty()) return;
    // Posted, never awaited: deactivation on the GUI thread joins this thread.
    // Only the scale answers: another sender's datagram is not a reply piece
    // (the scale's source port is not known, so any port of its address is).
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app,
            [text, ip] {
                std::uint32_t from = 0, scale = 0;
                if (platform::UdpEndpoint::ParseAddress(ip, from) &&
                    platform::UdpEndpoint::ParseAddress(Host, scale) && from == scale)
                    ProcessReply(text);
            },
            Qt::QueuedConnection);
}

void CEthConnection::PostState() const {
    // The state travels sign-extended from 8 bits.
    const auto wParam =
        static_cast<platform::WPARAM>(static_cast<std::intptr_t>(static_cast<std::int8_t>(FState)));
    platform::PostMessage(MainWindowHandle, WM_LINKSTATE, wParam, 0);
}
