#pragma once
// A scale on a serial line: commands end in CR LF, replies are what the port reads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "links/Link.h"
#include "links/serial/CPort.h"

struct TSerialLineFrame {
    int DataBits = 8;    // 5 to 8
    char Parity = 'N';   // N, O, E, M, S
    int StopTenths = 10; // 10, 15, 20
};

struct TSerialLinkOptions {
    // Read when opening, in this order over the port's own settings; each unset keeps them.
    std::optional<std::string> SettingsDir; // the basic group of ComPortTest.ini there
    std::string Device;                     // empty: the port's own
    std::optional<int> Rate;
    std::optional<TSerialLineFrame> Frame;
    // A write waits at most this long; 0: as the port's timeouts say.
    int WriteTimeoutMs = 0;
};

// Open either opens the port (LinkConnected) or fails (LinkDisconnected), before
// it returns.
class TSerialLink : public TLink {
public:
    // A link with a port of its own, named "ComPort1" as the window's.
    explicit TSerialLink(TSerialLinkOptions options);
    // A link through the owner's port. The owner binds the port's OnRxChar and
    // hands each count to ReadReceived.
    TSerialLink(TCustomComPort& port, TSerialLinkOptions options);
    ~TSerialLink() override;

    void Open() override;
    void Send(const std::string& command) override;
    void Close() override;
    std::uint8_t State() const override;
    // Empties the port's input queue.
    void DiscardInput() override;

    // Reads `count` received characters and reports them.
    void ReadReceived(int count);
    TCustomComPort& Port() { return *FPort; }

private:
    std::string Device() const;

    std::unique_ptr<TComPort> FOwnPort;
    TCustomComPort* FPort;
    TSerialLinkOptions FOptions;
};
