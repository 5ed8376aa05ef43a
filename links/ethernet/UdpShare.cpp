#include "UdpShare.h"

#include <QMetaObject>
#include <algorithm>
#include <cerrno>

namespace {

// A reply datagram carries at most this many bytes of text.
constexpr std::size_t kMaxDatagramText = 101;

} // namespace

TUdpShare::TUdpShare(std::uint16_t localPort) : FLocalPort(localPort) {}

TUdpShare::~TUdpShare() {
    try {
        if (FEndpoint) FEndpoint->Deactivate();
    } catch (...) {
    }
}

int TUdpShare::Join(TAccepts accepts, TReceive receive) {
    if (!Active()) {
        auto endpoint = std::make_unique<platform::UdpEndpoint>();
        endpoint->SetReceiveBufferSize(8192);
        endpoint->ClearBindings();
        endpoint->SetDefaultPort(FLocalPort);
        endpoint->AddBinding();
        endpoint->OnDatagramFrom = [this](const std::string& bytes, const std::string& ip,
                                          std::uint16_t port) {
            // Listener thread: only the text is taken here.
            if (bytes.empty()) return;
            std::string text = bytes.substr(0, bytes.find('\0'));
            if (text.size() > kMaxDatagramText) text.resize(kMaxDatagramText);
            if (text.empty()) return;
            // Posted, never awaited: closing on the GUI thread joins this thread.
            QMetaObject::invokeMethod(
                &FContext, [this, text, ip, port] { Deliver(text, ip, port); }, Qt::QueuedConnection);
        };
        endpoint->Activate(); // throws: nothing joined
        FEndpoint = std::move(endpoint);
    }
    const int key = FNextKey++;
    FMembers.push_back({key, std::move(accepts), std::move(receive)});
    return key;
}

void TUdpShare::Leave(int key) {
    FMembers.erase(
        std::remove_if(FMembers.begin(), FMembers.end(), [key](const TMember& m) { return m.Key == key; }),
        FMembers.end());
    if (FMembers.empty() && FEndpoint) {
        FEndpoint->Deactivate();
        FEndpoint.reset();
    }
}

void TUdpShare::SendTo(const std::string& ip, std::int32_t port, const std::string& bytes) {
    if (!Active()) throw platform::ESocketError("The endpoint is not active", ENOTCONN);
    FEndpoint->SendTo(ip, port, bytes);
}

void TUdpShare::Deliver(const std::string& text, const std::string& ip, std::uint16_t port) {
    std::uint32_t address = 0;
    if (!platform::UdpEndpoint::ParseAddress(ip, address)) return;
    for (const TMember& m : FMembers) {
        if (!m.Accepts || !m.Accepts(address, port)) continue;
        // The handler may leave (and so change FMembers): copy it first.
        const TReceive receive = m.Receive;
        if (receive) receive(text);
        return;
    }
}
