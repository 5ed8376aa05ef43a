#pragma once
// Every UDP target shares one endpoint on local port 1001, where the scales answer
// (links/ethernet's TUdpShare); a datagram's sender address and port pick its target.
#include "Links.h"

#include <memory>

class TUdpShare;

namespace sendcmd {

class UdpHub {
public:
    UdpHub();
    ~UdpHub();
    UdpHub(const UdpHub&) = delete;
    UdpHub& operator=(const UdpHub&) = delete;

    std::unique_ptr<TargetLink> MakeLink(const Target& target);

private:
    std::shared_ptr<TUdpShare> share_;
};

} // namespace sendcmd
