#include "Udp.h"

#include "links/ethernet/UdpShare.h"

namespace sendcmd {

namespace {

class UdpLink : public TargetLink {
public:
    UdpLink(std::shared_ptr<TUdpShare> share, const Target& target)
        : share_(std::move(share)), target_(target) {}
    ~UdpLink() override { Close(); }

    void Open() override {
        const std::string address = AddressOf(target_);
        if (address.empty()) {
            if (OnFailed) OnFailed(NameNotFoundAdvice(target_.host));
        } else if (address.find(':') != std::string::npos) {
            // The shared endpoint listens on IPv4 only.
            if (OnFailed) OnFailed(UdpIPv6Advice(target_.host, address));
        } else {
            Start(address);
        }
    }

    void Send(const std::string& command) override {
        if (key_ == 0) return;
        const std::string bytes = Frame(Target::Kind::Udp, command);
        if (OnWire) OnWire(bytes);
        try {
            share_->SendTo(ip_, target_.port, bytes);
        } catch (const std::exception& e) {
            if (OnFailed)
                OnFailed("sending to " + HostPort(target_.host, target_.port) + " failed: " + e.what());
        }
    }

    void Close() override {
        if (key_ != 0) share_->Leave(key_);
        key_ = 0;
    }

private:
    void Start(const std::string& ip) {
        ip_ = ip;
        std::uint32_t address = 0;
        platform::UdpEndpoint::ParseAddress(ip_, address);
        const auto port = static_cast<std::uint16_t>(target_.port);
        try {
            key_ = share_->Join(
                [address, port](std::uint32_t a, std::uint16_t p) { return a == address && p == port; },
                [this](const std::string& text) {
                    if (OnReceive) OnReceive(text);
                });
        } catch (const platform::ESocketError& e) {
            if (OnFailed) OnFailed(UdpBindAdvice(e.Code));
            return;
        }
        // As the window does: one byte first, so the scale learns where to answer.
        const std::string start = UdpStart();
        if (OnWire) OnWire(start);
        try {
            share_->SendTo(ip_, target_.port, start);
        } catch (...) {
        }
        if (OnOpen) OnOpen();
    }

    std::shared_ptr<TUdpShare> share_;
    Target target_;
    std::string ip_;
    int key_ = 0;
};

} // namespace

UdpHub::UdpHub() : share_(std::make_shared<TUdpShare>()) {}

UdpHub::~UdpHub() = default;

std::unique_ptr<TargetLink> UdpHub::MakeLink(const Target& target) {
    return std::make_unique<UdpLink>(share_, target);
}

} // namespace sendcmd
