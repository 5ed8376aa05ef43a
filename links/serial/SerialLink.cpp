#include "SerialLink.h"

#include <cerrno>
#include <cstring>

namespace {

// EComPort's code when the line settings were not set; with EINVAL the driver refused them.
constexpr int kSetCommStateFailed = 7;

// "9600 bit/s, 8N1"
std::string LineSettings(const TCustomComPort& port) {
    const std::string rate =
        port.BaudRate() == brCustom ? std::to_string(port.CustomBaudRate()) : BaudRateToText(port.BaudRate());
    const TStopBits stop = port.StopBits();
    return rate + " bit/s, " + std::to_string(static_cast<int>(port.DataBits()) + 5) +
           std::string("NOEMS").at(static_cast<std::size_t>(port.Parity().Bits())) +
           (stop == sbOneStopBit     ? "1"
            : stop == sbOne5StopBits ? "1.5"
                                     : "2");
}

} // namespace

TSerialLink::TSerialLink(TSerialLinkOptions options)
    : FOwnPort(std::make_unique<TComPort>()), FPort(FOwnPort.get()), FOptions(std::move(options)) {
    FPort->OnRxChar = [this](TCustomComPort*, int count) { ReadReceived(count); };
}

TSerialLink::TSerialLink(TCustomComPort& port, TSerialLinkOptions options)
    : FPort(&port), FOptions(std::move(options)) {}

TSerialLink::~TSerialLink() {
    if (FOwnPort) {
        FOwnPort->OnRxChar = nullptr;
        try {
            FOwnPort->Close();
        } catch (...) {
        }
    }
}

std::string TSerialLink::Device() const {
    return FOptions.Device.empty() ? FPort->Port() : FOptions.Device;
}

std::uint8_t TSerialLink::State() const {
    return FPort->Connected() ? LinkConnected : LinkDisconnected;
}

void TSerialLink::Open() {
    TCustomComPort& port = *FPort;
    if (FOptions.SettingsDir) RestoreComPortIni(port, *FOptions.SettingsDir);
    if (!FOptions.Device.empty()) port.SetPort(FOptions.Device);
    if (FOptions.WriteTimeoutMs > 0) {
        TComTimeouts timeouts = port.Timeouts();
        timeouts.SetWriteTotalMultiplier(0);
        timeouts.SetWriteTotalConstant(FOptions.WriteTimeoutMs);
        port.SetTimeouts(timeouts);
    }
    if (FOptions.Rate) {
        const std::string text = std::to_string(*FOptions.Rate);
        const TBaudRate rate = TextToBaudRate(text);
        if (BaudRateToText(rate) == text) {
            port.SetBaudRate(rate);
        } else {
            port.SetBaudRate(brCustom);
            port.SetCustomBaudRate(*FOptions.Rate);
        }
    }
    if (FOptions.Frame) {
        const TSerialLineFrame& f = *FOptions.Frame;
        port.SetDataBits(static_cast<TDataBits>(f.DataBits - 5));
        TComParity parity = port.Parity();
        // N, O, E, M, S in the order of TParityBits.
        parity.SetBits(static_cast<TParityBits>(std::string("NOEMS").find(f.Parity)));
        port.SetParity(parity);
        port.SetStopBits(f.StopTenths == 10   ? sbOneStopBit
                         : f.StopTenths == 15 ? sbOne5StopBits
                                              : sbTwoStopBits);
    }
    try {
        port.Open();
    } catch (const EComPort& e) {
        if (e.MessageCode() == kSetCommStateFailed && e.SystemCode() == EINVAL)
            Failed(TLinkFault::SettingsRefused, SerialSettingsAdvice(Device(), LineSettings(port)));
        else
            Failed(SerialOpenFault(e.SystemCode()), SerialOpenAdvice(Device(), e.SystemCode(), e.what()));
        return;
    } catch (const std::exception& e) {
        Failed(TLinkFault::DeviceFailed, "cannot open " + Device() + ": " + e.what());
        return;
    }
    Opened();
}

void TSerialLink::Send(const std::string& command) {
    if (!FPort->Connected()) return;
    const std::string bytes = LineFrame(command);
    Wrote(bytes);
    try {
        if (FPort->WriteText(bytes) < static_cast<int>(bytes.size()))
            Failed(TLinkFault::WriteTimedOut, "writing to " + Device() +
                                                  " timed out: the scale holds its output (check the flow "
                                                  "control in ComPortTest.ini against the scale's)");
    } catch (const EComPort& e) {
        const int code = e.SystemCode();
        Failed(TLinkFault::WriteFailed, "writing to " + Device() +
                                            " failed: " + (code > 0 ? std::strerror(code) : e.what()) +
                                            " (was the device unplugged or closed?)");
    } catch (...) {
    }
}

void TSerialLink::Close() {
    try {
        FPort->Close();
    } catch (...) {
    }
}

void TSerialLink::DiscardInput() {
    if (!FPort->Connected()) return;
    try {
        FPort->ClearInput();
    } catch (...) {
    }
}

void TSerialLink::ReadReceived(int count) {
    std::string text;
    try {
        FPort->ReadText(text, count);
    } catch (...) {
        return;
    }
    Received(text);
}
