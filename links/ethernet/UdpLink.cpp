#include "UdpLink.h"

TUdpLink::TUdpLink(TUdpLinkOptions options) : FOptions(std::move(options)) {}

TUdpLink::~TUdpLink() {
    try {
        Close();
    } catch (...) {
    }
}

void TUdpLink::Open() {
    Close();
    if (!FOptions.TargetNow) {
        if (FOptions.Address.empty()) {
            Failed(TLinkFault::NameNotFound, NameNotFoundAdvice(FOptions.Host));
            return;
        }
        if (FOptions.Address.find(':') != std::string::npos) {
            // The endpoint listens on IPv4 only.
            Failed(TLinkFault::UdpIPv6, UdpIPv6Advice(FOptions.Host, FOptions.Address));
            return;
        }
        platform::UdpEndpoint::ParseAddress(FOptions.Address, FAddress);
    }
    auto share = FOptions.Share ? FOptions.Share : std::make_shared<TUdpShare>();
    try {
        FKey = share->Join(
            [this](std::uint32_t address, std::uint16_t port) { return IsFromScale(address, port); },
            [this](const std::string& text) { Received(text); });
    } catch (const platform::ESocketError& e) {
        // Port taken or not permitted: the link stays down.
        Failed(UdpBindFault(e.Code), UdpBindAdvice(e.Code));
        return;
    } catch (const std::exception& e) {
        Failed(TLinkFault::UdpPortFailed, std::string("cannot listen on local UDP port 1001: ") + e.what());
        return;
    }
    FShare = std::move(share);
    FState = LinkConnected;
    // Lets the scale learn where to answer.
    const std::string start = UdpStartSignal();
    Wrote(start);
    try {
        FShare->SendTo(FOptions.Address, FOptions.Port, start);
    } catch (...) {
    }
    Opened();
}

void TUdpLink::Send(const std::string& command) {
    if (!FShare || !FShare->Active()) return;
    const std::string bytes = DatagramFrame(command);
    Wrote(bytes);
    try {
        const TUdpTarget target = Target();
        FShare->SendTo(target.Host, target.Port, bytes);
    } catch (const std::exception& e) {
        Failed(TLinkFault::SendFailed,
               "sending to " + LinkHostPort(FOptions.Host, FOptions.Port) + " failed: " + e.what());
    }
}

void TUdpLink::Close() {
    FState = LinkDisconnected;
    if (!FShare) return;
    std::shared_ptr<TUdpShare> share = std::move(FShare);
    share->Leave(FKey);
    FKey = 0;
}

TUdpTarget TUdpLink::Target() const {
    return FOptions.TargetNow ? FOptions.TargetNow() : TUdpTarget{FOptions.Address, FOptions.Port};
}

bool TUdpLink::IsFromScale(std::uint32_t address, std::uint16_t port) const {
    // Only the scale answers, from the address and port its commands go to:
    // another sender's datagram is not a reply piece.
    std::uint32_t scale = FAddress;
    std::int32_t scalePort = FOptions.Port;
    if (FOptions.TargetNow) {
        const TUdpTarget target = FOptions.TargetNow();
        if (!platform::UdpEndpoint::ParseAddress(target.Host, scale)) return false;
        scalePort = target.Port;
    }
    return scale == address && port == static_cast<std::uint16_t>(scalePort & 0xFFFF);
}
