#pragma once
// Every UDP target shares one endpoint on local port 1001, where the scales answer;
// a datagram's sender address and port pick its target.
#include "Links.h"

#include "platform/UdpEndpoint.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace sendcmd {

class UdpHub {
public:
    UdpHub();
    ~UdpHub();
    UdpHub(const UdpHub&) = delete;
    UdpHub& operator=(const UdpHub&) = delete;

    std::unique_ptr<TargetLink> MakeLink(const Target& target);

private:
    friend class UdpLink;
    using Peer = std::pair<std::string, std::uint16_t>;
    // Binds on first use; nullopt when listening, else why not.
    std::optional<std::string> Listen();
    void Deliver(const std::string& bytes, const Peer& from); // GUI thread

    platform::UdpEndpoint endpoint_;
    bool tried_ = false;
    std::optional<std::string> bindError_;
    std::map<Peer, class UdpLink*> links_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace sendcmd
