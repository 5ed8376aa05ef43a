#pragma once
// The settings config.xml holds, as plain values: the link the window
// connects with and the options carried over from run to run.
#include <cstdint>
#include <optional>
#include <string>

namespace settings {

struct LinkSettings {
    std::uint8_t Kind = 0;     // 0 serial port, 1 Ethernet
    std::uint8_t Protocol = 0; // 0 TCP, 1 UDP
    std::string Host;          // the scale's address
    std::int32_t Port = 0;     // the scale's TCP or UDP port
};

// Read from config.xml and written back to it; nothing else uses them.
struct CarriedOptions {
    std::string OrdersFileName;
    bool WindRow = false;
    std::uint8_t WindRowMode = 0;
    std::string WindRowChar;
    bool SaveASCII = false;
    bool InsertTime = false;
    bool ChangePointToColon = false;
};

struct Config {
    LinkSettings Link;
    CarriedOptions Options;
};

// The link written as a target of the scale list: "serial:DEVICE[@RATE]" (the
// serial port's device and, when given, its rate), or "tcp:HOST:PORT" and
// "udp:HOST:PORT" with the port's low 16 bits (the links use no more) and an
// IPv6 host in brackets.
std::string LinkTargetText(const LinkSettings& link, const std::string& serialDevice,
                           std::optional<std::int32_t> serialRate = std::nullopt);

} // namespace settings

// Whole-number parsing shared by the configuration file and the connection
// dialog: leading blanks, optional sign, decimal or hexadecimal after "$",
// "x", "X", "0x" or "0X"; anything else, or a value outside 32 bits, gives `def`.
std::int32_t TextToIntDef(const std::string& text, std::int32_t def);
