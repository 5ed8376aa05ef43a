#pragma once
// One link per target, as the command opens it: the links' own classes, built
// from the target; every failure is reported, with what to do about it.
#include "links/Link.h"
#include "scales/Targets.h"

#include <memory>
#include <string>

class TUdpShare;

namespace fleet {

using scales::Target;

struct LinkSettings {
    std::string settingsDir;    // where ComPortTest.ini is
    double connectSeconds = 20; // how long a TCP connection attempt may take
};

// How long one write to a serial port may wait before that target fails.
constexpr int kSerialWriteMs = 250;

// The link to `target`. Every UDP link shares one endpoint on local port 1001, `udp`,
// made by the first of them; a datagram's sender address and port pick its target.
std::unique_ptr<TLink> MakeLink(const Target& target, const LinkSettings& settings,
                                std::shared_ptr<TUdpShare>& udp);

// The address a link connects to: the host's as looked up before the run, else the host
// itself when it is an address; "" when it has none.
std::string AddressOf(const Target& target);

} // namespace fleet
