// The link of the settings written as a target: the window records its
// transfers under it and the command sends to it when no target is given.
#include "links/ethernet/LinkState.h"
#include "scales/Targets.h"
#include "settings/Settings.h"

#include <gtest/gtest.h>

namespace {

settings::LinkSettings Link(std::uint8_t kind, std::uint8_t protocol, const std::string& host,
                            std::int32_t port) {
    settings::LinkSettings l;
    l.Kind = kind;
    l.Protocol = protocol;
    l.Host = host;
    l.Port = port;
    return l;
}

TEST(LinkTargetText, NamesTheLinkOfTheSettingsAsATargetThatParsesBack) {
    using settings::LinkTargetText;
    EXPECT_EQ(LinkTargetText(Link(KindSerial, ProtocolUDP, "10.0.0.1", 4001), "COM2"), "serial:COM2");
    EXPECT_EQ(LinkTargetText(Link(KindSerial, ProtocolTCP, "", 0), "/dev/ttyUSB0", 19200),
              "serial:/dev/ttyUSB0@19200");
    EXPECT_EQ(LinkTargetText(Link(KindEthernet, ProtocolTCP, "10.0.0.1", 4001), "COM1"), "tcp:10.0.0.1:4001");
    EXPECT_EQ(LinkTargetText(Link(KindEthernet, ProtocolUDP, "scale-1", 4001), "COM1", 9600),
              "udp:scale-1:4001");
    // The links use the port's low 16 bits.
    EXPECT_EQ(LinkTargetText(Link(KindEthernet, ProtocolTCP, "10.0.0.1", 65536 + 4001), ""),
              "tcp:10.0.0.1:4001");

    // An IPv6 host's colons are told from the port's by brackets.
    const std::string v6 = LinkTargetText(Link(KindEthernet, ProtocolTCP, "::1", 4001), "");
    EXPECT_EQ(v6, "tcp:[::1]:4001");
    const scales::Target t = scales::ParseTarget(v6);
    EXPECT_EQ(t.host, "::1");
    EXPECT_EQ(t.port, 4001);
    EXPECT_EQ(scales::ScaleKey(v6), "tcp:[::1]:4001");
}

} // namespace
