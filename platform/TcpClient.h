#pragma once
// Non-blocking TCP client whose events arrive on the GUI thread.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

class QTcpSocket;

namespace platform {

// A socket operation that failed; Code is an errno value.
class ESocketError : public std::runtime_error {
public:
    ESocketError(const std::string& message, int code) : std::runtime_error(message), Code(code) {}
    int Code;
};

// Lives on the GUI thread and must be used there only. Every event is raised
// from the Qt event loop, except the disconnected event of Deactivate and of
// an Activate with an empty host, which is raised before the call returns.
class TcpClient {
public:
    TcpClient();
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // A host name or dotted IPv4 text, resolved without blocking on Activate.
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& host) { FHost = host; }
    // Only the low 16 bits of a value are used.
    std::uint16_t Port() const { return FPort; }
    void SetPort(std::int32_t port) { FPort = static_cast<std::uint16_t>(port & 0xFFFF); }

    // True from the connected event to the disconnected event.
    bool Active() const { return FActive; }

    // Starts name lookup and the connection attempt and returns at once.
    // Throws ESocketError when an attempt or a connection is already under way.
    void Activate();
    // Closes a connected client, raising OnDisconnect before returning; bytes
    // already sent still go out. Does nothing while resolving or connecting.
    void Deactivate();

    // Sends all bytes, in order; what the kernel does not take at once is
    // queued, nothing is dropped. A failure raises OnError and closes the
    // connection.
    void SendText(const std::string& text);
    // Every byte available now, as one text.
    std::string ReceiveText();

    // Where the attempt stands in the kernel, whether or not the loop has read it yet:
    // EINPROGRESS while it goes on (or is not under way), 0 once connected, else the
    // errno value it failed with. A failed attempt is let go here: no event follows.
    int AttemptResult();

    std::function<void()> OnConnect;
    // The connection ended (orderly close, reset, failed send or receive, or
    // Deactivate), or the attempt failed (empty or unknown host, refused,
    // timed out, unreachable).
    std::function<void()> OnDisconnect;
    std::function<void()> OnRead;
    // errorCode is an errno value; a handler that leaves it non-zero makes the
    // client throw ESocketError from the event.
    std::function<void(int& errorCode)> OnError;

private:
    void CreateSocket();
    void ReleaseSocket();
    void SocketConnected();
    void SocketDisconnected();
    void SocketReadyRead();
    void SocketError(int qtError);
    void RaiseDisconnect();

    std::string FHost;
    std::uint16_t FPort = 0;
    bool FActive = false;
    bool FAttempting = false;
    QTcpSocket* FSocket = nullptr;
    int FEventDepth = 0; // > 0 while one of our events runs
};

} // namespace platform
