#pragma once
// UDP endpoint bound to local ports, with a listener thread of its own.
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TcpClient.h" // ESocketError

namespace platform {

// A local address and port the endpoint binds; "0.0.0.0" is every local address.
struct UdpBinding {
    std::string Ip = "0.0.0.0";
    std::uint16_t Port = 0;
};

// Configured and switched on and off from one thread; OnDatagram runs on the
// listener thread and must not wait for the thread that deactivates.
class UdpEndpoint {
public:
    UdpEndpoint() = default;
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Largest datagram received; a longer one is lost.
    std::size_t ReceiveBufferSize() const { return FReceiveBufferSize; }
    void SetReceiveBufferSize(std::size_t size) { FReceiveBufferSize = size; }
    // Port given to every binding added from now on (low 16 bits used).
    std::uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(std::int32_t port) { FDefaultPort = static_cast<std::uint16_t>(port & 0xFFFF); }

    const std::vector<UdpBinding>& Bindings() const { return FBindings; }
    void ClearBindings() { FBindings.clear(); }
    UdpBinding& AddBinding();

    // The port a binding actually holds while active (useful with port 0).
    std::uint16_t BoundPort(std::size_t binding = 0) const;

    bool Active() const { return !FSockets.empty(); }
    // Binds every binding and starts the listener. Throws ESocketError (and
    // stays inactive) when a binding fails, e.g. its port is taken.
    void Activate();
    // Stops the listener, waits for its end and closes the sockets.
    void Deactivate();

    // One datagram from the first binding's socket. `ip` must be four
    // dot-separated decimal numbers 0-255; only the low 16 bits of `port` are
    // used. Throws ESocketError on a bad address, an over-long datagram, a
    // failed or short send, or while inactive.
    void SendTo(const std::string& ip, std::int32_t port, const std::string& bytes);

    // The bytes of one received datagram, raised on the listener thread.
    std::function<void(const std::string& bytes)> OnDatagram;
    // The same with the sender's dotted address and port, for an owner that serves
    // several peers on one endpoint.
    std::function<void(const std::string& bytes, const std::string& ip, std::uint16_t port)> OnDatagramFrom;

    // Parses "a.b.c.d" into a network-order address; false for anything else.
    static bool ParseAddress(const std::string& ip, std::uint32_t& address);

private:
    void Listen();
    void CloseAll();

    std::size_t FReceiveBufferSize = 8192;
    std::uint16_t FDefaultPort = 0;
    std::vector<UdpBinding> FBindings;
    std::vector<int> FSockets;
    int FStopEvent = -1;
    std::thread FListener;
};

} // namespace platform
