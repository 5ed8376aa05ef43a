#include "Links.h"

#include "links/ethernet/TcpLink.h"
#include "links/ethernet/UdpLink.h"
#include "links/serial/SerialLink.h"

namespace fleet {

std::string AddressOf(const Target& target) {
    if (target.address) return *target.address;
    return scales::LiteralAddress(target.host).value_or("");
}

std::unique_ptr<TLink> MakeLink(const Target& target, const LinkSettings& settings,
                                std::shared_ptr<TUdpShare>& udp) {
    switch (target.kind) {
    case Target::Kind::Serial: {
        // The window's line settings first, then what the target itself says.
        TSerialLinkOptions o;
        o.SettingsDir = settings.settingsDir;
        o.Device = target.device;
        o.Rate = target.rate;
        if (target.frame)
            o.Frame =
                TSerialLineFrame{target.frame->dataBits, target.frame->parity, target.frame->stopTenths};
        // A command's few bytes are queued by the kernel at once; a write that waits is a scale
        // holding its output (CTS or XOFF), and waiting would stall every target on this thread.
        o.WriteTimeoutMs = kSerialWriteMs;
        return std::make_unique<TSerialLink>(std::move(o));
    }
    case Target::Kind::Tcp:
        return std::make_unique<TTcpLink>(
            TTcpLinkOptions{target.host, AddressOf(target), target.port, settings.connectSeconds});
    case Target::Kind::Udp:
        break;
    }
    if (!udp) udp = std::make_shared<TUdpShare>();
    TUdpLinkOptions o;
    o.Host = target.host;
    o.Address = AddressOf(target);
    o.Port = target.port;
    o.Share = udp;
    return std::make_unique<TUdpLink>(std::move(o));
}

} // namespace fleet
