#pragma once
// A scale reached as a TCP client: commands end in CR LF, replies are a stream.
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "links/Link.h"
#include "platform/TcpClient.h"

struct TTcpLinkOptions {
    std::string Host;      // names the scale in messages
    std::string Address;   // connected to: an address or a name to look up; "" when the host has none
    std::int32_t Port = 0; // its low 16 bits are used
    // How long an attempt may take; none: as long as the system lets it.
    std::optional<double> ConnectSeconds;
};

// A failed attempt and a connection that ends both report LinkDisconnected
// (and a failure unless Close ended it). Close while connected reports the
// disconnection before it returns; Close of an attempt cancels it silently.
class TTcpLink : public TLink {
public:
    explicit TTcpLink(TTcpLinkOptions options);
    ~TTcpLink() override;

    void Open() override;
    void Send(const std::string& command) override;
    void Close() override;
    std::uint8_t State() const override { return FState; }

    // The client from the start of an attempt until Close; none otherwise.
    const platform::TcpClient* Client() const { return FClient.get(); }

private:
    void HandleConnect();
    void HandleTimeout();
    void HandleDisconnect();
    void Fail(TLinkFault code, const std::string& message);

    TTcpLinkOptions FOptions;
    std::uint8_t FState = LinkDisconnected;
    std::unique_ptr<platform::TcpClient> FClient;
    QTimer FTimer; // the attempt's budget
    QObject FContext;
    int FLastError = 0;
    bool FClosing = false;
    bool FFailed = false;
};
